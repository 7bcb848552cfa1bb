#include "stream_check.h"

#include <algorithm>
#include <optional>

namespace bench {
namespace {

// Long enough that a pseudo-random stream repeats none of its windows by chance, short enough
// to fit between two gaps of a stream that lost bytes often.
constexpr size_t kWindow = 8;
constexpr size_t kSearchBehind = 64 * 1024;
constexpr size_t kSearchAhead = 1024 * 1024;
// A stream garbled throughout is not searched at every byte.
constexpr int kSearchBudget = 4096;

// Where in `sent` the window of received bytes at `at` occurs, nearest to `expected` first.
std::optional<size_t> Resynchronise(std::span<const uint8_t> sent, std::span<const uint8_t> window,
                                    size_t expected) {
  const size_t first = expected > kSearchBehind ? expected - kSearchBehind : 0;
  const size_t last = std::min(sent.size(), expected + kSearchAhead);
  std::optional<size_t> best;
  size_t bestDistance = 0;
  for (size_t k = first; k + window.size() <= last; ++k) {
    if (!std::equal(window.begin(), window.end(), sent.begin() + static_cast<long>(k))) continue;
    const size_t distance = k > expected ? k - expected : expected - k;
    if (!best || distance < bestDistance) {
      best = k;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace

StreamComparison CompareStreams(std::span<const uint8_t> sent, std::span<const uint8_t> received) {
  StreamComparison result;
  result.sent = sent.size();
  result.received = received.size();
  size_t i = 0;  // next expected sent byte
  size_t j = 0;  // next received byte
  // The furthest the received stream has reached: bytes before it seen again are duplicates.
  size_t reached = 0;
  int searches = kSearchBudget;
  while (j < received.size()) {
    if (i < sent.size() && sent[i] == received[j]) {
      if (i < reached) {
        ++result.duplicated;
      } else {
        ++result.matched;
      }
      ++i;
      ++j;
      reached = std::max(reached, i);
      continue;
    }
    std::optional<size_t> found;
    if (j + kWindow <= received.size() && searches-- > 0) found = Resynchronise(sent, received.subspan(j, kWindow), i);
    if (found && *found != i) {
      i = *found;
      continue;
    }
    ++result.corrupted;
    ++j;
    if (i < sent.size()) reached = std::max(reached, ++i);
  }
  // Sent bytes never matched in order: the ones skipped over and the tail that never came.
  result.lost = result.sent - std::min<uint64_t>(result.sent, result.matched);
  return result;
}

}  // namespace bench
