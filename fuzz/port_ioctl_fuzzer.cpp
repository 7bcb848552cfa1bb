// libFuzzer target: arbitrary device control requests, with any code, buffer lengths and
// contents, sent to one open port of a started adapter on the simulated machine, mixed with
// writes, reads, cancels, the passing of time, close and reopen, internal requests and the
// loopback plug pulled and put back (the input's format is in decoder.h). Requests are issued
// from application tasks of their own, so one still in its dispatch routine races the steps
// after it.
//
// After each input every request must have completed, every handle closed, the machine gone
// idle, the verifier silent, and the pool and the IRPs back where they were before the input;
// whatever breaks that is a crash (abort). A machine with the driver loaded and the adapter
// started is kept for kInputsPerSession inputs (building one costs far more than an input),
// then the adapter is removed and the driver unloaded with the I/O manager's leak check, and
// the next input gets a fresh machine; the same happens at exit.
//
// Inputs given as files (a crash artifact, a corpus replayed) run each on a fresh machine, so
// that the input alone decides what happens. A crash on a kept machine also writes the inputs
// that machine ran before, to replay the whole series with ZEL_FUZZ_KEEP_MACHINE=1.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "adapter_fixture.h"
#include "adapter_model/cable.h"
#include "decoder.h"
#include "driver_harness.h"
#include "simkernel/io.h"
#include "simkernel/ntddser.h"
#include "simkernel/pool.h"
#include "wide_text.h"

namespace {

using sim::kMillisecond;
using sim::kSecond;
using Bytes = std::vector<uint8_t>;

constexpr int kPort = 1;
constexpr int kInputsPerSession = 250;
// A step that waits for its request gives it this long (a settings request takes a few
// milliseconds; a read that waits for data never ends by itself, and every virtual
// millisecond with the port open costs bus frames); a pending one gets what runs at once.
constexpr sim::VirtualTime kStepWait = 250 * kMillisecond;
// After the final close every request must have completed, and the machine gone idle, within this.
constexpr sim::VirtualTime kDrainLimit = 60 * kSecond;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

struct Options {
  bool freshMachinePerInput = false;  // inputs from files
  bool keepMachine = false;           // ZEL_FUZZ_KEEP_MACHINE=1: never
  bool verbose = false;               // ZEL_FUZZ_VERBOSE=1: every input's steps on stderr
};
Options g_options;

// A request issued by an application task of its own; the handle is there once its
// IoCallDriver has returned.
struct Slot {
  std::string what;
  std::optional<sim::io::Request> request;
  sim::Task* task = nullptr;
  bool Done() const { return request && request->IsComplete(); }
};

class Session;
[[noreturn]] void Fail(Session& session, const std::string& what);

// One machine with the driver loaded, the adapter started and port 1 in a loopback plug.
class Session {
 public:
  Session() : h_(harness::kDefaultSeed) {
    if (h_.Load() != STATUS_SUCCESS) Fail(*this, "driver did not load");
    fixture_.emplace(h_);
    fixture_->Start();
    Plug();
    name_ = u"\\Device\\ZelBrUsb" + harness::ToU16(fixture_->adapter()->SerialNumber) + u"-" +
            harness::ToU16(std::to_string(kPort - 1));
    h_.RunUntilIdle(kDrainLimit);
    CheckClean("adapter start");
    for (const auto& block : sim::pool::Outstanding()) baselinePool_.insert(block.serial);
    baselineIrps_ = sim::io::AllocatedIrpCount();
    baselineInFlight_ = sim::io::InFlightIrpCount();
  }

  int Inputs() const { return static_cast<int>(history_.size()); }
  const std::vector<Bytes>& History() const { return history_; }
  const std::vector<std::string>& Log() const { return log_; }

