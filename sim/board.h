/* The simulated controller board: the USB I/O controller and the 11-bit converter behind it.
 * Plain C with no allocation, so the stand-in kernel driver can share it with tarnwick-sim. */
#ifndef TARNWICK_SIM_BOARD_H
#define TARNWICK_SIM_BOARD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TW_CONTROL_CODE 0x00222028u
#define TW_PACKET_SIZE 8u
#define TW_TARGET 8u
#define TW_MODEL 18u
#define TW_CMD_PORT_WRITE 10u
#define TW_CMD_IDENTIFY 11u
#define TW_SUBCOMMAND 10u
#define TW_LATCH_BIT 0x08u
#define TW_FULL_SCALE 2047u   /* counts */
#define TW_FULL_SCALE_MA 100u /* the current at TW_FULL_SCALE */

typedef struct tw_board {
  uint32_t serial;
  uint16_t port_data; /* the 11 data bits last driven on the port */
  uint8_t latch;      /* the latch line's last level, 0 or 1 */
  uint16_t output;    /* counts the converter holds */
  uint32_t loads;     /* how many times the converter has loaded */
} tw_board;

/* Power-up state: port and latch low, converter at 0. */
void tw_board_reset(tw_board* board, uint32_t serial);

/* One device-control call. Returns 1 with the reply in out[0..*out_len) on success, 0 when
 * the call fails. *loaded becomes 1 when this call loaded the converter. Any pointer but
 * board may be NULL where its length is 0. */
int tw_board_control(tw_board* board, uint32_t code, const uint8_t* in, size_t in_len, uint8_t* out,
                     size_t out_cap, size_t* out_len, int* loaded);

/* Faults queued for the calls to come, oldest first, in a fixed number of slots: plain memory
 * that the stand-in kernel driver can change under a spin lock. A fault covers `remaining`
 * calls; one pushed behind a fault of the same kind and bytes extends it instead of taking a
 * slot, so a queue fills only with TW_FAULT_SLOTS runs of different faults. */
#define TW_FAULT_SLOTS 16u

enum tw_fault_kind {
  TW_FAULT_FAIL = 1,  /* a failure reply; the board never sees the call */
  TW_FAULT_SHORT = 2, /* the board answers, but the reply keeps only `bytes` of its output */
  TW_FAULT_HANG = 3,  /* no reply and no processing */
  TW_FAULT_SLOW = 4   /* handled and answered `bytes` milliseconds after it arrived */
};

typedef struct tw_fault {
  uint32_t kind; /* enum tw_fault_kind */
  uint32_t remaining;
  uint32_t bytes;
} tw_fault;

typedef struct tw_fault_queue {
  tw_fault slots[TW_FAULT_SLOTS];
  uint32_t count;
} tw_fault_queue;

void tw_faults_clear(tw_fault_queue* queue);
/* Queues a fault for the next `calls` calls after those queued. Returns 1, or 0 with nothing
 * queued when every slot is taken. No calls queues nothing and succeeds. */
int tw_faults_push(tw_fault_queue* queue, uint32_t kind, uint32_t calls, uint32_t bytes);
/* Takes one call's worth of the oldest fault into *taken. Returns 0 when none is queued. */
int tw_faults_take(tw_fault_queue* queue, tw_fault* taken);
/* The calls the queued faults of one kind (0: of every kind) still cover. */
uint64_t tw_faults_pending(const tw_fault_queue* queue, uint32_t kind);

/* Counts as milliamps in tenths, rounded (counts * 10 * TW_FULL_SCALE_MA / TW_FULL_SCALE), as the
   window's label shows them; 2047 is odd, so no count lies half-way between two tenths. */
uint32_t tw_counts_to_deci_ma(uint16_t counts);

#ifdef __cplusplus
}
#endif

#endif
