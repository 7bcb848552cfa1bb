// Cancels and timeouts racing the data that would complete the same request, each scenario
// replayed over many seeds. The seed picks both the scheduler's interleavings and the exact
// moment of the cancel or timeout around the completion, so every outcome of each race
// occurs; each one is asserted, and every run is checked by the verifier and the leak check.
#include "race_rig.h"

namespace {

using namespace serial_test;

// A read waiting for 8 characters at 9600 (about 8.3 ms of line time) is cancelled around
// the moment the last one arrives: it ends complete with all 8, or cancelled with none; the
// stream after it is never out of order.
TEST(DataPathRaces, ReadCancelledAsItsLastByteArrives) {
  Outcomes outcomes;
  ReplayRace(1, [&](RaceRig& rig) {
    auto& h = rig.h;
    const uint64_t seed = rig.seed;
    Bytes data = Pattern(8, static_cast<uint32_t>(seed));
    sim::io::Request read = sim::io::ReadAsync(rig.file, 8);
    rig.peer->Send(data);
    h.Advance(7 * kMillisecond + rig.Jitter(3 * kMillisecond));
    read.Cancel();
    ASSERT_TRUE(h.RunUntil([&] { return read.IsComplete(); }));
    outcomes.Add(read.Status());
    if (read.Status() == STATUS_SUCCESS) {
      EXPECT_EQ(read.Output(), data);
    } else {
      EXPECT_EQ(read.Status(), STATUS_CANCELLED);
      EXPECT_EQ(read.Information(), 0u);
    }
    // What the port receives next is whole and in order.
    Bytes next = Pattern(5, 1000 + static_cast<uint32_t>(seed));
    sim::io::Request after = sim::io::ReadAsync(rig.file, 5);
    h.Advance(5 * kMillisecond);
    rig.peer->Send(next);
    Bytes got = after.Wait().output;
    // After a cancel, what reached the ring once the read had left it comes first: the tail
    // of the first characters, then the next ones.
    bool inOrder = false;
    for (size_t lost = read.Status() == STATUS_SUCCESS ? data.size() : 0; lost <= data.size() && !inOrder; ++lost) {
      Bytes expected(data.begin() + static_cast<long>(lost), data.end());
      expected.insert(expected.end(), next.begin(), next.end());
      expected.resize(next.size());
      inOrder = got == expected;
    }
    EXPECT_TRUE(inOrder) << ::testing::PrintToString(got);
  });
  EXPECT_GT(outcomes.Of(STATUS_SUCCESS), 0);
  EXPECT_GT(outcomes.Of(STATUS_CANCELLED), 0);
}

// A 10-byte write is cancelled around the moment its one transfer is acknowledged: complete
// with 10 or cancelled with 0; the far end sees the bytes at most once, in order.
TEST(DataPathRaces, WriteCancelledAsItsTransferCompletes) {
  Outcomes outcomes;
  ReplayRace(2, [&](RaceRig& rig) {
    auto& h = rig.h;
    auto& fixture = rig.fixture;
    const uint64_t seed = rig.seed;
    Bytes data = Pattern(10, static_cast<uint32_t>(seed));
    sim::io::Request write = sim::io::WriteAsync(rig.file, data);
    h.Advance(rig.Jitter(3 * kMillisecond));
    write.Cancel();
    ASSERT_TRUE(h.RunUntil([&] { return write.IsComplete(); }));
    outcomes.Add(write.Status());
    if (write.Status() == STATUS_SUCCESS) {
      EXPECT_EQ(write.Information(), 10u);
    } else {
      EXPECT_EQ(write.Status(), STATUS_CANCELLED);
      EXPECT_EQ(write.Information(), 0u);
    }
    // A second write goes out after whatever of the first did.
    Bytes second = Pattern(6, 2000 + static_cast<uint32_t>(seed));
    EXPECT_EQ(sim::io::Write(rig.file, second).information, 6u);
    h.Advance(40 * kMillisecond);
    Bytes wire = rig.peer->ReceivedBytes();
    ASSERT_GE(wire.size(), second.size());
    const size_t prefix = wire.size() - second.size();
    ASSERT_LE(prefix, data.size());
    if (write.Status() == STATUS_SUCCESS) {
      EXPECT_EQ(prefix, data.size());
    }
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(prefix)),
              Bytes(data.begin(), data.begin() + static_cast<long>(prefix)));
    EXPECT_EQ(Bytes(wire.begin() + static_cast<long>(prefix), wire.end()), second);
    EXPECT_EQ(fixture.MaxInFlight(fixture.adapter()->Ports[1]->DataOutPipe->PipeHandle), 1u);
  });
  EXPECT_GT(outcomes.Of(STATUS_SUCCESS), 0);
  EXPECT_GT(outcomes.Of(STATUS_CANCELLED), 0);
}

