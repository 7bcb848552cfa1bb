// What the loader presents on endpoint 0, at a fixed place in internal RAM: the device
// descriptor at 0x1100, the configuration at 0x1112, the strings after it.
#include <stdint.h>

#include "usb.h"

#define LOADER_VENDOR 0x5A45
#define LOADER_PRODUCT 0x0421  // bit 15 clear: not the main firmware
#define LOADER_RELEASE 0x0002
#define CONFIGURATION_LENGTH 32
#define U(c) (c), 0

__code __at(0x1100) const uint8_t loader_descriptors[] = {
    // Device
    DEVICE_DESCRIPTOR_LENGTH, DESCRIPTOR_DEVICE, LE16(0x0100), 0x00, 0x00, 0x00, 64,
    LE16(LOADER_VENDOR), LE16(LOADER_PRODUCT), LE16(LOADER_RELEASE), 1, 2, 0, 1,
    // Configuration 1: self powered, no power drawn from the bus
    9, DESCRIPTOR_CONFIGURATION, LE16(CONFIGURATION_LENGTH), 1, 1, 0, 0xA0, 0,
    9, DESCRIPTOR_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0,
    7, DESCRIPTOR_ENDPOINT, 0x82, ENDPOINT_BULK, LE16(64), 0,
    7, DESCRIPTOR_ENDPOINT, 0x02, ENDPOINT_BULK, LE16(64), 0,
    // Strings: languages, manufacturer, product
    4, DESCRIPTOR_STRING, LE16(0x0409),
    8, DESCRIPTOR_STRING, U('Z'), U('E'), U('L'),
    32, DESCRIPTOR_STRING, U('D'), U('o'), U('w'), U('n'), U('l'), U('o'), U('a'), U('d'), U(' '),
    U('L'), U('o'), U('a'), U('d'), U('e'), U('r'),
};
