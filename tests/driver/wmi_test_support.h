// The serial WMI blocks as a WMI consumer reads them: the GUIDs and a decoded query.
#pragma once

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "platform/platform.h"
#include "simkernel/pnp.h"
#include "simkernel/wmi.h"

namespace wmi_test {

inline constexpr GUID kPortName = {0xa0ec11a8, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
inline constexpr GUID kCommInfo = {0xedb16a62, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
inline constexpr GUID kHardwareConfiguration = {
    0x270b9b86, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
inline constexpr GUID kPerformance = {0x56415acc, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
inline constexpr GUID kCommProperties = {
    0x8209ec2a, 0x2d6b, 0x11d2, {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}};
inline constexpr GUID kSerialBlocks[] = {kPortName, kCommInfo, kHardwareConfiguration, kPerformance,
                                         kCommProperties};

// The one instance's bytes of a successful all-data query ({} after a test failure).
inline std::vector<uint8_t> QueryBlock(PDEVICE_OBJECT port, const GUID& guid, ULONG bufferSize = 0x1000) {
  sim::wmi::Answer answer = sim::wmi::QueryAllData(port, guid, bufferSize);
  EXPECT_TRUE(answer.sent);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_FALSE(answer.tooSmall);
  EXPECT_EQ(answer.problem, "");
  if (answer.instances.size() != 1) {
    ADD_FAILURE() << answer.instances.size() << " instances";
    return {};
  }
  return answer.instances[0].data;
}

template <class T>
T QueryRecord(PDEVICE_OBJECT port, const GUID& guid) {
  std::vector<uint8_t> data = QueryBlock(port, guid);
  T record{};
  EXPECT_EQ(data.size(), sizeof(T));
  std::memcpy(&record, data.data(), std::min(data.size(), sizeof(T)));
  return record;
}

inline SERIAL_WMI_COMM_DATA CommInfoOf(PDEVICE_OBJECT port) { return QueryRecord<SERIAL_WMI_COMM_DATA>(port, kCommInfo); }

}  // namespace wmi_test
