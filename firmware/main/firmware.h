// The parts of the main firmware and what each offers the others.
#ifndef FIRMWARE_MAIN_H
#define FIRMWARE_MAIN_H

#include <stdint.h>

#include "protocol.h"

// At 0x1200 (descriptors.c).
extern const __code uint8_t main_descriptors[];

// usb_device.c: the bus side.
void usb_start(void);
void usb_poll(void);

// commands.c
void commands_poll(void);

// responses.c: blocks for the host, sent one per transfer in the order queued.
void responses_reset(void);
void response_queue(const uint8_t *block, uint8_t length);
void responses_poll(void);

// ports.c
void ports_reset(void);
void ports_poll(void);
void port_open(uint8_t port);
void port_close(uint8_t port);
// The 13-byte block of command 3; 0 when a field is out of range.
uint8_t port_configure(const uint8_t *block);
void port_set_modem_line(uint8_t port, uint8_t line, uint8_t on);
void port_set_break(uint8_t port, uint8_t on);
void port_purge(uint8_t port, uint8_t side);
void port_status(uint8_t port, uint8_t *reply);
void port_echo(uint8_t port, const uint8_t *marker, uint8_t length);

#endif
