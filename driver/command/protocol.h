// The protocol spoken with the adapter's firmware: command blocks on the command pipe,
// response blocks on the response pipe, the per-port configuration block and status
// snapshot, and the close echo marker. Byte layouts are the wire's; both the host and i386
// are little-endian, so multi-byte fields are already in wire order.
#pragma once

#include "platform/platform.h"

// ---- Command blocks: code, then payload; byte 1 is always the port number 1..4 ----------
#define COMMAND_OPEN_PORT 1
#define COMMAND_CLOSE_PORT 2
#define COMMAND_SET_CONFIGURATION 3  // payload: the port's PortConfigBlock
#define COMMAND_SET_RTS 4            // port, 1 raise / 0 drop
#define COMMAND_SET_DTR 5            // port, 1 raise / 0 drop
#define COMMAND_SET_BREAK 6          // port, 1 on / 0 off
#define COMMAND_GET_STATUS 8         // answered by a status reply, not a command complete
#define COMMAND_PURGE 9              // port, PURGE_RECEIVE or PURGE_TRANSMIT
#define COMMAND_ECHO 14              // port, marker length, marker, filler: 64 bytes on the wire

#define PURGE_RECEIVE 1
#define PURGE_TRANSMIT 2

// The firmware takes one block per transfer and its command buffer is one 64-byte packet.
#define COMMAND_BLOCK_MAX 64
#define COMMAND_PAYLOAD_MAX (COMMAND_BLOCK_MAX - 1)

// ---- Response blocks: one per transfer of at most 64 bytes, code in byte 0 ------------
#define RESPONSE_BLOCK_SIZE 64

#define RESPONSE_STATUS_REPLY 8        // port, flags, modem, line, two further bytes
#define RESPONSE_EVENT 13              // port, flags, value
#define RESPONSE_NO_ACTION 11
#define RESPONSE_COMMAND_COMPLETE 16   // not examined, port

// Bytes a block must carry to be decoded; a shorter transfer is ignored rather than read
// together with the previous block's leftovers.
#define RESPONSE_STATUS_REPLY_LENGTH 7
#define RESPONSE_EVENT_LENGTH 4
#define RESPONSE_COMMAND_COMPLETE_LENGTH 3

// Byte offsets inside a response block.
#define RESPONSE_CODE 0
#define RESPONSE_PORT 1              // status reply and event
#define RESPONSE_EVENT_FLAGS 2
#define RESPONSE_EVENT_VALUE 3
#define RESPONSE_COMPLETE_PORT 2     // command complete

// Event flags (byte 2 of an event block); only the first bit set, in this order, applies.
#define EVENT_MODEM_STATUS 0x01
#define EVENT_LINE_STATUS 0x02
#define EVENT_EXTRA_STATUS_0 0x04
#define EVENT_EXTRA_STATUS_1 0x08

// Modem status byte, as the UART's modem status register.
#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif

// Line status byte, as the UART's line status register.
#ifndef SERIAL_LSR_OE
#define SERIAL_LSR_DR 0x01
#define SERIAL_LSR_OE 0x02
#define SERIAL_LSR_PE 0x04
#define SERIAL_LSR_FE 0x08
#define SERIAL_LSR_BI 0x10
#define SERIAL_LSR_THRE 0x20
#define SERIAL_LSR_TEMT 0x40
#define SERIAL_LSR_FIFOERR 0x80
#endif

// Line status bits that make an event worth looking at.
#define LINE_STATUS_EVENT_BITS (SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE | SERIAL_LSR_BI | SERIAL_LSR_FIFOERR)
#define LINE_STATUS_ERROR_BITS (SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE)

// ---- Close echo -------------------------------------------------------------------------
// Command 14 asks the firmware to send the marker back on the port's data IN pipe; a transfer
// of exactly ECHO_MARKER_LENGTH bytes while the port is closed ends the port's data read.
#define ECHO_MARKER_LENGTH 4
#define ECHO_MARKER_0 'B'
#define ECHO_MARKER_1 'O'
#define ECHO_MARKER_2 'N'
#define ECHO_MARKER_3 'G'
#define ECHO_PAYLOAD_LENGTH 63

// Fills the payload of command 14. The 57 bytes after the marker carry nothing; they are
// zero so that what goes on the wire never depends on stale memory.
inline VOID CommandBuildEchoPayload(UCHAR PortNumber, UCHAR Payload[ECHO_PAYLOAD_LENGTH]) {
  RtlZeroMemory(Payload, ECHO_PAYLOAD_LENGTH);
  Payload[0] = PortNumber;
  Payload[1] = ECHO_MARKER_LENGTH;
  Payload[2] = ECHO_MARKER_0;
  Payload[3] = ECHO_MARKER_1;
  Payload[4] = ECHO_MARKER_2;
  Payload[5] = ECHO_MARKER_3;
}

// ---- Per-port records that travel on the wire ------------------------------------------
#pragma pack(push, 1)
// The 13-byte payload of the set-configuration command, as the firmware reads it.
struct PortConfigBlock {
  UCHAR PortNumber;
  ULONG BaudRate;
  UCHAR DataBits;     // 5..8
  UCHAR StopBits;     // 1, or 2 (one and a half with 5 data bits)
  UCHAR Parity;       // 'n', 'o', 'e', '1' mark, '0' space
  UCHAR FlowControl;  // 'b', 't', 'r', 'n'
  UCHAR XoffChar;
  UCHAR XonChar;
  UCHAR Handshake;  // CONFIG_HANDSHAKE_ bits, or 'n' until the first handshake request
  UCHAR Reserved;
};

// The adapter's latest status bytes for one port: bytes 1..6 of a status reply, or the
// port, flags and value of the last event.
struct PortStatusSnapshot {
  UCHAR PortNumber;
  UCHAR EventFlags;
  UCHAR ModemStatus;  // SERIAL_MSR_ layout
  UCHAR LineStatus;   // SERIAL_LSR_ layout
  UCHAR Extra[2];
};
#pragma pack(pop)
static_assert(sizeof(PortConfigBlock) == 13, "the configuration payload is 13 bytes");
static_assert(sizeof(PortStatusSnapshot) == 6, "the status snapshot is 6 bytes");

// Handshake byte of PortConfigBlock.
#define CONFIG_HANDSHAKE_RTS 0x80
#define CONFIG_HANDSHAKE_CTS 0x08
#define CONFIG_HANDSHAKE_DSR 0x10
#define CONFIG_HANDSHAKE_TOGGLE 0x01
#define CONFIG_HANDSHAKE_INITIAL 0x6E  // 'n'

#define CONFIG_XOFF_CHAR 0x13
#define CONFIG_XON_CHAR 0x11
