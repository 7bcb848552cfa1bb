// The serial wire on its own: a sender's characters sampled by receivers of their own.
#include <gtest/gtest.h>

#include "adapter_model/wire.h"
#include "machine_fixture.h"

namespace adapter_model {
namespace {

class Wire : public MachineTest {
 protected:
  std::vector<ReceivedFrame> frames;
  LineFormat format;
  SerialLine line;
  Receiver receiver{[this] { return format; }, [this](const ReceivedFrame& f) { frames.push_back(f); }};

  void SetUp() override {
    MachineTest::SetUp();
    receiver.Listen(&line);
  }
  void TearDown() override {
    receiver.Listen(nullptr);
    MachineTest::TearDown();
  }
};

TEST_F(Wire, AGlitchShorterThanHalfABitIsNoCharacter) {
  const VirtualTime t0 = machine().Now() + 100;
  line.Drive(t0, false);
  line.Drive(t0 + format.HalfBitOffset(1) - 10, true);
  const VirtualTime next = t0 + 5 * format.FrameTime();
  line.DriveFrame(next, format, 'k');
  machine().RunFor(10 * format.FrameTime());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].value, 'k');
  EXPECT_EQ(frames[0].start, next);
}

TEST_F(Wire, ABreakIsOneCharacterHoweverLongItLasts) {
  const VirtualTime t0 = machine().Now();
  line.Drive(t0, false);
  line.Drive(t0 + 20 * format.FrameTime(), true);
  line.DriveFrame(t0 + 21 * format.FrameTime(), format, 'e');
  machine().RunFor(30 * format.FrameTime());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].breakCondition);
  EXPECT_TRUE(frames[0].framingError);
  EXPECT_EQ(frames[0].value, 0);
  EXPECT_FALSE(frames[1].breakCondition);
  EXPECT_EQ(frames[1].value, 'e');
}

TEST_F(Wire, AZeroCharacterWithAGoodStopBitIsNoBreak) {
  line.DriveFrame(machine().Now(), format, 0x00);
  machine().RunFor(2 * format.FrameTime());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_FALSE(frames[0].breakCondition);
  EXPECT_FALSE(frames[0].framingError);
}

TEST_F(Wire, FlawsShowAsTheReceiverFindsThem) {
  format = {4800, 7, Parity::Odd, StopBits::Two};
  VirtualTime t = machine().Now();
  t = line.DriveFrame(t, format, 'a', FrameFlaw::ParityError);
  t = line.DriveFrame(t, format, 'b', FrameFlaw::FramingError);
  line.DriveFrame(t, format, 'c');
  machine().RunFor(4 * format.FrameTime());
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_TRUE(frames[0].parityError);
  EXPECT_FALSE(frames[0].framingError);
  EXPECT_EQ(frames[1].value, 'b');
  EXPECT_TRUE(frames[1].framingError);
  EXPECT_EQ(frames[2].value, 'c');
  EXPECT_FALSE(frames[2].parityError || frames[2].framingError);
}

TEST_F(Wire, ParityBitsOfEveryKind) {
  LineFormat f{9600, 7};
  f.parity = Parity::Even;
  EXPECT_EQ(f.ParityBit(0x03), false);
  EXPECT_EQ(f.ParityBit(0x07), true);
  EXPECT_EQ(f.ParityBit(0x80), false) << "bits above the data bits do not count";
  f.parity = Parity::Odd;
  EXPECT_EQ(f.ParityBit(0x03), true);
  f.parity = Parity::Mark;
  EXPECT_EQ(f.ParityBit(0x00), true);
  f.parity = Parity::Space;
  EXPECT_EQ(f.ParityBit(0x7F), false);
  f.parity = Parity::None;
  EXPECT_FALSE(f.ParityBit(0x7F).has_value());
  EXPECT_EQ((LineFormat{50, 5, Parity::None, StopBits::OneAndHalf}).FrameTime(), 1'500'000);
  EXPECT_EQ((LineFormat{9600, 7, Parity::Even, StopBits::Two}).ToString(), "9600 7E2");
}

TEST_F(Wire, ASenderCannotGoBackInTime) {
  line.Drive(machine().Now() + 1000, false);
  EXPECT_THROW(line.Drive(machine().Now() + 500, true), std::logic_error);
  EXPECT_THROW(line.DriveFrame(machine().Now() + 500, format, 'x'), std::logic_error);
  EXPECT_THROW(line.DriveFrame(machine().Now() + 2000, format, 'x'), std::logic_error) << "held at space";
  line.Drive(machine().Now() + 3000, true);
  EXPECT_THROW(line.DriveFrame(machine().Now() + 3000, format, 'x'), std::logic_error) << "no mark before it";
  const VirtualTime start = machine().Now() + 3000 + format.BitTime();
  EXPECT_EQ(line.DriveFrame(start, format, 'x'), start + format.FrameTime());
  EXPECT_TRUE(line.LevelAt(start - 1));
  EXPECT_FALSE(line.LevelAt(start));
}

TEST_F(Wire, AReceiverPluggedIntoALineAtSpaceWaitsForMark) {
  line.Drive(machine().Now(), false);
  machine().RunFor(100);
  SerialLine other;
  other.Drive(machine().Now(), false);
  receiver.Listen(&other);
  const VirtualTime mark = machine().Now() + format.FrameTime() / 2;
  other.Drive(mark, true);
  other.DriveFrame(mark + format.BitTime(), format, 'w');
  machine().RunFor(3 * format.FrameTime());
  ASSERT_EQ(frames.size(), 1u) << "the space it found was no start bit";
  EXPECT_EQ(frames[0].value, 'w');
}

}  // namespace
}  // namespace adapter_model
