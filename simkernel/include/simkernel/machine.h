// The simulated machine: one deterministic scheduler over every concurrent activity, a
// virtual clock, and the verifier. Host-only; tests and the simulated kernel use it, the
// driver never does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <typeinfo>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "simkernel/wdm.h"

namespace sim {

// Thrown on the controlling thread when every task is blocked and nothing is due, or when
// tasks keep running without anything getting done (a livelock). The machine stays stopped
// afterwards: every later run call throws again, and it can still be destroyed.
struct DeadlockError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// 100-ns units, as every kernel time.
using VirtualTime = int64_t;
constexpr VirtualTime kMillisecond = 10'000;
constexpr VirtualTime kSecond = 10'000'000;

enum class TaskKind { Application, Dpc, Worker, Device };

enum class TaskState { Runnable, Blocked, Done };

class Machine;

// One concurrent activity. Tasks are real threads handing over a baton: exactly one runs.
class Task {
 public:
  const int id;
  const std::string name;
  const TaskKind kind;
  // Daemons (DPC processors, worker threads, device models) may sit blocked forever
  // without that counting as a deadlock.
  const bool daemon;

  KIRQL irql = PASSIVE_LEVEL;
  TaskState state = TaskState::Runnable;
  std::string waitingFor;                       // what a blocked task waits for
  std::optional<VirtualTime> wakeAt;            // timed wait deadline
  NTSTATUS wakeStatus = STATUS_SUCCESS;         // what the wait returns
  std::vector<const void*> heldSpinLocks;       // spin locks this task holds, in order
  bool holdsCancelLock = false;
  std::string currentCall;                      // kernel routine being executed, for reports
  bool idleWait = false;                        // blocked waiting for work, not for a result
  uint64_t pointsSinceProgress = 0;             // this task's share of a livelock stretch

  PKTHREAD Thread() { return reinterpret_cast<PKTHREAD>(&threadObject_); }

 private:
  friend class Machine;
  Task(int id, std::string name, TaskKind kind, bool daemon, std::function<void()> body);
  std::function<void()> body_;
  std::thread thread_;
  bool hasBaton_ = false;
  std::condition_variable cv_;
  uint64_t threadObject_ = 0;  // identity behind KeGetCurrentThread
  uint64_t progressEpoch_ = 0;  // when pointsSinceProgress was last reset
};

// A verifier finding: the rule, the task, its IRQL and the kernel call that broke it.
struct Violation {
  std::string rule;
  std::string task;
  KIRQL irql;
  std::string call;
  std::string detail;
  std::string ToString() const;
};

// A timed event on the virtual clock (kernel timers and timed waits register here).
struct ClockEvent {
  VirtualTime due;
  uint64_t sequence;  // ties broken by registration order
  std::function<void()> fire;
};

class Machine {
 public:
  explicit Machine(uint64_t seed);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine the calling thread belongs to (there is one per test).
  static Machine& Current();
  static bool Exists();

  uint64_t Seed() const { return seed_; }
  // Restarts the random choices from another seed, as if the machine had been built with it:
  // a machine kept for a series of scenarios still gives each one its own interleaving.
  void Reseed(uint64_t seed) {
    seed_ = seed;
    rng_.seed(seed);
  }

  // ---- Tasks ----
  Task* Spawn(std::string name, TaskKind kind, std::function<void()> body, bool daemon = false);
  Task* CurrentTask();  // null on the controlling (test) thread

  // ---- Running (called from the controlling thread) ----
  // Runs until the predicate holds; false if everything went idle or the limit passed first.
  // Idle with a task blocked on something other than work is a deadlock (DeadlockError),
  // unless the caller means to release it later.
  bool RunUntil(const std::function<bool()>& done, VirtualTime limit = 3600 * kSecond,
                bool failOnDeadlock = true);
  // Runs until no task can make progress and no clock event is due. Fails on deadlock.
  void RunUntilIdle(VirtualTime limit = 3600 * kSecond);
  // Runs for a span of virtual time, then stops (time is at least Now()+span afterwards).
  // Tasks still blocked then are left for the caller to release.
  void RunFor(VirtualTime span);
  // Runs a body as an application task until it returns (other tasks interleave).
  void RunTask(std::string name, std::function<void()> body);

  // ---- Scheduling (called from tasks) ----
  // A scheduling point: any runnable task, this one included, may run next.
  void Point(const char* call);
  // Blocks the current task until Wake or the deadline (then returns timeoutStatus);
  // returns the wake status. An idle block (a daemon waiting for work) is no deadlock.
  NTSTATUS Block(std::string waitingFor, std::optional<VirtualTime> deadline = std::nullopt,
                 NTSTATUS timeoutStatus = STATUS_TIMEOUT, bool idle = false);
  void Wake(Task* task, NTSTATUS status);

  // ---- Livelock detection ----
  // Something got done: a request or USB transfer completed, a DPC routine returned, a timer
  // fired, a task ended, or virtual time advanced. Scheduling points counted machine-wide
  // since the last progress beyond the bound are a livelock.
  void Progress();
  // The longest stretch a legitimate run of this project's suites makes is a few hundred
  // points; a task spinning alone crosses this in milliseconds, tasks trading the baton at
  // every point in a few seconds.
  static constexpr uint64_t kDefaultLivelockBound = 250'000;
  void SetLivelockBound(uint64_t points) { livelockBound_ = points; }
  uint64_t LivelockBound() const { return livelockBound_; }
  // Set once a deadlock or livelock was raised; the report says what it was.
  bool Stopped() const { return !stopReport_.empty(); }
  const std::string& StopReport() const { return stopReport_; }

