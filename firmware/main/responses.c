// The response endpoint: blocks wait here until the host reads them, one block per
// transfer. When the queue is full the newest block is dropped; an event still waiting takes
// the news of a later one of the same kind instead of queueing a second.
#include "controller.h"
#include "firmware.h"

#define QUEUE_DEPTH 16

static uint8_t blocks[QUEUE_DEPTH][RESPONSE_LONGEST];
static uint8_t lengths[QUEUE_DEPTH];
static uint8_t head;
static uint8_t count;

void responses_reset(void) {
  head = 0;
  count = 0;
}

static uint8_t merged_into_waiting_event(const uint8_t *block, uint8_t length) {
  uint8_t i, at;
  if (length != 4 || block[0] != RESPONSE_EVENT) return 0;
  for (i = 0; i < count; ++i) {
    at = (head + i) % QUEUE_DEPTH;
    if (lengths[at] != 4 || blocks[at][0] != RESPONSE_EVENT || blocks[at][1] != block[1] ||
        blocks[at][2] != block[2])
      continue;
    // Modem status: the states of the latest, the changes of both. Line status: every error.
    if (block[2] == EVENT_MODEM_STATUS)
      blocks[at][3] = (block[3] & 0xF0) | ((blocks[at][3] | block[3]) & UART_MSR_DELTAS);
    else
      blocks[at][3] |= block[3];
    return 1;
  }
  return 0;
}

void response_queue(const uint8_t *block, uint8_t length) {
  uint8_t at, i;
  if (merged_into_waiting_event(block, length) || count == QUEUE_DEPTH) return;
  at = (head + count) % QUEUE_DEPTH;
  for (i = 0; i < length; ++i) blocks[at][i] = block[i];
  lengths[at] = length;
  ++count;
}

void responses_poll(void) {
  uint8_t i;
  if (count == 0 || (BULK_IN_BUSY & (1 << RESPONSE_ENDPOINT))) return;
  for (i = 0; i < lengths[head]; ++i) BULK_IN_BUFFER(RESPONSE_ENDPOINT)[i] = blocks[head][i];
  BULK_IN_COUNT(RESPONSE_ENDPOINT) = lengths[head];
  head = (head + 1) % QUEUE_DEPTH;
  --count;
}
