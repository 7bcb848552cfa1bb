// Keys and values through the Zw routines and the host view: names without regard to case,
// what opening and creating resolve, every buffer size of a value query, and the hive kept
// across a restart of the machine.
#include "registry_test_support.h"

namespace {

using sim::registry::Value;
using RegistryKeys = MachineTest;

TEST_F(RegistryKeys, HostValuesKeepTypeBytesAndOrderAndMatchNamesWithoutCase) {
  ASSERT_TRUE(sim::registry::SetDword(kParams, u"BaudRate", 115200));
  ASSERT_TRUE(sim::registry::SetSz(kParams, u"PortName", u"COM3"));
  ASSERT_TRUE(sim::registry::SetMultiSz(kParams, u"Aliases", {u"A", u"BC"}));
  ASSERT_TRUE(sim::registry::SetValue(kParams, u"Raw", REG_BINARY, Bytes({1, 2, 3})));
  ASSERT_TRUE(sim::registry::SetDword(kParams, u"baudrate", 9600));  // the same value, kept first in order

  auto values = sim::registry::Values(u"\\registry\\MACHINE\\system\\currentcontrolset\\services\\ZEL\\parameters");
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0].name, u"BaudRate");
  EXPECT_EQ(sim::registry::GetDword(kParams, u"BAUDRATE"), 9600u);
  EXPECT_EQ(sim::registry::GetSz(kParams, u"portname"), u"COM3");
  EXPECT_EQ(values[1].data, StringBytes(std::u16string(u"COM3\0", 5)));
  EXPECT_EQ(values[2].type, ULONG(REG_MULTI_SZ));
  EXPECT_EQ(values[2].data, StringBytes(std::u16string(u"A\0BC\0\0", 6)));
  EXPECT_EQ(values[3].data, Bytes({1, 2, 3}));
  EXPECT_EQ(sim::registry::GetDword(kParams, u"Raw"), std::nullopt);  // not a 4-byte REG_DWORD

  EXPECT_EQ(sim::registry::SubKeys(u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Zel"),
            std::vector<std::u16string>{u"Parameters"});
  EXPECT_TRUE(sim::registry::DeleteValue(kParams, u"RAW"));
  EXPECT_FALSE(sim::registry::DeleteValue(kParams, u"Raw"));
  EXPECT_TRUE(sim::registry::DeleteKey(u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\zel"));
  EXPECT_FALSE(sim::registry::KeyExists(kParams));
  EXPECT_FALSE(sim::registry::DeleteKey(u"\\REGISTRY\\Machine"));
  EXPECT_FALSE(sim::registry::CreateKey(u"\\REGISTRY\\Other\\x"));
  EXPECT_FALSE(sim::registry::CreateKey(u"\\REGISTRY\\Machine\\a\\\\b"));
}

TEST_F(RegistryKeys, OpenFindsExistingKeysAndCreateMakesOnlyTheLastComponent) {
  HANDLE key = nullptr;
  EXPECT_EQ(OpenKey(kParams, &key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(OpenKey(kParams, &key, true), STATUS_OBJECT_NAME_NOT_FOUND);  // "zel" is missing
  ASSERT_TRUE(sim::registry::CreateKey(u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\zel"));
  ULONG disposition = 0;
  ASSERT_EQ(OpenKey(kParams, &key, true, 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(sim::registry::KeyExists(kParams));
  HANDLE again = nullptr;
  ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZEL\\PARAMETERS", &again, true, 0,
                    &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  EXPECT_NE(again, key);
  EXPECT_EQ(sim::registry::OpenHandleCount(), 2u);

  HANDLE child = nullptr;
  EXPECT_EQ(OpenKey(u"Port1", &child, true, 0, nullptr, key), STATUS_SUCCESS);  // relative to an open key
  EXPECT_TRUE(sim::registry::KeyExists(std::u16string(kParams) + u"\\Port1"));
  HANDLE bad = nullptr;
  EXPECT_EQ(OpenKey(u"\\Port1", &bad, false, 0, nullptr, key), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(OpenKey(u"Registry\\Machine", &bad), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(OpenKey(u"\\REGISTRY\\Machine\\\\System", &bad), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(OpenKey(u"\\REGISTRY\\Machine\\System\\", &bad), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(OpenKey(u"\\REGISTRY\\NewHive", &bad, true), STATUS_ACCESS_DENIED);
  EXPECT_EQ(OpenKey(u"\\Device\\Serial0", &bad), STATUS_OBJECT_PATH_NOT_FOUND);

  // Below a volatile key only volatile keys.
  HANDLE scratch = nullptr;
  ASSERT_EQ(OpenKey(u"Scratch", &scratch, true, REG_OPTION_VOLATILE, nullptr, key), STATUS_SUCCESS);
  EXPECT_EQ(OpenKey(u"Lasting", &bad, true, 0, nullptr, scratch), STATUS_CHILD_MUST_BE_VOLATILE);
  for (HANDLE handle : {key, again, child, scratch}) EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::OpenHandleCount(), 0u);
}

class ValueQuery : public RegistryKeys {
 protected:
  void SetUp() override {
    RegistryKeys::SetUp();
    sim::registry::SetValue(kParams, u"Timing", REG_BINARY, Bytes({1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(OpenKey(kParams, &key_), STATUS_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
    RegistryKeys::TearDown();
  }
  NTSTATUS Query(KEY_VALUE_INFORMATION_CLASS type, ULONG length, ULONG* result, const char16_t* name = u"Timing") {
    buffer_.assign(64, 0xEE);
    UNICODE_STRING valueName = U(name);
    return ZwQueryValueKey(key_, &valueName, type, length ? buffer_.data() : nullptr, length, result);
  }
  ULONG At(size_t offset) const {
    ULONG value;
    std::memcpy(&value, buffer_.data() + offset, sizeof value);
    return value;
  }
  HANDLE key_ = nullptr;
  std::vector<uint8_t> buffer_;
};

TEST_F(ValueQuery, PartialInformationAtEveryBufferSize) {
  const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  for (ULONG length = 0; length <= fixed + 6; ++length) {
    SCOPED_TRACE(length);
    ULONG result = 0;
    NTSTATUS status = Query(KeyValuePartialInformation, length, &result);
    EXPECT_EQ(result, fixed + 6);
    if (length < fixed) {
      EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(buffer_[0], 0xEE);  // nothing written
      continue;
    }
    EXPECT_EQ(At(4), ULONG(REG_BINARY));
    EXPECT_EQ(At(8), 6u);
    if (length < fixed + 6) {
      EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
      EXPECT_EQ(buffer_[fixed], 0xEE);  // data only whole
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(std::vector<uint8_t>(buffer_.begin() + fixed, buffer_.begin() + fixed + 6), Bytes({1, 2, 3, 4, 5, 6}));
    }
  }
}

TEST_F(ValueQuery, BasicInformationCopiesTheNameAsFarAsItFits) {
  const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
  ULONG result = 0;
  EXPECT_EQ(Query(KeyValueBasicInformation, fixed - 1, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, fixed + 12);
  EXPECT_EQ(Query(KeyValueBasicInformation, fixed + 4, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(At(8), 12u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer_.data() + fixed), 2), u"Ti");
  EXPECT_EQ(buffer_[fixed + 4], 0xEE);
  EXPECT_EQ(Query(KeyValueBasicInformation, fixed + 12, &result, u"TIMING"), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer_.data() + fixed), 6), u"Timing");  // stored case
}

TEST_F(ValueQuery, FullInformationPutsTheDataAfterTheAlignedName) {
  sim::registry::SetValue(kParams, u"Odd", REG_DWORD, Bytes({7, 0, 0, 0}));
  const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
  ULONG result = 0;
  EXPECT_EQ(Query(KeyValueFullInformation, fixed - 1, &result, u"Odd"), STATUS_BUFFER_TOO_SMALL);
  const ULONG dataOffset = (fixed + 6 + 3) & ~3u;  // "Odd" is 6 bytes
  EXPECT_EQ(result, dataOffset + 4);
  EXPECT_EQ(Query(KeyValueFullInformation, dataOffset + 3, &result, u"Odd"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(At(8), dataOffset);
  EXPECT_EQ(At(12), 4u);
  EXPECT_EQ(At(16), 6u);
  EXPECT_EQ(buffer_[dataOffset], 0xEE);
  EXPECT_EQ(Query(KeyValueFullInformation, dataOffset + 4, &result, u"Odd"), STATUS_SUCCESS);
  EXPECT_EQ(At(dataOffset), 7u);
}

TEST_F(ValueQuery, MissingValueUnknownClassAndNoResultLength) {
  ULONG result = 99;
  EXPECT_EQ(Query(KeyValuePartialInformation, 64, &result, u"Nothing"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(Query(static_cast<KEY_VALUE_INFORMATION_CLASS>(7), 64, &result), STATUS_INVALID_PARAMETER);
  UNICODE_STRING name = U(u"Timing");
  uint8_t buffer[32];
  EXPECT_EQ(ZwQueryValueKey(key_, &name, KeyValuePartialInformation, buffer, sizeof buffer, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryKeys, SetAndDeleteValuesThroughAHandle) {
  HANDLE key = nullptr;
  sim::registry::CreateKey(kParams);
  ASSERT_EQ(OpenKey(kParams, &key, true), STATUS_SUCCESS);
  UNICODE_STRING name = U(u"Mode");
  ULONG mode = 3;
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &mode, sizeof mode), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(kParams, u"mode"), 3u);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, &mode, 1), STATUS_SUCCESS);  // type and size replaced
  EXPECT_EQ(sim::registry::GetValue(kParams, u"Mode")->data, Bytes({3}));
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);

  UNICODE_STRING unnamed{};
  EXPECT_EQ(ZwSetValueKey(key, &unnamed, 0, REG_SZ, const_cast<char16_t*>(u"x"), 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetSz(kParams, u""), u"x");  // the key's default value

  EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(sim::registry::GetValue(kParams, u"Mode"));

  // A key deleted under an open handle.
  sim::registry::DeleteKey(kParams);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &mode, sizeof mode), STATUS_KEY_DELETED);
  ULONG result;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &result), STATUS_KEY_DELETED);
  EXPECT_FALSE(sim::registry::KeyExists(kParams));  // not brought back
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// A machine of its own per boot: the hive goes from one to the next as a disk image.
TEST(RegistryHive, SurvivesARestartOfTheMachineExceptVolatileKeys) {
  std::vector<uint8_t> image;
  {
    sim::Machine machine(TestSeed());
    sim::registry::SetDword(kParams, u"BaudRate", 57600);
    sim::registry::SetMultiSz(kParams, u"Names", {u"One", u"Two"});
    HANDLE key = nullptr, scratch = nullptr;
    ASSERT_EQ(OpenKey(kParams, &key), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(u"Scratch", &scratch, true, REG_OPTION_VOLATILE, nullptr, key), STATUS_SUCCESS);
    ZwClose(scratch);
    ZwClose(key);
    image = sim::registry::Export();
    EXPECT_TRUE(machine.Violations().empty());
  }
  sim::Machine machine(TestSeed() + 1);
  EXPECT_FALSE(sim::registry::KeyExists(kParams));  // a fresh machine has a fresh hive
  std::vector<uint8_t> truncated(image.begin(), image.end() - 1);
  EXPECT_FALSE(sim::registry::Import(truncated));
  std::vector<uint8_t> corrupt = image;
  corrupt[0] ^= 1;
  EXPECT_FALSE(sim::registry::Import(corrupt));
  EXPECT_FALSE(sim::registry::KeyExists(kParams));  // a rejected image changes nothing

  ASSERT_TRUE(sim::registry::Import(image));
  EXPECT_EQ(sim::registry::GetDword(kParams, u"BaudRate"), 57600u);
  EXPECT_EQ(sim::registry::GetValue(kParams, u"Names")->data, StringBytes(std::u16string(u"One\0Two\0\0", 9)));
  EXPECT_FALSE(sim::registry::KeyExists(std::u16string(kParams) + u"\\Scratch"));
  EXPECT_TRUE(sim::registry::KeyExists(sim::registry::kDeviceMap));
  EXPECT_EQ(sim::registry::Export(), image);
  EXPECT_TRUE(machine.Violations().empty());
}

}  // namespace