  void RunInput(const uint8_t* data, size_t size) {
    history_.emplace_back(data, data + size);
    log_.clear();
    slots_.clear();
    closing_.clear();
    keep_.clear();
    const sim::VirtualTime start = h_.machine().Now();
    const uint64_t trace = h_.machine().TraceLength();
    h_.machine().Reseed(fuzz::SeedOf(data, size));
    log_.push_back("seed " + std::to_string(h_.machine().Seed()));
    Open();
    if (!file_) Fail(*this, "the port did not open at the start of the input");
    fuzz::Decoder in(data, size);
    for (size_t step = 0; step < fuzz::kMaxSteps && !in.Empty(); ++step) Step(in);
    Finish();
    if (g_options.verbose) {
      for (const auto& line : log_) std::fprintf(stderr, "  %s\n", line.c_str());
      std::fprintf(stderr, "  (clean, %.3f virtual s, %llu trace lines)\n", double(h_.machine().Now() - start) / kSecond, (unsigned long long)(h_.machine().TraceLength() - trace));
    }
  }

  // The adapter's removal and the driver's unload, with the leak check.
  void Teardown() {
    plug_.reset();
    fixture_->StopAndRemove();
    fixture_.reset();
    h_.Unload();
    CheckClean("adapter removal and driver unload");
  }

  void CheckClean(const std::string& when) {
    std::string problems;
    for (const auto& violation : h_.machine().Violations()) problems += violation.ToString() + "\n";
    if (!problems.empty()) Fail(*this, "after " + when + ":\n" + problems);
  }

 private:
  void Plug() { plug_ = std::make_unique<adapter_model::LoopbackPlug>(fixture_->model().PortConnector(kPort)); }

  void Open() {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = sim::io::Open(name_, &file);
    log_.push_back("open -> " + harness::StatusText(status));
    file_ = NT_SUCCESS(status) ? file : nullptr;
  }

  void Close() {
    if (!file_) return;
    PFILE_OBJECT file = file_;
    file_ = nullptr;
    NTSTATUS status = sim::io::Close(file);
    if (status == STATUS_PENDING) {
      h_.RunUntil([&] { return sim::io::CloseStatus(file).has_value(); }, kStepWait);
      status = sim::io::CloseStatus(file).value_or(STATUS_PENDING);
    }
    log_.push_back("close -> " + harness::StatusText(status));
    closing_.push_back(file);
  }

  // Issues from a task of its own, then waits for completion a while or only lets what is
  // runnable run.
  void Issue(std::string what, bool wait, std::function<sim::io::Request()> issue) {
    auto slot = std::make_shared<Slot>();
    slot->what = std::move(what);
    slot->task = h_.Spawn("app " + std::to_string(slots_.size()), [slot, issue] { slot->request = issue(); });
    slots_.push_back(slot);
    if (wait) h_.RunUntil([&] { return slot->Done(); }, kStepWait);
    else h_.Advance(0);
    log_.push_back(Describe(*slot));
  }

  static std::string Describe(const Slot& slot) {
    if (slot.Done())
      return slot.what + " -> " + harness::StatusText(slot.request->Status()) + " (" +
             std::to_string(slot.request->Information()) + ")";
    return slot.what + (slot.request ? " pending" : " in dispatch");
  }

  std::shared_ptr<Slot> Pick(uint8_t which) {
    if (slots_.empty()) return nullptr;
    return slots_[which % slots_.size()];
  }

  void Step(fuzz::Decoder& in) {
    const fuzz::Op op = in.NextOp();
    switch (op) {
      case fuzz::Op::SerialIoctl:
      case fuzz::Op::AnyIoctl: {
        auto request = std::make_shared<fuzz::Ioctl>(in.NextIoctl(op == fuzz::Op::AnyIoctl));
        if (!file_) return;
        PFILE_OBJECT file = file_;
        Issue("ioctl " + Hex(request->code) + " in " + std::to_string(request->input.size()) + " out " +
                  std::to_string(request->outputLength),
              request->wait,
              [file, request] {
                return sim::io::DeviceControlAsync(file, request->code, request->input, request->outputLength);
              });
        return;
      }
      case fuzz::Op::InternalIoctl: {
        const bool anyCode = in.Byte() & 1;
        Internal(in.NextIoctl(anyCode));
        return;
      }
      case fuzz::Op::Write: {
        const bool wait = in.Byte() & 1;
        auto data = std::make_shared<Bytes>(in.Take(in.Length()));
        if (!file_) return;
        PFILE_OBJECT file = file_;
        Issue("write " + std::to_string(data->size()), wait, [file, data] { return sim::io::WriteAsync(file, *data); });
        return;
      }
      case fuzz::Op::Read: {
        const bool wait = in.Byte() & 1;
        const ULONG length = in.Length();
        if (!file_) return;
        PFILE_OBJECT file = file_;
        Issue("read " + std::to_string(length), wait, [file, length] { return sim::io::ReadAsync(file, length); });
        return;
      }
      case fuzz::Op::Time: {
        const sim::VirtualTime span = in.Span();
        h_.Advance(span);
        log_.push_back("time " + std::to_string(span / kMillisecond) + " ms");
        return;
      }
      case fuzz::Op::Cancel: {
        auto slot = Pick(in.Byte());
        if (!slot) return;
        const bool cancelled = slot->request && slot->request->Cancel();
        h_.Advance(0);
        log_.push_back("cancel [" + slot->what + "]" + (cancelled ? "" : " (no cancel routine)"));
        return;
      }
      case fuzz::Op::Await: {
        auto slot = Pick(in.Byte());
        if (!slot) return;
        h_.RunUntil([&] { return slot->Done(); }, kStepWait);
        log_.push_back("await [" + Describe(*slot) + "]");
        return;
      }
      case fuzz::Op::Reopen:
        Close();
        Open();
        return;
      case fuzz::Op::Cable:
        if (plug_) plug_.reset();
        else Plug();
        log_.push_back(plug_ ? "plug in" : "unplug");
        h_.Advance(0);
        return;
    }
  }

