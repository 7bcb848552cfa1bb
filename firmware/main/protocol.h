// What the main firmware and the host say to each other: the command protocol on endpoint 7
// (commands out, responses in) and the four serial ports, port n on bulk endpoints n in and
// n out.
#ifndef FIRMWARE_PROTOCOL_H
#define FIRMWARE_PROTOCOL_H

#define PORT_COUNT 4
#define COMMAND_ENDPOINT 7
#define RESPONSE_ENDPOINT 7

#define COMMAND_OPEN 1
#define COMMAND_CLOSE 2
#define COMMAND_CONFIGURE 3
#define COMMAND_SET_RTS 4
#define COMMAND_SET_DTR 5
#define COMMAND_SET_BREAK 6
#define COMMAND_STATUS 8
#define COMMAND_PURGE 9
#define COMMAND_ECHO 14
#define PURGE_RECEIVE 1
#define PURGE_TRANSMIT 2
#define CONFIG_BLOCK_LENGTH 13

#define RESPONSE_STATUS 8       // 8, port, flags, modem, line, receive level, transmit level
#define RESPONSE_EVENT 13       // 13, port, flags, value
#define RESPONSE_DONE 16        // 16, command code, port
#define EVENT_MODEM_STATUS 0x01
#define EVENT_LINE_STATUS 0x02
#define RESPONSE_LONGEST 7

// Handshake byte of the configuration block; the letter 'n' stands for none.
#define HANDSHAKE_NONE 'n'
#define HANDSHAKE_TOGGLE 0x01
#define HANDSHAKE_CTS 0x08
#define HANDSHAKE_DSR 0x10
#define HANDSHAKE_RTS 0x80

#endif