// A read with a 30 ms total timeout while 8 characters arrive, their start moved by the seed
// so that the last one lands on either side of the timer: complete with all 8, or timed out
// with a prefix; the next read returns the rest, so nothing is lost or doubled.
TEST(DataPathRaces, ReadTotalTimeoutAsItsLastByteArrives) {
  Outcomes outcomes;
  ReplayRace(3, [&](RaceRig& rig) {
    auto& h = rig.h;
    const uint64_t seed = rig.seed;
    SERIAL_TIMEOUTS timeouts{0, 0, 30, 0, 0};
    ASSERT_EQ(sim::io::DeviceControl(rig.file, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0).status,
              STATUS_SUCCESS);
    Bytes data = Pattern(8, static_cast<uint32_t>(seed));
    sim::io::Request read = sim::io::ReadAsync(rig.file, 8);
    h.Advance(rig.Jitter(35 * kMillisecond));
    rig.peer->Send(data);
    ASSERT_TRUE(h.RunUntil([&] { return read.IsComplete(); }));
    outcomes.Add(read.Status());
    Bytes got = read.Output();
    if (read.Status() == STATUS_SUCCESS) {
      EXPECT_EQ(got, data);
    } else {
      EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
      EXPECT_LT(got.size(), data.size());
    }
    h.Advance(20 * kMillisecond);
    SERIAL_TIMEOUTS now{kMaxUlong, 0, 0, 0, 0};
    ASSERT_EQ(sim::io::DeviceControl(rig.file, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(now), 0).status, STATUS_SUCCESS);
    Bytes rest = sim::io::Read(rig.file, 8).output;
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, data) << "the two reads together hold every byte once, in order";
  });
  EXPECT_GT(outcomes.Of(STATUS_SUCCESS), 0);
  EXPECT_GT(outcomes.Of(STATUS_TIMEOUT), 0);
}

// A write with a 100 ms total timeout whose length, picked by the seed, makes its last chunk
// acknowledged on either side of the timer (the adapter takes two packets at once, then one
// per 64 characters sent at 9600): complete, or timed out with whole chunks acknowledged; the
// far end gets a clean prefix, then the next write whole.
TEST(DataPathRaces, WriteTotalTimeoutAsItsLastChunkIsAcknowledged) {
  Outcomes outcomes;
  ReplayRace(4, [&](RaceRig& rig) {
    auto& h = rig.h;
    auto& fixture = rig.fixture;
    const uint64_t seed = rig.seed;
    SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 100};
    ASSERT_EQ(sim::io::DeviceControl(rig.file, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0).status,
              STATUS_SUCCESS);
    const size_t length = 192 + h.machine().RandomBelow(128);
    Bytes data = Pattern(length, static_cast<uint32_t>(seed));
    sim::io::Request write = sim::io::WriteAsync(rig.file, data);
    ASSERT_TRUE(h.RunUntil([&] { return write.IsComplete(); }));
    outcomes.Add(write.Status());
    const size_t acknowledged = write.Information();
    if (write.Status() == STATUS_SUCCESS) {
      EXPECT_EQ(acknowledged, length);
    } else {
      EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
      EXPECT_EQ(acknowledged % 64, 0u);
      EXPECT_LT(acknowledged, length);
    }
    SERIAL_TIMEOUTS none{0, 0, 0, 0, 0};
    ASSERT_EQ(sim::io::DeviceControl(rig.file, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(none), 0).status, STATUS_SUCCESS);
    Bytes second = Pattern(20, 3000 + static_cast<uint32_t>(seed));
    EXPECT_EQ(sim::io::Write(rig.file, second).information, second.size());
    h.RunUntil([&] { return fixture.model().Channel(4)->TransmitLevel() == 0; });
    h.Advance(30 * kMillisecond);
    Bytes wire = rig.peer->ReceivedBytes();
    ASSERT_GE(wire.size(), acknowledged + second.size());
    const size_t prefix = wire.size() - second.size();
    EXPECT_LE(prefix, std::min(length, acknowledged + 64));
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(prefix)),
              Bytes(data.begin(), data.begin() + static_cast<long>(prefix)));
    EXPECT_EQ(Bytes(wire.begin() + static_cast<long>(prefix), wire.end()), second);
  });
  EXPECT_GT(outcomes.Of(STATUS_SUCCESS), 0);
  EXPECT_GT(outcomes.Of(STATUS_TIMEOUT), 0);
}

// An immediate character cancelled around the moment its 1-byte transfer completes: it
// succeeds and went out once, or is cancelled and went out at most once.
TEST(DataPathRaces, ImmediateCharacterCancelledAsItGoesOut) {
  Outcomes outcomes;
  ReplayRace(1, [&](RaceRig& rig) {
    auto& h = rig.h;
    auto& fixture = rig.fixture;
    const uint64_t seed = rig.seed;
    sim::io::Request immediate = sim::io::DeviceControlAsync(rig.file, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{0x5A}, 0);
    h.Advance(rig.Jitter(3 * kMillisecond));
    immediate.Cancel();
    ASSERT_TRUE(h.RunUntil([&] { return immediate.IsComplete(); }));
    outcomes.Add(immediate.Status());
    EXPECT_TRUE(immediate.Status() == STATUS_SUCCESS || immediate.Status() == STATUS_CANCELLED);
    // The port sends on: a write after it goes out whole.
    Bytes data = Pattern(5, static_cast<uint32_t>(seed));
    EXPECT_EQ(sim::io::Write(rig.file, data).information, 5u);
    h.Advance(30 * kMillisecond);
    Bytes wire = rig.peer->ReceivedBytes();
    const bool sent = !wire.empty() && wire.front() == 0x5A;
    if (immediate.Status() == STATUS_SUCCESS) {
      EXPECT_TRUE(sent);
    }
    EXPECT_EQ(Bytes(wire.begin() + (sent ? 1 : 0), wire.end()), data);
    EXPECT_EQ(fixture.adapter()->Ports[0]->QueuedCharCount, 0u);
  });
  EXPECT_GT(outcomes.Of(STATUS_SUCCESS), 0);
  EXPECT_GT(outcomes.Of(STATUS_CANCELLED), 0);
}

}  // namespace
