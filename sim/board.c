#include "board.h"

#include <string.h>

void tw_board_reset(tw_board* board, uint32_t serial) {
  memset(board, 0, sizeof *board);
  board->serial = serial;
}

static int accepted(uint32_t code, const uint8_t* in, size_t in_len, size_t out_cap) {
  if (code != TW_CONTROL_CODE || in == NULL || in_len != TW_PACKET_SIZE || out_cap < 8u) return 0;
  if (in[0] != TW_TARGET || in[1] != TW_MODEL || in[3] != TW_SUBCOMMAND) return 0;
  return in[6] == 0 && in[7] == 0; /* no extension bytes */
}

int tw_board_control(tw_board* board, uint32_t code, const uint8_t* in, size_t in_len, uint8_t* out,
                     size_t out_cap, size_t* out_len, int* loaded) {
  if (loaded != NULL) *loaded = 0;
  if (out_len != NULL) *out_len = 0;
  if (!accepted(code, in, in_len, out_cap) || out == NULL) return 0;

  memset(out, 0, 8);
  if (in[2] == TW_CMD_PORT_WRITE) {
    uint8_t latch = (in[5] & TW_LATCH_BIT) ? 1u : 0u;
    board->port_data = (uint16_t)(in[4] | ((in[5] & 0x07u) << 8));
    /* The converter takes the data bits on the latch's rising edge only, so a sequence cut
     * short leaves the previous output in place. */
    if (latch && !board->latch) {
      board->output = board->port_data;
      board->loads++;
      if (loaded != NULL) *loaded = 1;
    }
    board->latch = latch;
    memcpy(out, in, 8); /* the controller echoes a port write */
  } else if (in[2] == TW_CMD_IDENTIFY) {
    out[0] = (uint8_t)(board->serial & 0xFFu);
    out[1] = (uint8_t)((board->serial >> 8) & 0xFFu);
    out[2] = (uint8_t)((board->serial >> 16) & 0xFFu);
    out[3] = (uint8_t)((board->serial >> 24) & 0xFFu);
  } else {
    return 0;
  }
  if (out_len != NULL) *out_len = 8;
  return 1;
}

void tw_faults_clear(tw_fault_queue* queue) {
  queue->count = 0;
}

int tw_faults_push(tw_fault_queue* queue, uint32_t kind, uint32_t calls, uint32_t bytes) {
  tw_fault* last = queue->count != 0 ? &queue->slots[queue->count - 1u] : NULL;
  if (calls == 0) return 1;
  if (last != NULL && last->kind == kind && last->bytes == bytes &&
      last->remaining <= UINT32_MAX - calls) {
    last->remaining += calls;
    return 1;
  }
  if (queue->count == TW_FAULT_SLOTS) return 0;
  queue->slots[queue->count].kind = kind;
  queue->slots[queue->count].remaining = calls;
  queue->slots[queue->count].bytes = bytes;
  queue->count++;
  return 1;
}

int tw_faults_take(tw_fault_queue* queue, tw_fault* taken) {
  uint32_t i;
  if (queue->count == 0) return 0;
  *taken = queue->slots[0];
  if (--queue->slots[0].remaining == 0) {
    for (i = 1; i < queue->count; ++i) queue->slots[i - 1u] = queue->slots[i];
    queue->count--;
  }
  return 1;
}

uint64_t tw_faults_pending(const tw_fault_queue* queue, uint32_t kind) {
  uint64_t pending = 0;
  uint32_t i;
  for (i = 0; i < queue->count; ++i) {
    if (kind == 0 || queue->slots[i].kind == kind) pending += queue->slots[i].remaining;
  }
  return pending;
}

uint32_t tw_counts_to_deci_ma(uint16_t counts) {
  return ((uint32_t)counts * 20u * TW_FULL_SCALE_MA + TW_FULL_SCALE) / (2u * TW_FULL_SCALE);
}
