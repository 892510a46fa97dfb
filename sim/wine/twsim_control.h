/* The control channel of the stand-in kernel driver (twusbio_sim.sys): what tarnwick-simctl.exe
 * sends to \\.\TarnwickSimControl and what the driver answers. Plain C with fixed-size fields,
 * so the driver (C, kernel mode) and the tool (C++, user mode) share one layout. */
#ifndef TARNWICK_SIM_WINE_TWSIM_CONTROL_H
#define TARNWICK_SIM_WINE_TWSIM_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device names. The controller's DOS name is what the program's registry value points at. */
#define TWSIM_CONTROLLER_DEVICE L"\\Device\\TWUSBIO0"
#define TWSIM_CONTROLLER_LINK L"\\DosDevices\\TWUSBIO0"
#define TWSIM_CONTROLLER_PATH "\\\\.\\TWUSBIO0"
#define TWSIM_CONTROL_DEVICE L"\\Device\\TarnwickSimControl"
#define TWSIM_CONTROL_LINK L"\\DosDevices\\TarnwickSimControl"
#define TWSIM_CONTROL_PATH "\\\\.\\TarnwickSimControl"

/* CTL_CODE(FILE_DEVICE_UNKNOWN 0x22, function 0x8F0, METHOD_BUFFERED, FILE_ANY_ACCESS), spelled
 * out so user-mode code needs no DDK header. A function number of 0x800 and up is ours to use. */
#define TWSIM_CONTROL_CODE 0x002223C0u

/* Both structures start with this, so a tool and a driver from different builds refuse each
 * other instead of misreading. */
#define TWSIM_MAGIC 0x32534D54u /* "TMS2" */

#define TWSIM_SERIAL_AT_LOAD 12345u
#define TWSIM_LOG_ENTRIES 64u
#define TWSIM_DEFAULT_SHORT_BYTES 4u
#define TWSIM_MAX_HELD 32u /* requests held at once; past this a held call fails instead */
#define TWSIM_MAX_SLOW_MS 60000u

enum twsim_op {
  TWSIM_OP_STATUS = 1, /* nothing changes; the reply is the state */
  TWSIM_OP_SERIAL = 2, /* arg1: the serial number reported from now on */
  TWSIM_OP_UNPLUG = 3, /* the DOS name goes away; transfers on open handles fail */
  TWSIM_OP_PLUG = 4,   /* the DOS name is back; the board powers up afresh (output 0) */
  TWSIM_OP_FAIL = 5,   /* arg1: the next arg1 calls fail and never reach the board */
  TWSIM_OP_SHORT = 6,  /* arg1 calls reach the board but reply with arg2 (0..7) bytes */
  TWSIM_OP_HANG = 7,   /* the next arg1 calls stay pending until cancelled (0: no more, and
                          every held call fails now); arg2 1: ignore the cancel as well */
  TWSIM_OP_SLOW = 8    /* arg1 calls are carried out and completed arg2 ms after they arrive,
                          whatever a cancel or a close says meanwhile (a driver busy on them) */
};

enum twsim_outcome {
  TWSIM_DONE = 0,
  TWSIM_ALREADY = 1,      /* unplug when unplugged, plug when plugged */
  TWSIM_BAD_ARGUMENT = 2, /* unknown op, short with 8 bytes or more, slow beyond its bound */
  TWSIM_QUEUE_FULL = 3,   /* every slot of the board's fault queue (board.h) is taken */
  TWSIM_LINK_FAILED = 4   /* plug: the DOS name could not be made (status in link_status) */
};

typedef struct twsim_request {
  uint32_t magic;
  uint32_t op; /* enum twsim_op */
  uint32_t arg1;
  uint32_t arg2;
} twsim_request;

#define TWSIM_LOG_HELD 2u /* held by hang: it never reached the board */

/* One device-control call on the controller device, as it arrived. */
typedef struct twsim_log_entry {
  uint32_t code;
  uint32_t capacity;    /* output buffer length */
  uint32_t in_length;   /* input length; bytes holds at most the first 8 */
  uint32_t reply_bytes; /* bytes returned; 0 for a failed call */
  uint32_t succeeded;   /* 1, 0, or TWSIM_LOG_HELD */
  uint8_t bytes[8];
  uint8_t reserved[4]; /* keeps the size a multiple of 8 on every compiler */
} twsim_log_entry;

/* The reply to every op: its outcome and the state after it. */
typedef struct twsim_state {
  uint32_t magic;
  uint32_t outcome; /* enum twsim_outcome */
  int32_t link_status;
  uint32_t plugged;
  uint32_t output; /* counts the converter holds */
  uint32_t loads;
  uint32_t serial;
  uint32_t pending_faults; /* calls still to be failed or cut short */
  uint64_t requests;       /* calls that reached the plugged controller */
  uint32_t log_count;      /* entries in log, oldest first, at most TWSIM_LOG_ENTRIES */
  uint32_t held;           /* calls pending now */
  uint32_t hangs;          /* calls still to be held */
  uint32_t cancelled;      /* held calls ended by their cancel routine */
  twsim_log_entry log[TWSIM_LOG_ENTRIES];
} twsim_state;

#ifdef __cplusplus
}
#endif

#endif
