#include "simkernel/machine.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <sstream>

#include "race_annotations.h"

namespace sim {
namespace {

Machine* g_machine = nullptr;
thread_local Task* t_task = nullptr;

// Unwinds a task's thread when the machine shuts down or the task bugchecks.
struct TaskAbort {};

constexpr size_t kRecentTraceLines = 64;

const char* KindName(TaskKind kind) {
  switch (kind) {
    case TaskKind::Application: return "application";
    case TaskKind::Dpc: return "dpc";
    case TaskKind::Worker: return "worker";
    case TaskKind::Device: return "device";
  }
  return "?";
}

}  // namespace

Task::Task(int id, std::string name, TaskKind kind, bool daemon, std::function<void()> body)
    : id(id), name(std::move(name)), kind(kind), daemon(daemon), body_(std::move(body)) {}

std::string Violation::ToString() const {
  std::ostringstream out;
  out << "verifier: " << rule << " [task " << task << ", IRQL " << int(irql) << ", in " << call << "]";
  if (!detail.empty()) out << ": " << detail;
  return out.str();
}

Machine::Machine(uint64_t seed) : seed_(seed), rng_(seed) {
  if (g_machine) throw std::logic_error("only one simulated machine may exist at a time");
  g_machine = this;
  race::HideController(true);
}

Machine::~Machine() {
  // Unwind every task still alive: blocked daemons and anything a test left waiting.
  {
    race::HiddenSync hidden;
    std::unique_lock lock(mutex_);
    shuttingDown_ = true;
    for (auto& task : tasks_) {
      if (task->state == TaskState::Done || !task->thread_.joinable()) continue;
      RunTaskSlice(task.get(), lock);
    }
  }
  // Joined, every task's accesses are ordered before whatever the next machine does.
  for (auto& task : tasks_)
    if (task->thread_.joinable()) task->thread_.join();
  race::CollectReports();
  states_.clear();
  race::HideController(false);
  g_machine = nullptr;
}

Machine& Machine::Current() {
  if (!g_machine) throw std::logic_error("no simulated machine");
  return *g_machine;
}

bool Machine::Exists() { return g_machine != nullptr; }

Task* Machine::Spawn(std::string name, TaskKind kind, std::function<void()> body, bool daemon) {
  Task* raw;
  {
    race::HiddenSync hidden;
    std::unique_lock lock(mutex_);
    auto task = std::unique_ptr<Task>(new Task(nextTaskId_++, std::move(name), kind, daemon, std::move(body)));
    raw = task.get();
    raw->threadObject_ = 0x7000u + raw->id;
    tasks_.push_back(std::move(task));
    live_.push_back(raw);
    Note("spawn " + raw->name + " (" + KindName(kind) + ")");
  }
  // Outside the hidden region: thread creation is the edge from the creator to the new task.
  // The new thread only waits for its baton, so nothing else runs meanwhile.
  raw->thread_ = std::thread([this, raw] { TaskMain(raw); });
  return raw;
}

Task* Machine::CurrentTask() { return t_task; }

void Machine::TaskMain(Task* task) {
  t_task = task;
  race::NameThread(task->name);
  {
    race::HiddenSync hidden;
    std::unique_lock lock(mutex_);
    task->cv_.wait(lock, [&] { return task->hasBaton_; });
  }
  if (!shuttingDown_) {
    try {
      task->body_();
      if (task->irql != PASSIVE_LEVEL || !task->heldSpinLocks.empty())
        Report("task ended at raised IRQL or holding a spin lock", "IRQL " + std::to_string(task->irql));
      Progress();
    } catch (const TaskAbort&) {
    }
  }
  race::Release(&task->state);  // for the test, which may stop the machine at this end
  race::HiddenSync hidden;
  std::unique_lock lock(mutex_);
  task->state = TaskState::Done;
  live_.erase(std::find(live_.begin(), live_.end(), task));
  endedUnobserved_.push_back(task);
  task->hasBaton_ = false;
  controllerHasBaton_ = true;
  controllerCv_.notify_one();
}

void Machine::RunTaskSlice(Task* task, std::unique_lock<std::mutex>& lock) {
  running_ = task;
  controllerHasBaton_ = false;
  task->hasBaton_ = true;
  task->cv_.notify_one();
  controllerCv_.wait(lock, [&] { return controllerHasBaton_; });
  running_ = nullptr;
}

void Machine::SwitchToController(std::unique_lock<std::mutex>& lock) {
  Task* self = t_task;
  self->hasBaton_ = false;
  controllerHasBaton_ = true;
  controllerCv_.notify_one();
  self->cv_.wait(lock, [&] { return self->hasBaton_; });
  if (shuttingDown_) {
    lock.unlock();
    throw TaskAbort{};
  }
}

uint64_t Machine::Random() { return rng_(); }

uint64_t Machine::RandomBelow(uint64_t bound) {
  // Rejection sampling keeps the choice identical on every standard library.
  if (bound <= 1) return 0;
  const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  uint64_t value;
  do value = rng_();
  while (value >= limit);
  return value % bound;
}

void Machine::Note(const std::string& line) {
  std::string stamped = std::to_string(now_) + " " + line;
  for (unsigned char c : stamped) {
    traceHash_ ^= c;
    traceHash_ *= 1099511628211ull;
  }
  traceHash_ ^= '\n';
  traceHash_ *= 1099511628211ull;
  ++traceLength_;
  recentTrace_.push_back(std::move(stamped));
  if (recentTrace_.size() > kRecentTraceLines) recentTrace_.pop_front();
}

std::string Machine::RecentTrace() const {
  std::string out;
  for (const auto& line : recentTrace_) out += "  " + line + "\n";
  return out;
}

void Machine::Progress() {
  pointsSinceProgress_ = 0;
  ++progressEpoch_;
}

void Machine::CountPoint(Task* self, std::unique_lock<std::mutex>& lock) {
  if (self->progressEpoch_ != progressEpoch_) {
    self->progressEpoch_ = progressEpoch_;
    self->pointsSinceProgress = 0;
  }
  ++self->pointsSinceProgress;
  if (++pointsSinceProgress_ <= livelockBound_) return;
  // A task spinning alone never reaches the controller by itself: hand it the baton so that
  // it raises the livelock. This task stays where it is until the machine goes away.
  livelocked_ = true;
  SwitchToController(lock);
}

void Machine::Point(const char* call) {
  Task* self = t_task;
  if (!self) return;  // the controlling thread is not scheduled
  race::CollectReports();
  race::Release(&self->state);  // for the test, should it stop the machine here
  race::HiddenSync hidden;
  std::unique_lock lock(mutex_);
  // Unwinding at shutdown: destructors on the way out may still call the kernel.
  if (shuttingDown_) return;
  self->currentCall = call;
  CountPoint(self, lock);
  // Decide here whether anyone else runs next; staying on is one of the choices.
  std::vector<Task*> runnable;
  for (Task* task : live_)
    if (task->state == TaskState::Runnable) runnable.push_back(task);
  Task* next = runnable[RandomBelow(runnable.size())];
  if (next == self) return;
  SwitchToController(lock);
}

NTSTATUS Machine::Block(std::string waitingFor, std::optional<VirtualTime> deadline, NTSTATUS timeoutStatus,
                        bool idle) {
  Task* self = t_task;
  if (!self) throw std::logic_error("Block called outside a task: " + waitingFor);
  race::Release(&self->state);  // for the test, should it stop the machine here
  race::HiddenSync hidden;
  std::unique_lock lock(mutex_);
  if (shuttingDown_) {
    if (std::uncaught_exceptions() > 0) return timeoutStatus;
    lock.unlock();
    throw TaskAbort{};
  }
  CountPoint(self, lock);
  self->state = TaskState::Blocked;
  self->waitingFor = std::move(waitingFor);
  self->idleWait = idle;
  self->wakeStatus = STATUS_SUCCESS;
  uint64_t timeout = 0;
  if (deadline) {
    self->wakeAt = deadline;
    timeout = nextClockSequence_++;
    clock_.emplace(std::make_pair(*deadline, timeout), [self, timeoutStatus] {
      if (self->state == TaskState::Blocked) {
        self->state = TaskState::Runnable;
        self->wakeStatus = timeoutStatus;
      }
    });
    clockIndex_.emplace(timeout, *deadline);
  }
  SwitchToController(lock);
  if (timeout) {
    auto it = clockIndex_.find(timeout);
    if (it != clockIndex_.end()) {
      clock_.erase({it->second, timeout});
      clockIndex_.erase(it);
    }
  }
  self->wakeAt.reset();
  self->waitingFor.clear();
  self->idleWait = false;
  return self->wakeStatus;
}

void Machine::Wake(Task* task, NTSTATUS status) {
  if (task->state != TaskState::Blocked) return;
  task->state = TaskState::Runnable;
  task->wakeStatus = status;
}

uint64_t Machine::AddClockEvent(VirtualTime due, std::function<void()> fire) {
  uint64_t sequence = nextClockSequence_++;
  if (due < now_) due = now_;
  clock_.emplace(std::make_pair(due, sequence), std::move(fire));
  clockIndex_.emplace(sequence, due);
  return sequence;
}

void Machine::SetRealTime(bool on) {
  if (on && !realTime_) {
    realTimeBase_ = now_;
    wallBase_ = std::chrono::steady_clock::now();
  }
  realTime_ = on;
}

bool Machine::CancelClockEvent(uint64_t sequence) {
  auto it = clockIndex_.find(sequence);
  if (it == clockIndex_.end()) return false;
  clock_.erase({it->second, sequence});
  clockIndex_.erase(it);
  return true;
}

Machine::StepResult Machine::Step(VirtualTime limit) {
  race::CollectReports();
  std::function<void()> fire;
  {
    race::HiddenSync hidden;
    std::unique_lock lock(mutex_);
    std::vector<Task*> runnable;
    for (Task* task : live_)
      if (task->state == TaskState::Runnable) runnable.push_back(task);
    if (!runnable.empty()) {
      Task* next = runnable[RandomBelow(runnable.size())];
      Note("run " + next->name);
      RunTaskSlice(next, lock);
      if (livelocked_) FailLivelock();
      return StepResult::Ran;
    }
    if (clock_.empty()) return StepResult::Idle;
    auto first = clock_.begin();
    VirtualTime due = first->first.first;
    if (due > limit) {
      if (limit > now_) now_ = limit;
      return StepResult::LimitReached;
    }
    if (realTime_ && due > now_) {
      const auto wake = wallBase_ + std::chrono::microseconds((due - realTimeBase_) / 10);
      lock.unlock();
      std::this_thread::sleep_until(wake);
      lock.lock();
      first = clock_.begin();
    }
    if (due > now_) {
      now_ = due;
      Progress();
    } else if (++pointsSinceProgress_ > livelockBound_) {
      FailLivelock();
    }
    fire = std::move(first->second);
    clockIndex_.erase(first->first.second);
    clock_.erase(first);
  }
  // Clock events run on the controlling thread: they only signal, wake and queue.
  fire();
  return StepResult::Ran;
}

void Machine::FailDeadlock() {
  std::ostringstream out;
  out << "deadlock at virtual time " << now_ << " (seed " << seed_ << "): every task is blocked and nothing is due\n";
  for (Task* task : live_) {
    out << "  task " << task->name << " [" << KindName(task->kind) << ", IRQL " << int(task->irql) << "] "
        << (task->state == TaskState::Blocked ? "waits for " + task->waitingFor : std::string("runnable"))
        << (task->idleWait ? " (idle)" : "") << "\n";
  }
  out << "recent trace:\n" << RecentTrace();
  Stop(out.str());
}

void Machine::FailLivelock() {
  std::ostringstream out;
  out << "livelock at virtual time " << now_ << " (seed " << seed_ << "): " << pointsSinceProgress_
      << " scheduling points and nothing completed, fired or advanced the clock\n";
  for (Task* task : live_) {
    const uint64_t points = task->progressEpoch_ == progressEpoch_ ? task->pointsSinceProgress : 0;
    out << "  task " << task->name << " [" << KindName(task->kind) << ", IRQL " << int(task->irql) << "] ";
    if (task->state == TaskState::Blocked)
      out << "waits for " << task->waitingFor << (task->idleWait ? " (idle)" : "");
    else
      out << "runnable, in " << (task->currentCall.empty() ? "(not started)" : task->currentCall);
    if (points > 0) out << ", spinning: " << points << " of the points";
    out << "\n";
  }
  out << "recent trace:\n" << RecentTrace();
  Stop(out.str());
}

void Machine::Stop(std::string report) {
  stopReport_ = std::move(report);
  throw DeadlockError(stopReport_);
}

void Machine::SetTimeIncrement(ULONG units) {
  if (units == 0) throw std::invalid_argument("a clock tick of zero");
  timeIncrement_ = units;
}

void Machine::ObserveTasks() {
  for (Task* task : live_) race::Acquire(&task->state);
  // A task's end is observed once.
  for (Task* task : endedUnobserved_) race::Acquire(&task->state);
  endedUnobserved_.clear();
}

bool Machine::RunUntil(const std::function<bool()>& done, VirtualTime limit, bool failOnDeadlock) {
  if (t_task) throw std::logic_error("RunUntil called from a task");
  if (Stopped()) throw DeadlockError("machine stopped earlier by this report:\n" + stopReport_);
  // Whatever stopped the run, the test saw the machine at rest: what it starts next comes
  // after everything the tasks did so far.
  struct Observe {
    Machine* machine;
    ~Observe() { machine->ObserveTasks(); }
  } observe{this};
  const VirtualTime end = now_ + limit;
  while (!done()) {
    switch (Step(end)) {
      case StepResult::Ran: break;
      case StepResult::LimitReached: return done();
      case StepResult::Idle: {
        if (failOnDeadlock)
          for (Task* task : live_)
            if (task->state == TaskState::Blocked && !task->idleWait) FailDeadlock();
        return done();
      }
    }
  }
  return true;
}

void Machine::RunUntilIdle(VirtualTime limit) { RunUntil([] { return false; }, limit); }

void Machine::RunFor(VirtualTime span) {
  const VirtualTime end = now_ + span;
  RunUntil([] { return false; }, span, /*failOnDeadlock=*/false);
  if (now_ < end) now_ = end;
}

void Machine::RunTask(std::string name, std::function<void()> body) {
  Task* task = Spawn(std::move(name), TaskKind::Application, std::move(body));
  bool finished = RunUntil([task] { return task->state == TaskState::Done; });
  if (!finished) throw std::runtime_error("task " + task->name + " did not finish");
}

const std::vector<Violation>& Machine::Violations() {
  race::CollectReports();
  return violations_;
}

void Machine::Report(std::string rule, std::string detail) {
  Task* task = t_task;
  Violation violation{std::move(rule), task ? task->name : "controller", task ? task->irql : KIRQL(PASSIVE_LEVEL),
                      task ? task->currentCall : "", std::move(detail)};
  Note(violation.ToString());
  violations_.push_back(std::move(violation));
}

void Machine::Fatal(std::string rule, std::string detail) {
  Report(std::move(rule), std::move(detail));
  if (!t_task) throw std::runtime_error(violations_.back().ToString());
  throw TaskAbort{};
}

}  // namespace sim
