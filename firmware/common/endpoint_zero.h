// Endpoint 0 as both programs serve it. Each keeps its descriptors as one block in RAM: the
// device descriptor, the configuration descriptor (with its interface and endpoints) right
// after it, then the string descriptors in index order from 0 (the language list).
#ifndef FIRMWARE_ENDPOINT_ZERO_H
#define FIRMWARE_ENDPOINT_ZERO_H

#include <stdint.h>

#include "controller.h"
#include "usb.h"

// The SETUP packet being served.
uint16_t setup_value(void);
uint16_t setup_index(void);
uint16_t setup_length(void);

void ep0_stall(void);
// The data stage, if any, is done: let the status stage complete.
void ep0_ack(void);
// A control read: `length` bytes from `source`, cut to what the host asked for.
void ep0_send(const __code uint8_t *source, uint16_t length);
// A control write's data stage, into `target`; fewer bytes if the host sends a short packet.
void ep0_receive(__xdata uint8_t *target, uint16_t length);

// GET_DESCRIPTOR, GET/SET_CONFIGURATION, GET_STATUS and the endpoint halt features, from the
// descriptor block at `descriptors`. Anything else is refused.
void ep0_standard_request(const __code uint8_t *descriptors);
// String descriptor `index` of the block; null when the block has no such string.
const __code uint8_t *descriptor_string(const __code uint8_t *descriptors, uint8_t index);
// The configuration value the host selected; 0 while unconfigured.
extern uint8_t usb_configuration;

#endif
