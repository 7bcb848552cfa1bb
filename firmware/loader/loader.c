// The loader: a small program the host puts in internal RAM to reach the external RAM, which
// the core's own request 0xA0 cannot write. It serves request 0xA3 (write the data stage at
// wValue in external RAM) and answers endpoint 0 with its own descriptors, but it does not
// disconnect: the host keeps the address and configuration it gave the bare core, and the
// loader is never enumerated as a device of its own. Its descriptors list a bulk pair that
// it never enables; the host only ever talks to it on endpoint 0.
#include "controller.h"
#include "endpoint_zero.h"
#include "usb.h"

#define REQUEST_LOAD_EXTERNAL 0xA3

extern const __code uint8_t loader_descriptors[];

static void load_external(void) {
  const uint16_t address = setup_value();
  const uint16_t length = setup_length();
  // Internal RAM holds this program, the register page is hardware: external RAM only, and
  // a record must not wrap past the top of memory.
  if (address < EXTERNAL_RAM_FIRST || (length != 0 && (uint16_t)(address + length - 1) < address)) {
    ep0_stall();
    return;
  }
  ep0_receive((__xdata uint8_t *)address, length);
}

static void vendor_request(void) {
  if ((EP0_SETUP[SETUP_REQUEST_TYPE] & REQUEST_DIRECTION_IN) || EP0_SETUP[SETUP_REQUEST] != REQUEST_LOAD_EXTERNAL) {
    ep0_stall();
    return;
  }
  load_external();
}

void main(void) {
  USB_CONTROL = USB_PROGRAM_ANSWERS;
  for (;;) {
    if (!(EP0_STATUS & EP0_SETUP_RECEIVED)) continue;
    EP0_STATUS = EP0_SETUP_RECEIVED;
    switch (EP0_SETUP[SETUP_REQUEST_TYPE] & REQUEST_TYPE_MASK) {
      case REQUEST_TYPE_VENDOR:
        vendor_request();
        break;
      case REQUEST_TYPE_STANDARD:
        ep0_standard_request(loader_descriptors);
        break;
      default:
        ep0_stall();
        break;
    }
  }
}
