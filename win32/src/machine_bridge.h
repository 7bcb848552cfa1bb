// What the Win32 layer needs of the simulated machine, in plain C++ types: kernel32's side
// (which includes the SDK-style windows.h) and the kernel's side (wdm.h) cannot share a
// translation unit, since both define the same names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelwin32::machine {

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusTimeout = 0x102;
constexpr int32_t kStatusPending = 0x103;
constexpr int64_t kMillisecond = 10'000;

// ---- The process ----
bool Running();  // whether a machine exists
// The Win32 process's state, kept by the machine so it ends with it. Empty until first set.
std::shared_ptr<void>& ProcessSlot();

// ---- Scheduling on the virtual clock ----
using TaskId = void*;
TaskId CurrentTask();  // null outside the machine's tasks
// Blocks the current task until Wake or the absolute deadline (then kStatusTimeout).
int32_t Block(const char* waitingFor, std::optional<int64_t> deadline);
void Wake(TaskId task, int32_t status);
void Yield();
int64_t Now();
// When a relative wait of `span` started now ends on the clock tick.
int64_t DeadlineAfter(int64_t span);
int64_t TickFloor(int64_t time);
// An application task (thread); a daemon may stay blocked at the end without that being a
// deadlock.
TaskId Spawn(std::string name, std::function<void()> body, bool daemon);

// ---- Files through the I/O manager ----
using File = void*;
int32_t Open(std::u16string_view kernelName, File* file);
int32_t Close(File file);

struct Outcome {
  int32_t status = kStatusPending;
  uint64_t information = 0;
  std::vector<uint8_t> output;
};

// A request in flight.
class Pending {
 public:
  struct State;
  Pending() = default;
  explicit Pending(std::shared_ptr<State> state) : state_(std::move(state)) {}
  bool Complete() const;
  bool Cancel();
  Outcome Wait();  // blocks the calling task until it completes
  int32_t DispatchStatus() const;

 private:
  std::shared_ptr<State> state_;
};

Pending ReadAsync(File file, uint32_t length, int64_t offset);
Pending WriteAsync(File file, std::span<const uint8_t> data, int64_t offset);
Pending DeviceControlAsync(File file, uint32_t code, std::span<const uint8_t> input, uint32_t outputLength);
Pending FlushAsync(File file);

}  // namespace zelwin32::machine

namespace zelwin32::machine {
// Whether a kernel name (a link such as "\DosDevices\COM3") leads to a device.
bool DeviceExists(std::u16string_view kernelName);
}  // namespace zelwin32::machine