  // IRP_MJ_INTERNAL_DEVICE_CONTROL as a driver layered on the port sends it: to the port's
  // device, from kernel mode. A buffered code carries a system buffer as large as both
  // lengths; any other method only its lengths and the input as Type3InputBuffer.
  void Internal(const fuzz::Ioctl& request) {
    auto input = std::make_shared<Bytes>(request.input);
    keep_.push_back(input);
    sim::io::RawIrp irp;
    irp.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    const bool buffered = (request.code & 3) == METHOD_BUFFERED;
    if (buffered) {
      irp.systemBuffer.assign(std::max<size_t>(input->size(), request.outputLength), 0);
      std::copy(input->begin(), input->end(), irp.systemBuffer.begin());
      irp.copyBack = request.outputLength > 0;
    }
    const ULONG code = request.code;
    const ULONG inputLength = static_cast<ULONG>(input->size());
    const ULONG outputLength = request.outputLength;
    irp.setup = [=](PIO_STACK_LOCATION stack) {
      stack->Parameters.DeviceIoControl.IoControlCode = code;
      stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
      stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
      stack->Parameters.DeviceIoControl.Type3InputBuffer = buffered || input->empty() ? nullptr : input->data();
    };
    PDEVICE_OBJECT device = fixture_->port(kPort)->Self;
    auto shared = std::make_shared<sim::io::RawIrp>(std::move(irp));
    Issue("internal " + Hex(code) + " in " + std::to_string(inputLength) + " out " + std::to_string(outputLength),
          request.wait, [device, shared] { return sim::io::SendAsync(device, *shared); });
  }

  bool AllSettled() const {
    for (const auto& slot : slots_)
      if (!slot->Done() || slot->task->state != sim::TaskState::Done) return false;
    for (PFILE_OBJECT file : closing_)
      if (!sim::io::CloseStatus(file)) return false;
    return true;
  }

  // Everything still pending is cancelled and the handle closed; then every request must
  // complete and the machine go idle, with the pool and the IRPs as before the input.
  void Finish() {
    for (auto& slot : slots_)
      if (slot->request && !slot->request->IsComplete()) slot->request->Cancel();
    Close();
    h_.RunUntil([&] { return AllSettled(); }, kDrainLimit);
    for (const auto& slot : slots_)
      if (!slot->Done()) Fail(*this, "request never completed after cancel and close: " + Describe(*slot));
    for (PFILE_OBJECT file : closing_)
      if (!sim::io::CloseStatus(file)) Fail(*this, "close never sent: a reference to the file was kept");
    const sim::VirtualTime before = h_.machine().Now();
    h_.RunUntilIdle(kDrainLimit);
    if (h_.machine().Now() - before >= kDrainLimit)
      Fail(*this, "the machine never went idle after the port closed");
    if (!plug_) Plug();
    CheckClean("the input");
    if (sim::pool::OutstandingCount() != baselinePool_.size()) {
      std::string held;
      for (const auto& block : sim::pool::Outstanding())
        if (!baselinePool_.count(block.serial)) held += "  " + block.ToString() + "\n";
      Fail(*this, "pool blocks still allocated after the port closed (" + std::to_string(baselinePool_.size()) +
                      " before the input):\n" + held);
    }
    if (sim::io::AllocatedIrpCount() != baselineIrps_ || sim::io::InFlightIrpCount() != baselineInFlight_)
      Fail(*this, "IRPs allocated " + std::to_string(sim::io::AllocatedIrpCount()) + ", in flight " +
                      std::to_string(sim::io::InFlightIrpCount()) + " after the port closed; before the input " +
                      std::to_string(baselineIrps_) + " and " + std::to_string(baselineInFlight_));
  }