  // ---- Virtual clock ----
  VirtualTime Now() const { return now_; }
  uint64_t AddClockEvent(VirtualTime due, std::function<void()> fire);
  bool CancelClockEvent(uint64_t sequence);
  // Paces virtual time to the wall clock (for interactive runs): from the moment it is turned
  // on, virtual time never runs ahead of the wall clock, and a stretch spent catching up after
  // slow work is not slept again.
  void SetRealTime(bool on);
  bool RealTime() const { return realTime_; }
  // The clock interrupt period (KeQueryTimeIncrement): kernel time moves and kernel timers
  // fire on its boundaries, counted from boot (virtual time 0).
  static constexpr ULONG kDefaultTimeIncrement = 100144;  // uniprocessor
  ULONG TimeIncrement() const { return timeIncrement_; }
  void SetTimeIncrement(ULONG units);
  // The last tick at or before a time, and the first at or after it.
  VirtualTime TickFloor(VirtualTime t) const { return t - t % timeIncrement_; }
  VirtualTime TickCeil(VirtualTime t) const { return TickFloor(t + timeIncrement_ - 1); }
  // When a relative kernel timer or wait of `span` started at `start` ends.
  VirtualTime TickAfter(VirtualTime start, VirtualTime span) const { return TickCeil(TickFloor(start) + span); }

  // ---- Deterministic randomness ----
  uint64_t Random();
  uint64_t RandomBelow(uint64_t bound);

  // ---- Trace: every switch and note, for determinism checks and failure reports ----
  // The hash covers the whole run; the recent lines are kept for reports.
  uint64_t TraceHash() const { return traceHash_; }
  uint64_t TraceLength() const { return traceLength_; }
  std::string RecentTrace() const;
  void Note(const std::string& line);

  // ---- Verifier ----
  void Report(std::string rule, std::string detail);
  // Includes what the race detector found since the last call.
  const std::vector<Violation>& Violations();
  void ClearViolations() { violations_.clear(); }
  // Called when a task would bugcheck: the report is kept and the task stops here.
  [[noreturn]] void Fatal(std::string rule, std::string detail);

  // ---- Windows version answered by IoIsWdmVersionAvailable ----
  enum class WindowsVersion { Windows2000, WindowsXP };
  WindowsVersion Version() const { return version_; }
  void SetVersion(WindowsVersion v) { version_ = v; }

  // Subsystems hang their per-machine state here (pool, I/O manager, DPC engine...).
  // Looked up by the type's name without building a string: every kernel call comes here.
  template <class T>
  T& State() {
    const char* key = typeid(T).name();
    auto found = states_.find(std::string_view(key));
    if (found == states_.end()) found = states_.emplace(key, nullptr).first;
    auto& slot = found->second;
    if (!slot) slot = std::shared_ptr<void>(new T(), [](void* p) { delete static_cast<T*>(p); });
    return *static_cast<T*>(slot.get());
  }

 private:
  void SwitchToController(std::unique_lock<std::mutex>& lock);
  void RunTaskSlice(Task* task, std::unique_lock<std::mutex>& lock);
  bool AdvanceClock(VirtualTime limit);
  [[noreturn]] void FailDeadlock();
  // The test looks at the machine only when no task runs: for the race detector, that look
  // is ordered after everything the tasks did.
  void ObserveTasks();
  [[noreturn]] void FailLivelock();
  [[noreturn]] void Stop(std::string report);
  void CountPoint(Task* self, std::unique_lock<std::mutex>& lock);
  void TaskMain(Task* task);
  enum class StepResult { Ran, Idle, LimitReached };
  StepResult Step(VirtualTime limit);

  uint64_t seed_;
  std::mt19937_64 rng_;
  VirtualTime now_ = 0;
  bool realTime_ = false;
  VirtualTime realTimeBase_ = 0;
  std::chrono::steady_clock::time_point wallBase_;
  ULONG timeIncrement_ = kDefaultTimeIncrement;
  WindowsVersion version_ = WindowsVersion::Windows2000;

  std::mutex mutex_;
  std::condition_variable controllerCv_;
  bool controllerHasBaton_ = true;
  Task* running_ = nullptr;
  std::vector<std::unique_ptr<Task>> tasks_;
  // The tasks not yet done, in creation order (the scheduler's choices index into it, so a
  // seed replays the same way), and those done since the test last observed the machine.
  // The scheduler scans only these: a long run spawns many tasks that end.
  std::vector<Task*> live_;
  std::vector<Task*> endedUnobserved_;
  int nextTaskId_ = 1;

  std::map<std::pair<VirtualTime, uint64_t>, std::function<void()>> clock_;
  std::map<uint64_t, VirtualTime> clockIndex_;
  uint64_t nextClockSequence_ = 1;

  uint64_t traceHash_ = 1469598103934665603ull;
  uint64_t traceLength_ = 0;
  std::deque<std::string> recentTrace_;
  std::vector<Violation> violations_;
  std::map<std::string, std::shared_ptr<void>, std::less<>> states_;
  bool shuttingDown_ = false;

  uint64_t livelockBound_ = kDefaultLivelockBound;
  uint64_t pointsSinceProgress_ = 0;
  uint64_t progressEpoch_ = 1;
  bool livelocked_ = false;  // a task crossed the bound and handed the baton back
  std::string stopReport_;
};

}  // namespace sim
