// _snwprintf as the Windows run-time library does it: %s and %c wide, %S narrow, counts in
// characters, -1 and no terminator when the count runs out.
#include <string>

#include "machine_fixture.h"

namespace {

std::u16string Text(const WCHAR* buffer, size_t count) { return std::u16string(buffer, count); }

TEST(WideFormat, NumbersWidthsAndZeroPadding) {
  WCHAR buffer[64];
  EXPECT_EQ(_snwprintf(buffer, 64, u"%d|%u|%x|%X|%i", -42, 4000000000u, 0xbeefu, 0xbeefu, 7), 26);
  EXPECT_EQ(std::u16string(buffer), u"-42|4000000000|beef|BEEF|7");
  EXPECT_EQ(_snwprintf(buffer, 64, u"[%5d][%-5d][%05u][%08X][%2x]", 42, 42, 42u, 0xABCu, 0x1234u), 37);
  EXPECT_EQ(std::u16string(buffer), u"[   42][42   ][00042][00000ABC][1234]");
  EXPECT_EQ(_snwprintf(buffer, 64, u"%lu %ld %I64u", 4294967295u, -1, 18446744073709551615ull), 34);
  EXPECT_EQ(std::u16string(buffer), u"4294967295 -1 18446744073709551615");
}

TEST(WideFormat, StringsAndCharactersTakeWideOrNarrowArgumentsAsWindowsReadsThem) {
  WCHAR buffer[64];
  const WCHAR* wide = u"COM\u00e95";
  EXPECT_EQ(_snwprintf(buffer, 64, u"%s|%ws|%S|%hs|%c|%C|%%", wide, u"ws", "narrow", "hs", u'\u0416', 'n'), 24);
  EXPECT_EQ(std::u16string(buffer), u"COM\u00e95|ws|narrow|hs|\u0416|n|%");
  EXPECT_EQ(_snwprintf(buffer, 64, u"\\DosDevices\\COM%u", 12u), 17);
  EXPECT_EQ(std::u16string(buffer), u"\\DosDevices\\COM12");
  EXPECT_EQ(_snwprintf(buffer, 64, u"[%6s][%-4S][%s]", u"ab", "cd", static_cast<const WCHAR*>(nullptr)), 22);
  EXPECT_EQ(std::u16string(buffer), u"[    ab][cd  ][(null)]");
}

TEST(WideFormat, ACountThatRunsOutGivesMinusOneAndNoTerminator) {
  WCHAR buffer[8];
  for (auto& c : buffer) c = u'#';
  EXPECT_EQ(_snwprintf(buffer, 4, u"%d", 123456), -1);
  EXPECT_EQ(Text(buffer, 5), u"1234#");
  for (auto& c : buffer) c = u'#';
  EXPECT_EQ(_snwprintf(buffer, 4, u"%s", u"abcd"), 4) << "exactly the count: no terminator either";
  EXPECT_EQ(Text(buffer, 5), u"abcd#");
  for (auto& c : buffer) c = u'#';
  EXPECT_EQ(_snwprintf(buffer, 4, u"abc"), 3);
  EXPECT_EQ(Text(buffer, 5), std::u16string(u"abc\0#", 5));
  EXPECT_EQ(_snwprintf(buffer, 0, u"x"), -1);
  EXPECT_EQ(buffer[0], u'a') << "a count of zero writes nothing";
}

TEST(WideFormat, NarrowSnprintfStillNarrowsWideArguments) {
  char buffer[32];
  EXPECT_EQ(_snprintf(buffer, sizeof buffer, "%ws|%S|%s|%C", u"w\u0416", u"S", "s", u'\u00e9'), 8);
  EXPECT_EQ(std::string(buffer), "w?|S|s|\xe9");
}

TEST_F(MachineTest, InterlockedOrAndAndReturnTheOldValue) {
  LONG flags = 0x0F;
  LONG seenOr = 0, seenAnd = 0;
  RunTask([&] {
    seenOr = InterlockedOr(&flags, 0x30);
    seenAnd = InterlockedAnd(&flags, ~0x01);
  });
  EXPECT_EQ(seenOr, 0x0F);
  EXPECT_EQ(seenAnd, 0x3F);
  EXPECT_EQ(flags, 0x3E);
}

TEST_F(MachineTest, ConcurrentInterlockedOrsLoseNoBit) {
  LONG flags = 0;
  for (int bit = 0; bit < 8; ++bit)
    machine().Spawn("setter" + std::to_string(bit), sim::TaskKind::Application, [&flags, bit] {
      InterlockedOr(&flags, 1 << bit);
      InterlockedAnd(&flags, ~(1 << (bit + 8)));
    });
  machine().RunUntilIdle();
  EXPECT_EQ(flags, 0xFF);
}

TEST(Limits, MaximaAreTheDdkValues) {
  EXPECT_EQ(MAXUCHAR, 0xff);
  EXPECT_EQ(MAXUSHORT, 0xffff);
  EXPECT_EQ(ULONG{MAXULONG}, 0xffffffffu);
  EXPECT_EQ(LONG{MAXLONG}, 0x7fffffff);
  EXPECT_EQ(static_cast<USHORT>(MAXUSHORT + 1), 0);
}

}  // namespace
