#include "machine_bridge.h"

#include "simkernel/io.h"
#include "simkernel/machine.h"

namespace zelwin32::machine {

static_assert(kStatusTimeout == STATUS_TIMEOUT && kStatusPending == STATUS_PENDING);
static_assert(kMillisecond == sim::kMillisecond);

namespace {
struct ProcessState {
  std::shared_ptr<void> process;
};
}  // namespace

bool Running() { return sim::Machine::Exists(); }

std::shared_ptr<void>& ProcessSlot() { return sim::Machine::Current().State<ProcessState>().process; }

TaskId CurrentTask() { return sim::Machine::Exists() ? sim::Machine::Current().CurrentTask() : nullptr; }

int32_t Block(const char* waitingFor, std::optional<int64_t> deadline) {
  return sim::Machine::Current().Block(waitingFor, deadline, STATUS_TIMEOUT);
}

void Wake(TaskId task, int32_t status) { sim::Machine::Current().Wake(static_cast<sim::Task*>(task), status); }

void Yield() { sim::Machine::Current().Point("Sleep(0)"); }

int64_t Now() { return sim::Machine::Current().Now(); }

int64_t DeadlineAfter(int64_t span) {
  sim::Machine& m = sim::Machine::Current();
  return m.TickAfter(m.Now(), span);
}

int64_t TickFloor(int64_t time) { return sim::Machine::Current().TickFloor(time); }

TaskId Spawn(std::string name, std::function<void()> body, bool daemon) {
  return sim::Machine::Current().Spawn(std::move(name), sim::TaskKind::Application, std::move(body), daemon);
}

int32_t Open(std::u16string_view kernelName, File* file) {
  PFILE_OBJECT object = nullptr;
  const NTSTATUS status = sim::io::Open(kernelName, &object);
  *file = object;
  return status;
}

int32_t Close(File file) { return sim::io::Close(static_cast<PFILE_OBJECT>(file)); }

struct Pending::State {
  sim::io::Request request;
};

bool Pending::Complete() const { return state_ && state_->request.IsComplete(); }
bool Pending::Cancel() { return state_ && state_->request.Cancel(); }
int32_t Pending::DispatchStatus() const { return state_ ? state_->request.DispatchStatus() : STATUS_PENDING; }

Outcome Pending::Wait() {
  if (!state_) return {};
  sim::io::Result result = state_->request.Wait();
  return Outcome{result.status, result.information, std::move(result.output)};
}

static Pending Wrap(sim::io::Request request) {
  return Pending(std::make_shared<Pending::State>(Pending::State{std::move(request)}));
}

Pending ReadAsync(File file, uint32_t length, int64_t offset) {
  return Wrap(sim::io::ReadAsync(static_cast<PFILE_OBJECT>(file), length, offset));
}

Pending WriteAsync(File file, std::span<const uint8_t> data, int64_t offset) {
  return Wrap(sim::io::WriteAsync(static_cast<PFILE_OBJECT>(file), data, offset));
}

Pending DeviceControlAsync(File file, uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) {
  return Wrap(sim::io::DeviceControlAsync(static_cast<PFILE_OBJECT>(file), code, input, outputLength));
}

Pending FlushAsync(File file) {
  sim::io::RawIrp irp;
  irp.major = IRP_MJ_FLUSH_BUFFERS;
  return Wrap(sim::io::SendAsync(static_cast<PFILE_OBJECT>(file), std::move(irp)));
}

}  // namespace zelwin32::machine

namespace zelwin32::machine {
bool DeviceExists(std::u16string_view kernelName) { return sim::io::FindDevice(kernelName) != nullptr; }
}  // namespace zelwin32::machine
