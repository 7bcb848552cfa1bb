// What came back of a byte stream: every byte once and in order, or how many were lost,
// duplicated or changed on the way.
#pragma once

#include <cstdint>
#include <span>

namespace bench {

struct StreamComparison {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t matched = 0;     // received bytes that continue the sent stream in order
  uint64_t lost = 0;        // sent bytes that never came back
  uint64_t duplicated = 0;  // received bytes that repeat part of the stream already seen
  uint64_t corrupted = 0;   // received bytes that match no nearby part of the stream
  bool Exact() const { return matched == sent && received == sent; }
};

// Walks both streams together; at a mismatch it finds where the received bytes pick the sent
// stream up again (a window of them, searched behind and ahead of the mismatch), and counts
// the skipped sent bytes as lost, the replayed ones as duplicated.
StreamComparison CompareStreams(std::span<const uint8_t> sent, std::span<const uint8_t> received);

}  // namespace bench
