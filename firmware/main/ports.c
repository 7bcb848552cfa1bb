// The four serial ports: UART settings from command blocks, received bytes to the port's
// data IN endpoint, bytes from its data OUT endpoint to the UART as the flow control allows,
// and changes of the modem and line status as events.
#include "controller.h"
#include "firmware.h"

#define PORT_BIT(port) ((uint8_t)(1 << (port)))
#define ECHO_LONGEST (BULK_PACKET - 3)
#define MSR_CTS 0x10
#define MSR_DSR 0x20

struct port_state {
  uint8_t open;
  uint8_t line_control;      // as written to the UART, without the break bit
  uint8_t flow;              // 'b' both, 't' obey XOFF, 'r' send XOFF, 'n' none
  uint8_t xoff;
  uint8_t xon;
  uint8_t handshake;
  uint8_t stopped_by_peer;   // an XOFF came in and no XON since
  uint8_t taken;             // bytes of the waiting OUT packet already handed to the UART
  uint8_t echo_length;       // a marker waits behind the received data; 0: none
  uint8_t echo[ECHO_LONGEST];
};

static struct port_state ports[PORT_COUNT];

#define STATE(port) (&ports[(port) - 1])

static uint8_t handshake_has(const struct port_state *state, uint8_t bit) {
  return state->handshake != HANDSHAKE_NONE && (state->handshake & bit);
}

static uint8_t obeys_xoff(const struct port_state *state) { return state->flow == 'b' || state->flow == 't'; }

static void drop_waiting_in(uint8_t port) {
  if (BULK_IN_BUSY & PORT_BIT(port)) BULK_IN_ABORT = PORT_BIT(port);
}

static void free_out(uint8_t port) {
  STATE(port)->taken = 0;
  if (BULK_OUT_FULL & PORT_BIT(port)) BULK_OUT_COUNT(port) = 0;
}

void ports_reset(void) {
  uint8_t port;
  for (port = 1; port <= PORT_COUNT; ++port) {
    struct port_state *state = STATE(port);
    state->open = 0;
    state->line_control = UART_LCR_DATA_BITS(8);
    state->flow = 'n';
    state->xoff = 0x13;
    state->xon = 0x11;
    state->handshake = HANDSHAKE_NONE;
    state->stopped_by_peer = 0;
    state->taken = 0;
    state->echo_length = 0;
    UART_LINE_CONTROL(port) = state->line_control;
    UART_MODEM_CONTROL(port) = 0;
    UART_FIFO_RESET(port) = UART_FIFO_RESET_RECEIVE | UART_FIFO_RESET_TRANSMIT;
  }
}

void port_open(uint8_t port) {
  struct port_state *state = STATE(port);
  drop_waiting_in(port);
  free_out(port);
  UART_FIFO_RESET(port) = UART_FIFO_RESET_RECEIVE | UART_FIFO_RESET_TRANSMIT;
  state->stopped_by_peer = 0;
  state->open = 1;
}

void port_close(uint8_t port) {
  STATE(port)->open = 0;
  drop_waiting_in(port);
  free_out(port);
}

uint8_t port_configure(const uint8_t *block) {
  const uint8_t port = block[0];
  struct port_state *state = STATE(port);
  const uint32_t baud = block[1] | ((uint32_t)block[2] << 8) | ((uint32_t)block[3] << 16) | ((uint32_t)block[4] << 24);
  const uint8_t data_bits = block[5];
  uint8_t line_control;
  uint16_t divisor;
  if (baud == 0 || baud > UART_CLOCK || data_bits < 5 || data_bits > 8 || block[6] < 1 || block[6] > 2) return 0;
  line_control = UART_LCR_DATA_BITS(data_bits);
  if (block[6] == 2) line_control |= UART_LCR_TWO_STOP;
  switch (block[7]) {
    case 'n': break;
    case 'o': line_control |= UART_LCR_PARITY; break;
    case 'e': line_control |= UART_LCR_PARITY | UART_LCR_EVEN; break;
    case '1': line_control |= UART_LCR_PARITY | UART_LCR_STICK; break;
    case '0': line_control |= UART_LCR_PARITY | UART_LCR_EVEN | UART_LCR_STICK; break;
    default: return 0;
  }
  divisor = (uint16_t)((UART_CLOCK + baud / 2) / baud);
  UART_DIVISOR_LOW(port) = (uint8_t)divisor;
  UART_DIVISOR_HIGH(port) = (uint8_t)(divisor >> 8);
  state->line_control = line_control;
  UART_LINE_CONTROL(port) = line_control | (UART_LINE_CONTROL(port) & UART_LCR_BREAK);
  state->flow = block[8];
  state->xoff = block[9];
  state->xon = block[10];
  state->handshake = block[11];
  if (!obeys_xoff(state)) state->stopped_by_peer = 0;
  return 1;
}

