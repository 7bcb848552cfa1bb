#include "adapter_model/wire.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace adapter_model {

int LineFormat::HalfBits() const {
  int stopHalfBits = stopBits == StopBits::One ? 2 : stopBits == StopBits::OneAndHalf ? 3 : 4;
  return 2 * (1 + dataBits + (HasParityBit() ? 1 : 0)) + stopHalfBits;
}

VirtualTime LineFormat::HalfBitOffset(int halfBits) const {
  // Rounded to the nearest 100 ns from the start edge, so that errors never accumulate.
  return (int64_t(halfBits) * sim::kSecond + int64_t(baud)) / (2 * int64_t(baud));
}

std::optional<bool> LineFormat::ParityBit(uint8_t value) const {
  const unsigned mask = (1u << dataBits) - 1;
  const bool oddOnes = std::popcount(unsigned(value) & mask) % 2 != 0;
  switch (parity) {
    case Parity::None: return std::nullopt;
    case Parity::Odd: return !oddOnes;
    case Parity::Even: return oddOnes;
    case Parity::Mark: return true;
    case Parity::Space: return false;
  }
  return std::nullopt;
}

std::string LineFormat::ToString() const {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  static const char* kStop[] = {"1", "1.5", "2"};
  return std::to_string(baud) + " " + std::to_string(dataBits) + kParity[int(parity)] + kStop[int(stopBits)];
}

// ---- SerialLine ---------------------------------------------------------------------------

SerialLine::~SerialLine() {
  for (auto* listener : std::vector<LineListener*>(listeners_)) listener->LineGone();
}

bool SerialLine::LevelAt(VirtualTime t) const {
  auto after = std::upper_bound(changes_.begin(), changes_.end(), t,
                                [](VirtualTime time, const auto& change) { return time < change.first; });
  return after == changes_.begin() ? base_ : std::prev(after)->second;
}

void SerialLine::Drive(VirtualTime t, bool level) {
  if (!changes_.empty() && t < changes_.back().first)
    throw std::logic_error("serial line driven back in time");
  const bool current = changes_.empty() ? base_ : changes_.back().second;
  if (current == level) return;
  if (!changes_.empty() && changes_.back().first == t) {
    changes_.pop_back();  // a change and its reversal at the same instant cancel
  } else {
    changes_.emplace_back(t, level);
  }
  Prune();
  Notify();
}

VirtualTime SerialLine::DriveFrame(VirtualTime start, const LineFormat& format, uint8_t value, FrameFlaw flaw) {
  if (!changes_.empty() && start < changes_.back().first) throw std::logic_error("serial line driven back in time");
  // Without some mark before it a start bit is no edge a receiver could see.
  if (!LevelAt(start) || (!changes_.empty() && start == changes_.back().first))
    throw std::logic_error("a character must start from mark");
  // Level of each bit, start bit first.
  std::vector<bool> bits;
  bits.push_back(false);
  for (int i = 0; i < format.dataBits; ++i) bits.push_back((value >> i) & 1);
  if (auto parity = format.ParityBit(value)) bits.push_back(flaw == FrameFlaw::ParityError ? !*parity : *parity);
  const int dataHalfBits = 2 * int(bits.size());
  int endHalfBits = format.HalfBits();

  // Written straight into the history and announced once, as one character.
  auto put = [this](VirtualTime t, bool level) {
    const bool current = changes_.empty() ? base_ : changes_.back().second;
    if (current == level) return;
    if (!changes_.empty() && t < changes_.back().first) throw std::logic_error("serial line driven back in time");
    if (!changes_.empty() && changes_.back().first == t) changes_.pop_back();
    else changes_.emplace_back(t, level);
  };
  for (size_t i = 0; i < bits.size(); ++i) put(start + format.HalfBitOffset(2 * int(i)), bits[i]);
  if (flaw == FrameFlaw::FramingError) {
    put(start + format.HalfBitOffset(dataHalfBits), false);
    put(start + format.HalfBitOffset(dataHalfBits + 2), true);
    endHalfBits = std::max(endHalfBits, dataHalfBits + 2) + 2;
  } else {
    put(start + format.HalfBitOffset(dataHalfBits), true);
  }
  Prune();
  Notify();
  return start + format.HalfBitOffset(endHalfBits);
}

