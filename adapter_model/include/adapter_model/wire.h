// The serial wire itself: a line's level over virtual time, characters put on it bit by bit
// at the sender's rate and format, and a receiver that samples it at its own rate and
// format, as a UART does. A receiver set to another rate or format than the sender sees the
// same garbage and framing errors a real one would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapter_model/clock.h"

namespace adapter_model {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OneAndHalf, Two };

struct LineFormat {
  uint32_t baud = 9600;
  uint8_t dataBits = 8;  // 5 to 8
  Parity parity = Parity::None;
  StopBits stopBits = StopBits::One;

  bool HasParityBit() const { return parity != Parity::None; }
  // One character (start, data, parity, stop) in half bit times.
  int HalfBits() const;
  // Offset of a half-bit boundary from the start edge, rounded to the clock's 100 ns.
  VirtualTime HalfBitOffset(int halfBits) const;
  VirtualTime BitTime() const { return HalfBitOffset(2); }
  VirtualTime FrameTime() const { return HalfBitOffset(HalfBits()); }
  // The parity bit this format sends with `value`, or nullopt without parity.
  std::optional<bool> ParityBit(uint8_t value) const;
  std::string ToString() const;  // "9600 8N1"

  bool operator==(const LineFormat&) const = default;
};

// Deliberate faults a sender can put into one character.
enum class FrameFlaw { None, ParityError, FramingError };

// Something that samples a line: told when the line's future was extended, and asked how
// far back it may still look.
class LineListener {
 public:
  virtual ~LineListener() = default;
  virtual void LineChanged() = 0;
  virtual VirtualTime NeededFrom() const = 0;
  virtual void LineGone() = 0;  // the line is being destroyed
};

// One direction of a serial wire. Mark (true) is idle. The sender writes whole characters
// ahead of time; listeners read levels at any time they still need.
class SerialLine {
 public:
  SerialLine() = default;
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  bool LevelAt(VirtualTime t) const;
  // The level from `t` on. Changes are written in time order; writing before the last
  // change is a sender bug and throws.
  void Drive(VirtualTime t, bool level);
  // Puts one character on the line from `start`; the line must be at mark since before then
  // (std::logic_error otherwise). Returns
  // the end of its last stop bit, after which the next character may start. A framing
  // error is a space first stop bit followed by one bit of mark, so that the next start
  // bit is a real edge.
  VirtualTime DriveFrame(VirtualTime start, const LineFormat& format, uint8_t value,
                         FrameFlaw flaw = FrameFlaw::None);
  // First change to `level` at or after `from`.
  std::optional<VirtualTime> NextChange(VirtualTime from, bool level) const;

  void AddListener(LineListener* listener);
  void RemoveListener(LineListener* listener);

 private:
  void Notify();
  void Prune();

  bool base_ = true;  // level before the first change kept
  std::deque<std::pair<VirtualTime, bool>> changes_;
  std::vector<LineListener*> listeners_;
};

struct ReceivedFrame {
  uint8_t value = 0;
  bool parityError = false;
  bool framingError = false;
  bool breakCondition = false;  // the line stayed at space for the whole character
  VirtualTime start = 0;        // the start edge
  VirtualTime end = 0;          // end of the stop bits, in the receiver's format
};

// Hunts for a start edge, samples every bit in its middle, checks parity and the first
// stop bit. After a framing error or break it waits for the line to return to mark.
class Receiver : public LineListener {
 public:
  using FormatSource = std::function<LineFormat()>;
  using Sink = std::function<void(const ReceivedFrame&)>;

  Receiver(FormatSource format, Sink sink) : format_(std::move(format)), sink_(std::move(sink)) {}
  ~Receiver() override;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // The line this receiver's input is wired to; null leaves the input idle.
  void Listen(SerialLine* line);
  // Abandons a character being sampled and hunts again from now.
  void Restart();
  bool Busy() const { return state_ == State::Sampling; }

  void LineChanged() override;
  VirtualTime NeededFrom() const override;
  void LineGone() override { Listen(nullptr); }

 private:
  enum class State { Hunting, Sampling, WaitingForMark };
  void Evaluate();

  FormatSource format_;
  Sink sink_;
  SerialLine* line_ = nullptr;
  State state_ = State::Hunting;
  VirtualTime from_ = 0;   // hunting or waiting from here
  VirtualTime start_ = 0;  // start edge of the character being sampled
  LineFormat frameFormat_;
  Alarm alarm_;
};

}  // namespace adapter_model
