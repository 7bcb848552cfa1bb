// RtlQueryRegistryValues as drivers use it: direct results per type with their buffer rules,
// defaults for missing values, query routines with the strings split and expanded, subkeys;
// and the other run-time library registry routines with their relative-to keys.
#include "registry_test_support.h"
#include "simkernel/io.h"
#include "simkernel/pool.h"

namespace {

constexpr const char16_t* kService = u"zel\\Parameters";  // below RTL_REGISTRY_SERVICES

class RtlQuery : public MachineTest {
 protected:
  // One DIRECT entry and the terminator.
  NTSTATUS Direct(const char16_t* name, PVOID into, ULONG flags = 0, ULONG defaultType = REG_NONE,
                  PVOID defaultData = nullptr, ULONG defaultLength = 0, PVOID environment = nullptr) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | flags, name, into, defaultType, defaultData, defaultLength};
    return RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, table, nullptr, environment);
  }
};

TEST_F(RtlQuery, DirectStringIsAllocatedForTheCallerOrMustFitItsBuffer) {
  sim::registry::SetSz(kParams, u"PortName", u"COM12");
  UNICODE_STRING allocated{};
  ASSERT_EQ(Direct(u"PortName", &allocated), STATUS_SUCCESS);
  EXPECT_EQ(Text(allocated), u"COM12");
  EXPECT_EQ(allocated.Length, 10);
  EXPECT_EQ(allocated.MaximumLength, 12);  // the stored bytes, terminator included
  EXPECT_EQ(allocated.Buffer[5], u'\0');
  auto block = sim::pool::FindBlock(allocated.Buffer);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->type, PagedPool);
  EXPECT_EQ(block->tag, sim::pool::SystemStringTag());
  RtlFreeUnicodeString(&allocated);
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);

  WCHAR storage[6];
  UNICODE_STRING exact{0, sizeof storage, storage};
  EXPECT_EQ(Direct(u"PortName", &exact), STATUS_SUCCESS);
  EXPECT_EQ(Text(exact), u"COM12");
  WCHAR small[5] = {u'x', u'x', u'x', u'x', u'x'};
  UNICODE_STRING tooSmall{0, sizeof small, small};
  EXPECT_EQ(Direct(u"PortName", &tooSmall), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall.Length, 0);
  EXPECT_EQ(small[0], u'x');
}

TEST_F(RtlQuery, DirectMultiStringWholeWithNoExpandElseOneStringAtATime) {
  sim::registry::SetMultiSz(kParams, u"Names", {u"Alpha", u"Be"});
  UNICODE_STRING whole{};
  ASSERT_EQ(Direct(u"Names", &whole, RTL_QUERY_REGISTRY_NOEXPAND), STATUS_SUCCESS);
  EXPECT_EQ(Text(whole), std::u16string(u"Alpha\0Be\0", 9));
  RtlFreeUnicodeString(&whole);

  // Each string is delivered into the same string in turn: the last one stays.
  WCHAR storage[16];
  UNICODE_STRING each{0, sizeof storage, storage};
  ASSERT_EQ(Direct(u"Names", &each), STATUS_SUCCESS);
  EXPECT_EQ(Text(each), u"Be");
  // Allocated for the first string, the buffer is too small for a longer second one.
  sim::registry::SetMultiSz(kParams, u"Names", {u"A", u"Longer"});
  UNICODE_STRING grown{};
  EXPECT_EQ(Direct(u"Names", &grown), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(grown), u"A");
  RtlFreeUnicodeString(&grown);
}

TEST_F(RtlQuery, DirectExpandStringExpandsFromTheEnvironmentUnlessNoExpand) {
  sim::registry::SetSz(kParams, u"Image", u"%SystemRoot%\\x.sys %Unknown%", REG_EXPAND_SZ);
  const char16_t environment[] = u"Other=1\0SYSTEMROOT=C:\\WINNT\0";
  UNICODE_STRING expanded{};
  ASSERT_EQ(Direct(u"Image", &expanded, 0, REG_NONE, nullptr, 0, const_cast<char16_t*>(environment)), STATUS_SUCCESS);
  EXPECT_EQ(Text(expanded), u"C:\\WINNT\\x.sys %Unknown%");
  RtlFreeUnicodeString(&expanded);
  UNICODE_STRING raw{};
  ASSERT_EQ(Direct(u"Image", &raw, RTL_QUERY_REGISTRY_NOEXPAND, REG_NONE, nullptr, 0,
                   const_cast<char16_t*>(environment)),
            STATUS_SUCCESS);
  EXPECT_EQ(Text(raw), u"%SystemRoot%\\x.sys %Unknown%");
  RtlFreeUnicodeString(&raw);
}

