// What the main firmware presents on endpoint 0, at a fixed place in internal RAM: the
// device descriptor at 0x1200, the configuration at 0x1212, the strings after it. String 3
// holds a placeholder of the serial number's shape until the start copies the unit's own in.
#include <stdint.h>

#include "protocol.h"
#include "usb.h"

#define MAIN_VENDOR 0x5A45
#define MAIN_PRODUCT 0x8421  // bit 15 set: the main firmware runs
#define MAIN_RELEASE 0x0100
#define CONFIGURATION_LENGTH (9 + 9 + 10 * 7)
#define U(c) (c), 0
#define BULK(address) 7, DESCRIPTOR_ENDPOINT, (address), ENDPOINT_BULK, LE16(64), 0

__code __at(0x1200) const uint8_t main_descriptors[] = {
    // Device
    DEVICE_DESCRIPTOR_LENGTH, DESCRIPTOR_DEVICE, LE16(0x0100), 0xFF, 0xFF, 0xFF, 64,
    LE16(MAIN_VENDOR), LE16(MAIN_PRODUCT), LE16(MAIN_RELEASE), 1, 2, 3, 1,
    // Configuration 1: bus powered, 120 mA
    9, DESCRIPTOR_CONFIGURATION, LE16(CONFIGURATION_LENGTH), 1, 1, 4, 0x80, 0x3C,
    9, DESCRIPTOR_INTERFACE, 0, 0, 10, 0xFF, 0xFF, 0xFF, 5,
    // Each port's data in and out, then responses in and commands out.
    BULK(0x81), BULK(0x01), BULK(0x82), BULK(0x02), BULK(0x83), BULK(0x03), BULK(0x84), BULK(0x04),
    BULK(RESPONSE_ENDPOINT | 0x80), BULK(COMMAND_ENDPOINT),
    // Strings
    4, DESCRIPTOR_STRING, LE16(0x0409),
    8, DESCRIPTOR_STRING, U('Z'), U('E'), U('L'),
    58, DESCRIPTOR_STRING, U('B'), U('r'), U('i'), U('n'), U('d'), U('l'), U('o'), U('c'), U('k'), U(' '),
    U('U'), U('S'), U('B'), U(' '), U('S'), U('e'), U('r'), U('i'), U('a'), U('l'), U(' '),
    U('A'), U('d'), U('a'), U('p'), U('t'), U('e'), U('r'),
    26, DESCRIPTOR_STRING, U('X'), U('X'), U('-'), U('X'), U('X'), U('-'), U('X'), U('X'), U('X'), U('X'),
    U('X'), U('X'),
    42, DESCRIPTOR_STRING, U('C'), U('o'), U('n'), U('f'), U('i'), U('g'), U('u'), U('r'), U('a'), U('t'),
    U('i'), U('o'), U('n'), U(' '), U('S'), U('t'), U('r'), U('i'), U('n'), U('g'),
    34, DESCRIPTOR_STRING, U('I'), U('n'), U('t'), U('e'), U('r'), U('f'), U('a'), U('c'), U('e'), U(' '),
    U('S'), U('t'), U('r'), U('i'), U('n'), U('g'),
};
