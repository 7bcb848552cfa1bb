// The images the driver downloads into a blank adapter: arrays of records in the driver's
// initialised data, each ended by the first record whose Type is not 0. The arrays are
// generated at build time from the 8051 programs in firmware/.
#pragma once

#include "platform/platform.h"

#define FIRMWARE_RECORD_DATA 16
#define FIRMWARE_RECORD_DATA_TYPE 0
#define FIRMWARE_RECORD_END_TYPE 1

#pragma pack(push, 1)
typedef struct _FirmwareRecord {
  USHORT Length;   // valid bytes of Data; its low byte is the transfer length
  USHORT Address;  // where Data[0] goes in the controller's memory
  UCHAR Type;      // 0: data; anything else ends the image
  UCHAR Data[FIRMWARE_RECORD_DATA];
  UCHAR Pad;
} FirmwareRecord;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(FirmwareRecord) == 22, "FirmwareRecord is 22 bytes on the wire of the images");
#endif

extern "C" const FirmwareRecord LoaderImage[];
extern "C" const FirmwareRecord MainFirmwareImage[];