TEST_F(RtlQuery, DirectDataUpToAUlongIsCopiedAsStoredLongerDataTakesTheSignedSize) {
  sim::registry::SetDword(kParams, u"Rate", 0x12345678);
  sim::registry::SetValue(kParams, u"Short", REG_BINARY, Bytes({0x01, 0x02}));
  sim::registry::SetValue(kParams, u"Long", REG_BINARY, Bytes({1, 2, 3, 4, 5, 6}));
  ULONG rate = 0;
  EXPECT_EQ(Direct(u"Rate", &rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 0x12345678u);
  ULONG partial = 0xFFFFFFFF;
  EXPECT_EQ(Direct(u"Short", &partial), STATUS_SUCCESS);
  EXPECT_EQ(partial, 0xFFFF0201u);  // only the two stored bytes are written

  struct {
    LONG size;
    UCHAR data[12];
  } dataOnly{-6, {}};
  EXPECT_EQ(Direct(u"Long", &dataOnly), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&dataOnly), reinterpret_cast<uint8_t*>(&dataOnly) + 6),
            Bytes({1, 2, 3, 4, 5, 6}));
  LONG tooSmall[4] = {-5, 0, 0, 0};
  EXPECT_EQ(Direct(u"Long", tooSmall), STATUS_BUFFER_TOO_SMALL);

  ULONG described[4] = {14, 0, 0, 0};  // length, type, then the data
  EXPECT_EQ(Direct(u"Long", described), STATUS_SUCCESS);
  EXPECT_EQ(described[0], 6u);
  EXPECT_EQ(described[1], ULONG(REG_BINARY));
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&described[2]), reinterpret_cast<uint8_t*>(&described[2]) + 6),
            Bytes({1, 2, 3, 4, 5, 6}));
  ULONG notEnough[4] = {13, 0xAA, 0, 0};
  EXPECT_EQ(Direct(u"Long", notEnough), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(notEnough[1], 0xAAu);
}

TEST_F(RtlQuery, MissingValueTakesTheDefaultOrFailsWhenRequired) {
  sim::registry::CreateKey(kParams);
  ULONG rate = 0, fallback = 9600;
  EXPECT_EQ(Direct(u"Rate", &rate, 0, REG_DWORD, &fallback, sizeof fallback), STATUS_SUCCESS);
  EXPECT_EQ(rate, 9600u);
  UNICODE_STRING name{};
  EXPECT_EQ(Direct(u"PortName", &name, 0, REG_SZ, const_cast<char16_t*>(u"COM1"), 0), STATUS_SUCCESS);
  EXPECT_EQ(Text(name), u"COM1");  // DefaultLength 0: up to the terminator
  RtlFreeUnicodeString(&name);
  ULONG untouched = 77;
  EXPECT_EQ(Direct(u"Rate", &untouched), STATUS_SUCCESS);  // REG_NONE default: nothing
  EXPECT_EQ(untouched, 77u);

  // A required value stops the table where it is missing.
  ULONG first = 0, second = 0;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, u"Rate", &first, REG_DWORD, &fallback, 4};
  table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Other", &second, REG_DWORD, &fallback, 4};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(second, 0u);
}

