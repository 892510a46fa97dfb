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
#define TW_FULL_SCALE 2047u

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

/* Counts as milliamps in tenths, rounded (counts * 1000 / 2047), as the window's label shows
   them; 2047 is odd, so no count lies half-way between two tenths. */
uint32_t tw_counts_to_deci_ma(uint16_t counts);

#ifdef __cplusplus
}
#endif

#endif