void port_set_modem_line(uint8_t port, uint8_t line, uint8_t on) {
  if (on) UART_MODEM_CONTROL(port) |= line;
  else UART_MODEM_CONTROL(port) &= (uint8_t)~line;
}

void port_set_break(uint8_t port, uint8_t on) {
  UART_LINE_CONTROL(port) = STATE(port)->line_control | (on ? UART_LCR_BREAK : 0);
}

void port_purge(uint8_t port, uint8_t side) {
  if (side == PURGE_RECEIVE) {
    UART_FIFO_RESET(port) = UART_FIFO_RESET_RECEIVE;
    drop_waiting_in(port);
  } else if (side == PURGE_TRANSMIT) {
    UART_FIFO_RESET(port) = UART_FIFO_RESET_TRANSMIT;
    free_out(port);
  }
}

void port_status(uint8_t port, uint8_t *reply) {
  reply[0] = RESPONSE_STATUS;
  reply[1] = port;
  reply[2] = STATE(port)->open;
  reply[3] = UART_MODEM_STATUS(port);
  reply[4] = UART_LINE_STATUS(port);
  reply[5] = UART_RECEIVE_LEVEL(port);
  reply[6] = UART_TRANSMIT_ROOM(port);
}

void port_echo(uint8_t port, const uint8_t *marker, uint8_t length) {
  struct port_state *state = STATE(port);
  uint8_t i;
  if (length > ECHO_LONGEST) length = ECHO_LONGEST;
  for (i = 0; i < length; ++i) state->echo[i] = marker[i];
  state->echo_length = length;
}

static void report_status_changes(uint8_t port) {
  uint8_t event[4];
  const uint8_t modem = UART_MODEM_STATUS(port);  // reading clears the change bits
  const uint8_t line = UART_LINE_STATUS(port) & UART_LSR_ERRORS;
  event[0] = RESPONSE_EVENT;
  event[1] = port;
  if (modem & UART_MSR_DELTAS) {
    event[2] = EVENT_MODEM_STATUS;
    event[3] = modem;
    response_queue(event, 4);
  }
  if (line) {
    event[2] = EVENT_LINE_STATUS;
    event[3] = line;
    response_queue(event, 4);
  }
}

// Received bytes of an open port, one packet at a time; the echo marker follows them.
static void move_received(uint8_t port) {
  struct port_state *state = STATE(port);
  volatile __xdata uint8_t *packet = BULK_IN_BUFFER(port);
  uint8_t n = 0, c, i;
  if (BULK_IN_BUSY & PORT_BIT(port)) return;
  while (state->open && n < BULK_PACKET && (UART_LINE_STATUS(port) & UART_LSR_DATA_READY)) {
    c = UART_DATA(port);
    if (obeys_xoff(state) && (c == state->xoff || c == state->xon)) {
      state->stopped_by_peer = c == state->xoff;
      continue;
    }
    packet[n++] = c;
  }
  if (n == 0 && state->echo_length) {
    for (i = 0; i < state->echo_length; ++i) packet[i] = state->echo[i];
    n = state->echo_length;
    state->echo_length = 0;
  }
  if (n) BULK_IN_COUNT(port) = n;
}

static uint8_t may_transmit(uint8_t port) {
  const struct port_state *state = STATE(port);
  const uint8_t modem = UART_MODEM_STATUS(port);
  if (state->stopped_by_peer) return 0;
  if (handshake_has(state, HANDSHAKE_CTS) && !(modem & MSR_CTS)) return 0;
  if (handshake_has(state, HANDSHAKE_DSR) && !(modem & MSR_DSR)) return 0;
  return 1;
}

// Bytes of the waiting OUT packet into the transmit FIFO; the buffer is freed once all went.
static void move_transmitted(uint8_t port) {
  struct port_state *state = STATE(port);
  volatile __xdata uint8_t *packet = BULK_OUT_BUFFER(port);
  uint8_t length;
  if (!(BULK_OUT_FULL & PORT_BIT(port))) return;
  length = BULK_OUT_COUNT(port);
  while (state->taken < length && UART_TRANSMIT_ROOM(port) && may_transmit(port))
    UART_DATA(port) = packet[state->taken++];
  if (state->taken == length) free_out(port);
}

void ports_poll(void) {
  uint8_t port;
  for (port = 1; port <= PORT_COUNT; ++port) {
    report_status_changes(port);
    move_received(port);
    move_transmitted(port);
  }
}