std::optional<VirtualTime> SerialLine::NextChange(VirtualTime from, bool level) const {
  auto it = std::lower_bound(changes_.begin(), changes_.end(), from,
                             [](const auto& change, VirtualTime time) { return change.first < time; });
  for (; it != changes_.end(); ++it)
    if (it->second == level) return it->first;
  return std::nullopt;
}

void SerialLine::AddListener(LineListener* listener) {
  if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) listeners_.push_back(listener);
}

void SerialLine::RemoveListener(LineListener* listener) {
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void SerialLine::Notify() {
  for (auto* listener : std::vector<LineListener*>(listeners_)) listener->LineChanged();
}

void SerialLine::Prune() {
  VirtualTime horizon = Now();
  for (auto* listener : listeners_) horizon = std::min(horizon, listener->NeededFrom());
  // Keep the last change at or before the horizon: it gives the level there.
  while (changes_.size() > 1 && changes_[1].first <= horizon) {
    base_ = changes_.front().second;
    changes_.pop_front();
  }
}

// ---- Receiver -----------------------------------------------------------------------------

Receiver::~Receiver() {
  if (line_) line_->RemoveListener(this);
}

void Receiver::Listen(SerialLine* line) {
  if (line_) line_->RemoveListener(this);
  line_ = line;
  alarm_.Cancel();
  from_ = Now();
  state_ = State::Hunting;
  if (!line_) return;
  line_->AddListener(this);
  if (!line_->LevelAt(from_)) state_ = State::WaitingForMark;  // plugged into a line held at space
  LineChanged();
}

void Receiver::Restart() {
  alarm_.Cancel();
  from_ = Now();
  state_ = line_ && !line_->LevelAt(from_) ? State::WaitingForMark : State::Hunting;
  if (line_) LineChanged();
}

VirtualTime Receiver::NeededFrom() const { return state_ == State::Sampling ? start_ : from_; }

void Receiver::LineChanged() {
  if (!line_) return;
  if (state_ == State::WaitingForMark) {
    auto mark = line_->NextChange(from_, true);
    if (!mark) return;
    from_ = *mark;
    state_ = State::Hunting;
  }
  if (state_ != State::Hunting) return;
  auto edge = line_->NextChange(from_, false);
  if (!edge) return;
  start_ = *edge;
  frameFormat_ = format_();
  state_ = State::Sampling;
  const int stopSample = 2 * (1 + frameFormat_.dataBits + (frameFormat_.HasParityBit() ? 1 : 0)) + 1;
  alarm_.At(start_ + frameFormat_.HalfBitOffset(stopSample), [this] { Evaluate(); });
}

void Receiver::Evaluate() {
  const LineFormat& f = frameFormat_;
  auto sample = [&](int halfBits) { return line_->LevelAt(start_ + f.HalfBitOffset(halfBits)); };

  if (sample(1)) {  // the start bit did not last: a glitch, not a character
    from_ = start_ + f.HalfBitOffset(1);
    state_ = State::Hunting;
    LineChanged();
    return;
  }
  ReceivedFrame frame;
  frame.start = start_;
  frame.end = start_ + f.FrameTime();
  bool allSpace = true;
  int half = 3;
  for (int i = 0; i < f.dataBits; ++i, half += 2) {
    bool bit = sample(half);
    frame.value |= uint8_t(bit) << i;
    allSpace = allSpace && !bit;
  }
  if (f.HasParityBit()) {
    bool bit = sample(half);
    frame.parityError = bit != *f.ParityBit(frame.value);
    allSpace = allSpace && !bit;
    half += 2;
  }
  const VirtualTime stopTime = start_ + f.HalfBitOffset(half);
  const bool stop = line_->LevelAt(stopTime);
  frame.framingError = !stop;
  // A break holds space from the start edge through the stop bit without a single mark.
  if (allSpace && !stop) {
    auto mark = line_->NextChange(start_, true);
    if (!mark || *mark > stopTime) {
      frame.breakCondition = true;
      frame.parityError = false;
    }
  }
  from_ = stopTime;
  state_ = stop ? State::Hunting : State::WaitingForMark;
  sink_(frame);
  if (line_) LineChanged();
}

}  // namespace adapter_model
