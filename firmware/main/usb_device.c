#include "controller.h"
#include "endpoint_zero.h"
#include "firmware.h"
#include "usb.h"

#define PORT_ENDPOINTS 0x1E                       // endpoints 1 to 4
#define ALL_ENDPOINTS ((uint8_t)(PORT_ENDPOINTS | (1u << COMMAND_ENDPOINT)))
// Long enough for the host to see the device leave (well over the 2.5 us of a detach).
#define DISCONNECT_SPINS 20000u

// The image is the same for every unit; the unit's own serial number replaces the
// placeholder of string 3, in RAM, before the host can ask for it.
static void serial_number_load(void) {
  const __code uint8_t *string = descriptor_string(main_descriptors, 3);
  __xdata uint8_t *text;
  uint8_t i;
  if (!string) return;
  text = (__xdata uint8_t *)(uint16_t)(string + 2);
  for (i = 0; i < UNIT_SERIAL_LENGTH && 2 + 2 * i < string[0]; ++i) text[2 * i] = UNIT_SERIAL[i];
}

void usb_start(void) {
  volatile uint16_t spin;
  serial_number_load();
  BULK_IN_ENABLE = ALL_ENDPOINTS;
  BULK_OUT_ENABLE = ALL_ENDPOINTS;
  // Renumerate: leave the bus, take endpoint 0 over, and come back as a device of our own.
  USB_CONTROL = USB_DISCONNECT | USB_PROGRAM_ANSWERS;
  for (spin = 0; spin < DISCONNECT_SPINS; ++spin) {
  }
  USB_CONTROL = USB_PROGRAM_ANSWERS;
}

void usb_poll(void) {
  if (!(EP0_STATUS & EP0_SETUP_RECEIVED)) return;
  EP0_STATUS = EP0_SETUP_RECEIVED;
  // The main firmware serves no vendor request; 0xA0 is the core's and is answered before
  // the program sees anything.
  if ((EP0_SETUP[SETUP_REQUEST_TYPE] & REQUEST_TYPE_MASK) == REQUEST_TYPE_STANDARD) {
    ep0_standard_request(main_descriptors);
  } else {
    ep0_stall();
  }
}
