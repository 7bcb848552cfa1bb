// Counted strings and _snprintf with their Windows edge cases.
#include <cstring>

#include "machine_fixture.h"
#include "simkernel/pool.h"

namespace {

using Rules = std::vector<std::string>;

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

class RtlString : public MachineTest {};

TEST_F(RtlString, InitCountsBytesWithoutTheTerminator) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"COM5");
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(s.MaximumLength, 10);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abc");
  EXPECT_EQ(a.Length, 3);
  EXPECT_EQ(a.MaximumLength, 4);
}

TEST_F(RtlString, CopyTruncatesToTheDestinationAndTerminatesWhenThereIsRoom) {
  WCHAR buffer[6];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  UNICODE_STRING destination{0, sizeof buffer, buffer};
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"ab");
  RtlCopyUnicodeString(&destination, &source);
  EXPECT_EQ(Text(destination), u"ab");
  EXPECT_EQ(buffer[2], 0);
  RtlInitUnicodeString(&source, u"abcdefgh");
  RtlCopyUnicodeString(&destination, &source);
  EXPECT_EQ(Text(destination), u"abcdef");  // no room left for a terminator
  RtlCopyUnicodeString(&destination, nullptr);
  EXPECT_EQ(destination.Length, 0);
}

TEST_F(RtlString, AppendsNeverAppendPartOfTheSource) {
  WCHAR buffer[8];
  UNICODE_STRING s{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"\\Dev"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"ice\\X"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(s), u"\\Dev");
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, u"ice");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"\\Device");
  EXPECT_EQ(buffer[7], 0);
  RtlInitUnicodeString(&tail, u"!");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);  // exactly full
  EXPECT_EQ(Text(s), u"\\Device!");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.Length, 16);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, nullptr), STATUS_SUCCESS);
}

TEST_F(RtlString, AnsiToUnicodeAllocatesFromPoolWithTheSystemTag) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "ZelBr\xE9");
  UNICODE_STRING u{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(u), u"ZelBr\u00E9");
  EXPECT_EQ(u.MaximumLength, u.Length + 2);
  EXPECT_EQ(u.Buffer[6], 0);
  EXPECT_EQ(sim::pool::OutstandingCount(sim::pool::SystemStringTag()), 1u);
  RtlFreeUnicodeString(&u);
  EXPECT_EQ(u.Buffer, nullptr);
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);

  sim::pool::FailNextAllocations(1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_NO_MEMORY);
}

TEST_F(RtlString, AnsiToUnicodeIntoACallersBufferNeedsRoomForTheTerminator) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abcd");
  WCHAR buffer[5];
  UNICODE_STRING u{0, 8, buffer};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(u.Length, 0);  // left as it was
  u.MaximumLength = 10;
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Text(u), u"abcd");
}

TEST_F(RtlString, IntegerToUnicodeInEachBase) {
  WCHAR buffer[40];
  UNICODE_STRING s{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"FF");
  EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"101");
  EXPECT_EQ(RtlIntegerToUnicodeString(8, 8, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"10");
  EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"4294967295");
  EXPECT_EQ(RtlIntegerToUnicodeString(0, 10, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"0");
  EXPECT_EQ(RtlIntegerToUnicodeString(1, 3, &s), STATUS_INVALID_PARAMETER);
  UNICODE_STRING tight{0, 4, buffer};  // two digits need 4 bytes and a terminator
  EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &tight), STATUS_BUFFER_OVERFLOW);
  tight.MaximumLength = 6;
  EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &tight), STATUS_SUCCESS);
  EXPECT_EQ(Text(tight), u"12");
}

TEST_F(RtlString, CompareOrdersByCharacterThenLength) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, u"com5");
  RtlInitUnicodeString(&b, u"COM5");
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  RtlInitUnicodeString(&b, u"COM");
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&b, &a, TRUE), 0);
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, TRUE));
  RtlInitUnicodeString(&a, u"\u00E9");
  RtlInitUnicodeString(&b, u"\u00C9");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
}

TEST_F(RtlString, MalformedStringsAreReportedAndNotOverread) {
  WCHAR text[] = u"abc";
  UNICODE_STRING bad{6, 4, text};
  UNICODE_STRING good;
  RtlInitUnicodeString(&good, u"ab");
  EXPECT_TRUE(RtlEqualUnicodeString(&bad, &good, FALSE));  // only MaximumLength bytes are used
  EXPECT_FALSE(TakeViolations().empty());
  UNICODE_STRING odd{3, 6, text};
  RtlInitUnicodeString(&good, u"a");
  EXPECT_EQ(RtlCompareUnicodeString(&odd, &good, FALSE), 0);
  auto rules = TakeViolations();
  ASSERT_FALSE(rules.empty());
  EXPECT_EQ(rules[0], "malformed unicode string");
}

TEST_F(RtlString, SnprintfTruncatesTheWindowsWay) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(_snprintf(buffer, sizeof buffer, "%d", 1234), 4);
  EXPECT_STREQ(buffer, "1234");
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(_snprintf(buffer, 4, "%d", 1234), 4);  // exactly fits: no terminator
  EXPECT_EQ(std::string(buffer, 5), "1234#");
  EXPECT_EQ(_snprintf(buffer, 3, "%s", "abcdef"), -1);
  EXPECT_EQ(std::string(buffer, 4), "abc4");
}

TEST_F(RtlString, SnprintfFormats) {
  char buffer[128];
  _snprintf(buffer, sizeof buffer, "\\Device\\ZelBrUsb%d", 31);
  EXPECT_STREQ(buffer, "\\Device\\ZelBrUsb31");
  _snprintf(buffer, sizeof buffer, "%ws-%S|%-4s|%5s|%.2s", u"SN01", u"x", "ab", "cd", "xyz");
  EXPECT_STREQ(buffer, "SN01-x|ab  |   cd|xy");
  _snprintf(buffer, sizeof buffer, "%08lX %x %I64u %lld %hd %c %%", 0xBEEFu, 255u, 1ull << 40, -5ll, 70000, 'q');
  EXPECT_STREQ(buffer, "0000BEEF ff 1099511627776 -5 4464 q %");
  _snprintf(buffer, sizeof buffer, "%02d%s", 7, static_cast<const char*>(nullptr));
  EXPECT_STREQ(buffer, "07(null)");
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, u"COM3");
  _snprintf(buffer, sizeof buffer, "[%wZ]", &u);
  EXPECT_STREQ(buffer, "[COM3]");
}

}  // namespace