TEST_F(RtlQuery, MissingKeyFailsUnlessOptional) {
  ULONG rate = 5, fallback = 1;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Rate", &rate, REG_DWORD, &fallback, 4};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, kService, table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(rate, 5u);  // nothing written, not even the default
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_MAXIMUM, kService, table, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  sim::registry::CreateKey(kParams);
  table[0].QueryRoutine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, table, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  table[0].QueryRoutine = nullptr;
  table[0].Name = nullptr;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, table, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

struct Call {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};

NTSTATUS NTAPI Record(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                      PVOID EntryContext) {
  auto* calls = static_cast<std::vector<Call>*>(Context);
  const auto* bytes = static_cast<const uint8_t*>(ValueData);
  calls->push_back({ValueName ? std::u16string(ValueName) : u"(null)", ValueType,
                    std::vector<uint8_t>(bytes, bytes + ValueLength)});
  return EntryContext ? *static_cast<NTSTATUS*>(EntryContext) : STATUS_SUCCESS;
}

TEST_F(RtlQuery, QueryRoutineGetsEveryValueAndEachStringOfAMultiString) {
  sim::registry::SetDword(kParams, u"Rate", 4);
  sim::registry::SetMultiSz(kParams, u"Names", {u"A", u"BC"});
  sim::registry::SetDword(std::u16string(kParams) + u"\\Port1", u"Fifo", 16);
  std::vector<Call> calls;
  RTL_QUERY_REGISTRY_TABLE table[5] = {};
  table[0] = {Record, 0, nullptr, nullptr, REG_NONE, nullptr, 0};                           // every value
  table[1] = {Record, RTL_QUERY_REGISTRY_SUBKEY, u"Port1", nullptr, REG_NONE, nullptr, 0};  // every value below
  table[2] = {Record, RTL_QUERY_REGISTRY_NOVALUE | RTL_QUERY_REGISTRY_TOPKEY, nullptr, nullptr, REG_NONE, nullptr, 0};
  table[3] = {Record, 0, u"rate", nullptr, REG_NONE, nullptr, 0};  // back at the top key
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, table, &calls, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0].name, u"Rate");
  EXPECT_EQ(calls[0].data, Bytes({4, 0, 0, 0}));
  EXPECT_EQ(calls[1].name, u"Names");
  EXPECT_EQ(calls[1].type, ULONG(REG_SZ));
  EXPECT_EQ(calls[1].data, StringBytes(std::u16string(u"A\0", 2)));
  EXPECT_EQ(calls[2].data, StringBytes(std::u16string(u"BC\0", 3)));
  EXPECT_EQ(calls[3].name, u"Fifo");
  EXPECT_EQ(calls[4].name, u"(null)");  // a call with no value at all
  EXPECT_EQ(calls[4].type, ULONG(REG_NONE));
  EXPECT_TRUE(calls[4].data.empty());
  EXPECT_EQ(calls[5].name, u"rate");  // the entry's name, as the caller wrote it
  EXPECT_EQ(calls[5].data, Bytes({4, 0, 0, 0}));

  // A routine's failure ends the query with its status; DELETE removes what was queried.
  calls.clear();
  NTSTATUS refuse = STATUS_INVALID_PARAMETER;
  RTL_QUERY_REGISTRY_TABLE stop[3] = {};
  stop[0] = {Record, RTL_QUERY_REGISTRY_DELETE, u"Rate", nullptr, REG_NONE, nullptr, 0};
  stop[1] = {Record, 0, u"Names", &refuse, REG_NONE, nullptr, 0};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, stop, &calls, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(calls.size(), 2u);  // the first string of Names refused
  EXPECT_FALSE(sim::registry::GetValue(kParams, u"Rate"));
  EXPECT_TRUE(sim::registry::GetValue(kParams, u"Names"));

  RTL_QUERY_REGISTRY_TABLE missing[2] = {};
  missing[0] = {Record, RTL_QUERY_REGISTRY_SUBKEY, u"Port2", nullptr, REG_NONE, nullptr, 0};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, missing, &calls, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RtlQuery, WriteCreatesTheLastKeyAndEachRelativeToHasItsBase) {
  ULONG value = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Zel0", REG_SZ,
                                  const_cast<char16_t*>(u"COM3"), 10),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetSz(u"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", u"\\Device\\Zel0"), u"COM3");
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"zel\\Parameters", u"X", REG_DWORD, &value, 4),
            STATUS_OBJECT_NAME_NOT_FOUND);  // only the last component is made
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, u"Zel", u"X", REG_DWORD, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(std::u16string(sim::registry::kControl) + u"\\Zel", u"X"), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_WINDOWS_NT, nullptr, u"Y", REG_DWORD, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(u"\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", u"Y"), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_USER, u"Zel", u"Z", REG_DWORD, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(u"\\REGISTRY\\User\\.DEFAULT\\Zel", u"Z"), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\Machine\\HARDWARE\\Zel", u"A", REG_DWORD, &value, 4),
            STATUS_SUCCESS);

  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, const_cast<PWSTR>(u"ZEL")), STATUS_SUCCESS);
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, const_cast<PWSTR>(u"None")), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_CONTROL, u"Zel", u"x"), STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_CONTROL, u"Zel", u"X"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_CONTROL, u"None", u"X"), STATUS_OBJECT_NAME_NOT_FOUND);

  // Relative to a handle the caller opened: the key itself, left open.
  HANDLE key = nullptr;
  ASSERT_EQ(OpenKey(u"\\REGISTRY\\Machine\\HARDWARE\\Zel", &key), STATUS_SUCCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), u"B", REG_DWORD, &value, 4),
            STATUS_SUCCESS);
  ULONG read = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"B", &read, REG_NONE, nullptr, 0};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// The service key a loaded driver is given exists, and its settings are found relative to it.
TEST_F(RtlQuery, ServiceKeyOfALoadedDriverExists) {
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(sim::io::LoadDriver(u"zel", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_SUCCESS; },
                                u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zel", &driver),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"zel")), STATUS_SUCCESS);
  ULONG value = 2;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kService, u"Ports", REG_DWORD, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(kParams, u"Ports"), 2u);
}

}  // namespace
