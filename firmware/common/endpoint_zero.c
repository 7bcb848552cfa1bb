#include "endpoint_zero.h"

uint8_t usb_configuration;

static uint16_t setup_word(uint8_t at) { return EP0_SETUP[at] | ((uint16_t)EP0_SETUP[at + 1] << 8); }
uint16_t setup_value(void) { return setup_word(SETUP_VALUE_LOW); }
uint16_t setup_index(void) { return setup_word(SETUP_INDEX_LOW); }
uint16_t setup_length(void) { return setup_word(SETUP_LENGTH_LOW); }

void ep0_stall(void) { EP0_CONTROL = EP0_STALL; }
void ep0_ack(void) { EP0_CONTROL = EP0_ACK; }

void ep0_send(const __code uint8_t *source, uint16_t length) {
  const uint16_t asked = setup_length();
  uint8_t n, i;
  if (length > asked) length = asked;
  const uint8_t short_of_asked = length < asked;
  for (;;) {
    n = length > EP0_PACKET ? EP0_PACKET : (uint8_t)length;
    while (EP0_STATUS & EP0_IN_BUSY) {
    }
    for (i = 0; i < n; ++i) EP0_IN_BUFFER[i] = source[i];
    EP0_IN_COUNT = n;
    source += n;
    length -= n;
    // A reply shorter than asked ends with a short packet, an empty one if need be.
    if (n < EP0_PACKET || (length == 0 && !short_of_asked)) break;
  }
  ep0_ack();
}

void ep0_receive(__xdata uint8_t *target, uint16_t length) {
  uint8_t n, i;
  while (length) {
    while (!(EP0_STATUS & EP0_OUT_FULL)) {
    }
    n = EP0_OUT_COUNT;
    if (n > length) n = (uint8_t)length;
    for (i = 0; i < n; ++i) *target++ = EP0_OUT_BUFFER[i];
    length -= n;
    EP0_OUT_COUNT = 0;
    if (n < EP0_PACKET) break;
  }
  ep0_ack();
}

// A one- or two-byte reply: `first`, then a zero.
static void send_short(uint8_t first, uint8_t length) {
  if (setup_length() < length) length = (uint8_t)setup_length();
  while (EP0_STATUS & EP0_IN_BUSY) {
  }
  EP0_IN_BUFFER[0] = first;
  EP0_IN_BUFFER[1] = 0;
  EP0_IN_COUNT = length;
  ep0_ack();
}

static uint16_t descriptor_word(const __code uint8_t *at) { return at[0] | ((uint16_t)at[1] << 8); }

static const __code uint8_t *configuration_of(const __code uint8_t *descriptors) {
  return descriptors + DEVICE_DESCRIPTOR_LENGTH;
}

const __code uint8_t *descriptor_string(const __code uint8_t *descriptors, uint8_t index) {
  const __code uint8_t *configuration = configuration_of(descriptors);
  const __code uint8_t *at = configuration + descriptor_word(configuration + 2);
  for (;;) {
    if (at[0] < 2 || at[1] != DESCRIPTOR_STRING) return 0;
    if (index == 0) return at;
    at += at[0];
    --index;
  }
}

// Bit n of the IN or OUT halt and enable masks, for an endpoint address; 0 for endpoint 0.
static uint8_t endpoint_bit(uint8_t address) {
  const uint8_t number = address & 0x0F;
  return number >= 1 && number <= 7 ? (uint8_t)(1 << number) : 0;
}

static void endpoint_request(uint8_t request) {
  const uint8_t address = (uint8_t)setup_index();
  const uint8_t bit = endpoint_bit(address);
  const uint8_t in = address & 0x80;
  if (!bit || !((in ? BULK_IN_ENABLE : BULK_OUT_ENABLE) & bit)) {
    ep0_stall();
    return;
  }
  if (request == GET_STATUS) {
    send_short(((in ? BULK_IN_HALT : BULK_OUT_HALT) & bit) ? 1 : 0, 2);
    return;
  }
  if (setup_value() != FEATURE_ENDPOINT_HALT) {
    ep0_stall();
    return;
  }
  if (request == SET_FEATURE) {
    if (in) BULK_IN_HALT |= bit;
    else BULK_OUT_HALT |= bit;
  } else {
    if (in) BULK_IN_HALT &= (uint8_t)~bit;
    else BULK_OUT_HALT &= (uint8_t)~bit;
  }
  ep0_ack();
}

void ep0_standard_request(const __code uint8_t *descriptors) {
  const uint8_t request = EP0_SETUP[SETUP_REQUEST];
  const uint8_t to_endpoint = (EP0_SETUP[SETUP_REQUEST_TYPE] & REQUEST_RECIPIENT_MASK) == REQUEST_RECIPIENT_ENDPOINT;
  const __code uint8_t *found;
  switch (request) {
    case GET_DESCRIPTOR:
      switch (EP0_SETUP[SETUP_VALUE_HIGH]) {
        case DESCRIPTOR_DEVICE:
          ep0_send(descriptors, DEVICE_DESCRIPTOR_LENGTH);
          return;
        case DESCRIPTOR_CONFIGURATION:
          found = configuration_of(descriptors);
          ep0_send(found, descriptor_word(found + 2));
          return;
        case DESCRIPTOR_STRING:
          found = descriptor_string(descriptors, EP0_SETUP[SETUP_VALUE_LOW]);
          if (found) {
            ep0_send(found, found[0]);
            return;
          }
          break;
      }
      break;
    case GET_CONFIGURATION:
      send_short(usb_configuration, 1);
      return;
    case SET_CONFIGURATION:
      if (EP0_SETUP[SETUP_VALUE_LOW] > 1) break;
      usb_configuration = EP0_SETUP[SETUP_VALUE_LOW];
      BULK_IN_HALT = 0;
      BULK_OUT_HALT = 0;
      ep0_ack();
      return;
    case GET_STATUS:
      if (to_endpoint) endpoint_request(request);
      else send_short(0, 2);
      return;
    case CLEAR_FEATURE:
    case SET_FEATURE:
      if (!to_endpoint) break;
      endpoint_request(request);
      return;
  }
  ep0_stall();
}
