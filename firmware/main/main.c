// Start and the main loop, in internal RAM: everything else runs from external RAM.
#include "controller.h"
#include "firmware.h"

void main(void) {
  ports_reset();
  responses_reset();
  usb_start();
  for (;;) {
    usb_poll();
    commands_poll();
    ports_poll();
    responses_poll();
  }
}