  harness::DriverHarness h_;
  std::optional<harness::AdapterFixture> fixture_;
  std::unique_ptr<adapter_model::LoopbackPlug> plug_;
  std::u16string name_;
  PFILE_OBJECT file_ = nullptr;
  std::vector<PFILE_OBJECT> closing_;
  std::vector<std::shared_ptr<Slot>> slots_;
  std::vector<std::shared_ptr<Bytes>> keep_;
  std::vector<std::string> log_;
  std::vector<Bytes> history_;
  std::set<uint64_t> baselinePool_;
  size_t baselineIrps_ = 0;
  size_t baselineInFlight_ = 0;
};

// Writes the inputs a kept machine ran before the failing one, to replay the series.
void WriteHistory(const Session& session) {
  if (session.Inputs() <= 1) return;
  const std::string dir = "port_ioctl_series-" + std::to_string(getpid());
  if (mkdir(dir.c_str(), 0755) != 0) return;
  int index = 0;
  for (const auto& input : session.History()) {
    char name[32];
    std::snprintf(name, sizeof name, "/%05d", index++);
    if (FILE* out = std::fopen((dir + name).c_str(), "wb")) {
      std::fwrite(input.data(), 1, input.size(), out);
      std::fclose(out);
    }
  }
  std::fprintf(stderr,
               "==== the machine had run %d inputs before this one; the series is in %s/ (replay: "
               "ZEL_FUZZ_KEEP_MACHINE=1 port_ioctl_fuzzer %s/*)\n",
               session.Inputs() - 1, dir.c_str(), dir.c_str());
}

[[noreturn]] void Fail(Session& session, const std::string& what) {
  std::string report = "==== port_ioctl_fuzzer: " + what + "\n";
  if (!session.Log().empty()) {
    report += "==== steps of the input:\n";
    for (const auto& line : session.Log()) report += "  " + line + "\n";
  }
  std::fputs(report.c_str(), stderr);
  WriteHistory(session);
  std::fflush(stderr);
  std::abort();
}

std::unique_ptr<Session> g_session;

void EndSession() {
  if (!g_session) return;
  try {
    g_session->Teardown();
  } catch (const std::exception& error) {
    Fail(*g_session, std::string("teardown: ") + error.what());
  }
  if (g_options.verbose) std::fprintf(stderr, "  (machine after %d inputs removed clean)\n", g_session->Inputs());
  g_session.reset();
}

bool IsRegularFile(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i)
    if ((*argv)[i][0] != '-' && IsRegularFile((*argv)[i])) g_options.freshMachinePerInput = true;
  const char* keep = std::getenv("ZEL_FUZZ_KEEP_MACHINE");
  if (keep && *keep == '1') {
    g_options.keepMachine = true;
    g_options.freshMachinePerInput = false;
  }
  const char* verbose = std::getenv("ZEL_FUZZ_VERBOSE");
  g_options.verbose = verbose && *verbose == '1';
  std::atexit(EndSession);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    if (!g_session) g_session = std::make_unique<Session>();
    g_session->RunInput(data, size);
  } catch (const std::exception& error) {
    // A deadlock or livelock report, or a harness step that could not go on.
    if (g_session) Fail(*g_session, error.what());
    std::fprintf(stderr, "==== port_ioctl_fuzzer: %s\n", error.what());
    std::abort();
  }
  const bool restart =
      g_options.freshMachinePerInput || (!g_options.keepMachine && g_session->Inputs() >= kInputsPerSession);
  if (restart) EndSession();
  return 0;
}
