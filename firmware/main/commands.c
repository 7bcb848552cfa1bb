// Command blocks from the command endpoint: code, port, parameters. Every well-formed
// command for codes 1 to 6 and 9 is acknowledged with a command-done block; 8 answers with a
// status reply, 14 with its marker on the port's data endpoint. Unknown codes and blocks too
// short for their code are dropped without an answer.
#include "controller.h"
#include "firmware.h"

static uint8_t block[BULK_PACKET];

static uint8_t length_needed(uint8_t code) {
  switch (code) {
    case COMMAND_OPEN:
    case COMMAND_CLOSE:
    case COMMAND_STATUS:
      return 2;
    case COMMAND_SET_RTS:
    case COMMAND_SET_DTR:
    case COMMAND_SET_BREAK:
    case COMMAND_PURGE:
    case COMMAND_ECHO:
      return 3;
    case COMMAND_CONFIGURE:
      return 1 + CONFIG_BLOCK_LENGTH;
    default:
      return 0;
  }
}

static void acknowledge(uint8_t code, uint8_t port) {
  uint8_t done[3];
  done[0] = RESPONSE_DONE;
  done[1] = code;
  done[2] = port;
  response_queue(done, 3);
}

static void execute(uint8_t length) {
  const uint8_t code = block[0];
  const uint8_t needed = length_needed(code);
  const uint8_t port = block[1];
  uint8_t reply[RESPONSE_LONGEST];
  uint8_t marker_length;
  if (needed == 0 || length < needed || port < 1 || port > PORT_COUNT) return;
  switch (code) {
    case COMMAND_OPEN:
      port_open(port);
      break;
    case COMMAND_CLOSE:
      port_close(port);
      break;
    case COMMAND_CONFIGURE:
      // A block the UART cannot take leaves the settings as they were; it is still answered.
      port_configure(&block[1]);
      break;
    case COMMAND_SET_RTS:
      port_set_modem_line(port, UART_MCR_RTS, block[2]);
      break;
    case COMMAND_SET_DTR:
      port_set_modem_line(port, UART_MCR_DTR, block[2]);
      break;
    case COMMAND_SET_BREAK:
      port_set_break(port, block[2]);
      break;
    case COMMAND_PURGE:
      port_purge(port, block[2]);
      break;
    case COMMAND_STATUS:
      port_status(port, reply);
      response_queue(reply, RESPONSE_LONGEST);
      return;
    case COMMAND_ECHO:
      marker_length = block[2];
      if (marker_length > length - 3) marker_length = length - 3;
      port_echo(port, &block[3], marker_length);
      return;
  }
  acknowledge(code, port);
}

void commands_poll(void) {
  uint8_t length, i;
  if (!(BULK_OUT_FULL & (1 << COMMAND_ENDPOINT))) return;
  length = BULK_OUT_COUNT(COMMAND_ENDPOINT);
  for (i = 0; i < length; ++i) block[i] = BULK_OUT_BUFFER(COMMAND_ENDPOINT)[i];
  BULK_OUT_COUNT(COMMAND_ENDPOINT) = 0;
  execute(length);
}
