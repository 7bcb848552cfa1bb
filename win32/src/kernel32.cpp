// kernel32 and ntdll on the simulated machine: the handle table, files over the I/O manager,
// overlapped I/O, threads as application tasks, events and waits on the virtual clock.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel32_internal.h"
#include "machine_bridge.h"

namespace zelwin32 {
namespace {

namespace m = machine;

struct Object;
struct Operation;

// One process per machine, kept in the machine's own state: a task of a later machine never
// sees the handles or threads of an earlier one, and any task may call in without having been
// made by CreateThread or adopted by the runner.
struct Process {
  uint64_t serial = 0;
  std::map<uintptr_t, std::shared_ptr<Object>> handles;
  uintptr_t nextHandle = 0x40;
  DWORD nextThreadId = 4;
  // Process exit ends the program's other threads where they wait, as ExitProcess does: the
  // wait unwinds the thread to its start.
  bool exiting = false;
  std::vector<m::TaskId> blocked;  // program threads blocked in a wait or a sleep
  // Requests in flight are seen to their end by daemon tasks kept for reuse: a thread made
  // for every request cost more than the rest of the I/O together.
  std::deque<std::shared_ptr<Operation>> toComplete;
  std::vector<m::TaskId> idleCompleters;
};

uint64_t g_processSerial = 0;

Process& CurrentProcess() {
  // Outside any machine nothing can be opened or waited for; the calls find no handles.
  static Process none;
  if (!m::Running()) return none;
  std::shared_ptr<void>& slot = m::ProcessSlot();
  if (!slot) {
    auto process = std::make_shared<Process>();
    process->serial = ++g_processSerial;
    slot = process;
  }
  return *static_cast<Process*>(slot.get());
}

// Per task (each task is a thread of its own); reset when the task belongs to another process
// than the one these were set in, which only the controlling thread can see happen.
thread_local uint64_t t_process = 0;
thread_local DWORD t_lastErrorValue = 0;
thread_local DWORD t_threadIdValue = 0;
thread_local bool t_programThread = false;  // made by CreateThread

void EnterProcess() {
  Process& process = CurrentProcess();
  if (t_process == process.serial) return;
  t_process = process.serial;
  t_lastErrorValue = 0;
  t_threadIdValue = 0;
  t_programThread = false;
}

DWORD& LastError() {
  EnterProcess();
  return t_lastErrorValue;
}

// A task calling in for the first time becomes a thread of the process with an id of its own.
DWORD ThreadId() {
  EnterProcess();
  if (t_threadIdValue == 0 && m::CurrentTask() != nullptr) {
    Process& process = CurrentProcess();
    t_threadIdValue = process.nextThreadId;
    process.nextThreadId += 4;
  }
  return t_threadIdValue;
}

struct ThreadTerminated {};

int32_t BlockThread(const char* what, std::optional<int64_t> deadline) {
  Process& process = CurrentProcess();
  EnterProcess();
  if (process.exiting && t_programThread) throw ThreadTerminated{};
  m::TaskId self = m::CurrentTask();
  process.blocked.push_back(self);
  const int32_t status = m::Block(what, deadline);
  process.blocked.erase(std::find(process.blocked.begin(), process.blocked.end(), self));
  if (process.exiting && t_programThread) throw ThreadTerminated{};
  return status;
}

// ---- Objects -------------------------------------------------------------------------------

struct Object {
  virtual ~Object() = default;
};

struct Waitable : Object {
  std::vector<m::TaskId> waiters;
  virtual bool Signaled() const = 0;
  virtual void Acquire() {}  // what satisfying a wait does to the object
  void WakeWaiters() {
    for (m::TaskId task : waiters) m::Wake(task, m::kStatusSuccess);
  }
};

struct Event : Waitable {
  bool manual;
  bool state;
  Event(bool manualReset, bool initial) : manual(manualReset), state(initial) {}
  bool Signaled() const override { return state; }
  void Acquire() override {
    if (!manual) state = false;
  }
  void Set() {
    state = true;
    WakeWaiters();
  }
  void Reset() { state = false; }
};

struct Thread : Waitable {
  DWORD id = 0;
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
  bool Signaled() const override { return done; }
};

struct File;

// One request issued on a file: where its results go when it completes.
struct Operation {
  std::shared_ptr<File> file;
  m::Pending pending;
  OVERLAPPED* overlapped = nullptr;
  IO_STATUS_BLOCK* ioStatus = nullptr;
  std::shared_ptr<Event> event;  // the caller's event, if any
  void* output = nullptr;
  DWORD outputLength = 0;
  DWORD thread = 0;
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  Event finished{true, false};
};

struct File : Waitable {
  m::File file = nullptr;
  bool overlapped = false;
  // The file object's own event: signalled as each request completes, as Windows does, so
  // a file handle can be waited for and GetOverlappedResult without an event works.
  Event ioEvent{true, false};
  // Requests on a handle opened without FILE_FLAG_OVERLAPPED go one at a time.
  Event syncLock{false, true};
  std::vector<std::shared_ptr<Operation>> operations;
  bool Signaled() const override { return ioEvent.state; }
};

std::map<uintptr_t, std::shared_ptr<Object>>& Handles() { return CurrentProcess().handles; }

HANDLE Insert(std::shared_ptr<Object> object) {
  Process& process = CurrentProcess();
  const uintptr_t value = process.nextHandle;
  process.nextHandle += 4;
  process.handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  // Bit 0 of an OVERLAPPED's event asks Windows not to post to a completion port.
  auto found = Handles().find(reinterpret_cast<uintptr_t>(handle) & ~uintptr_t(1));
  if (found == Handles().end()) return nullptr;
  return std::dynamic_pointer_cast<T>(found->second);
}

// ---- Waits -----------------------------------------------------------------------------------

// Waits as KeWaitForMultipleObjects does: any or all, relative timeout ending on the tick.
DWORD WaitFor(const std::vector<Waitable*>& objects, bool all, DWORD milliseconds) {
  std::optional<int64_t> deadline;
  if (milliseconds != INFINITE) deadline = m::DeadlineAfter(int64_t(milliseconds) * m::kMillisecond);
  for (;;) {
    if (all) {
      if (std::all_of(objects.begin(), objects.end(), [](Waitable* w) { return w->Signaled(); })) {
        for (Waitable* w : objects) w->Acquire();
        return WAIT_OBJECT_0;
      }
    } else {
      for (size_t i = 0; i < objects.size(); ++i)
        if (objects[i]->Signaled()) {
          objects[i]->Acquire();
          return WAIT_OBJECT_0 + DWORD(i);
        }
    }
    if (milliseconds == 0 || (deadline && m::Now() >= *deadline)) return WAIT_TIMEOUT;
    m::TaskId self = m::CurrentTask();
    for (Waitable* w : objects) w->waiters.push_back(self);
    struct Unregister {
      const std::vector<Waitable*>& objects;
      m::TaskId self;
      ~Unregister() {
        for (Waitable* w : objects) w->waiters.erase(std::find(w->waiters.begin(), w->waiters.end(), self));
      }
    } unregister{objects, self};
    BlockThread("WaitForMultipleObjects", deadline);
  }
}

void WaitOne(Waitable& object) { WaitFor({&object}, false, INFINITE); }

// ---- File I/O core -------------------------------------------------------------------------

enum class Kind { Read, Write, Control, Flush };

struct IoRequest {
  Kind kind = Kind::Read;
  DWORD code = 0;
  const void* input = nullptr;
  DWORD inputLength = 0;
  void* output = nullptr;
  DWORD outputLength = 0;
  int64_t offset = 0;
};

void Finish(const std::shared_ptr<Operation>& op, const m::Outcome& outcome) {
  if (op->output && !outcome.output.empty())
    std::memcpy(op->output, outcome.output.data(), std::min<size_t>(outcome.output.size(), op->outputLength));
  op->status = outcome.status;
  op->information = outcome.information;
  if (op->overlapped) {
    op->overlapped->InternalHigh = outcome.information;
    op->overlapped->Internal = ULONG_PTR(DWORD(outcome.status));
  }
  if (op->ioStatus) {
    op->ioStatus->Status = outcome.status;
    op->ioStatus->Information = outcome.information;
  }
  op->done = true;
  auto& list = op->file->operations;
  list.erase(std::remove(list.begin(), list.end(), op), list.end());
  op->file->ioEvent.Set();
  op->file->WakeWaiters();  // a wait on the file handle itself
  if (op->event) op->event->Set();
  op->finished.Set();
}

void WatchForCompletion(const std::shared_ptr<Operation>& op) {
  Process& process = CurrentProcess();
  process.toComplete.push_back(op);
  if (!process.idleCompleters.empty()) {
    m::TaskId completer = process.idleCompleters.back();
    process.idleCompleters.pop_back();
    m::Wake(completer, m::kStatusSuccess);
    return;
  }
  Process* owner = &process;  // the machine ends its tasks before its state
  m::Spawn("overlapped completion", [owner] {
    for (;;) {
      // One left without work a while ends, so none outlives the program's I/O.
      if (owner->toComplete.empty()) {
        m::TaskId self = m::CurrentTask();
        owner->idleCompleters.push_back(self);
        m::Block("overlapped completion", m::DeadlineAfter(20 * m::kMillisecond));
        auto& idle = owner->idleCompleters;
        idle.erase(std::remove(idle.begin(), idle.end(), self), idle.end());
        if (owner->toComplete.empty()) return;
      }
      std::shared_ptr<Operation> next = std::move(owner->toComplete.front());
      owner->toComplete.pop_front();
      Finish(next, next->pending.Wait());
    }
  }, true);
}

// Sends the request; returns at once with the operation, done if the driver completed it in
// its dispatch routine, else finished later by a task that waits for its completion.
std::shared_ptr<Operation> Start(const std::shared_ptr<File>& file, const IoRequest& request,
                                 OVERLAPPED* overlapped, IO_STATUS_BLOCK* ioStatus, std::shared_ptr<Event> event) {
  auto op = std::make_shared<Operation>();
  op->file = file;
  op->overlapped = overlapped;
  op->ioStatus = ioStatus;
  op->event = std::move(event);
  op->output = request.output;
  op->outputLength = request.outputLength;
  op->thread = ThreadId();
  if (overlapped) {
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
  }
  if (ioStatus) {
    ioStatus->Status = NTSTATUS(STATUS_PENDING);
    ioStatus->Information = 0;
  }
  file->ioEvent.Reset();
  if (op->event) op->event->Reset();
  file->operations.push_back(op);
  switch (request.kind) {
    case Kind::Read:
      op->pending = m::ReadAsync(file->file, request.outputLength, request.offset);
      break;
    case Kind::Write:
      op->pending = m::WriteAsync(
          file->file, {static_cast<const uint8_t*>(request.input), request.input ? request.inputLength : 0},
          request.offset);
      break;
    case Kind::Control:
      op->pending = m::DeviceControlAsync(
          file->file, request.code,
          {static_cast<const uint8_t*>(request.input), request.input ? request.inputLength : 0},
          request.output ? request.outputLength : 0);
      break;
    case Kind::Flush:
      op->pending = m::FlushAsync(file->file);
      break;
  }
  if (op->pending.DispatchStatus() != m::kStatusPending && op->pending.Complete()) {
    Finish(op, op->pending.Wait());
  } else {
    WatchForCompletion(op);
  }
  return op;
}

// The request as a synchronous caller sees it: on a handle without FILE_FLAG_OVERLAPPED one
// at a time, and waited for whatever the driver returned.
std::shared_ptr<Operation> RunToCompletion(const std::shared_ptr<File>& file, const IoRequest& request,
                                           OVERLAPPED* overlapped, IO_STATUS_BLOCK* ioStatus,
                                           std::shared_ptr<Event> event) {
  if (!file->overlapped) WaitOne(file->syncLock);
  auto op = Start(file, request, overlapped, ioStatus, std::move(event));
  if (!op->done) WaitOne(op->finished);
  if (!file->overlapped) file->syncLock.Set();
  return op;
}

// ReadFile, WriteFile and DeviceIoControl: kernel32's rules over one request.
BOOL Win32Io(HANDLE handle, const IoRequest& base, DWORD* transferred, OVERLAPPED* overlapped) {
  auto file = Lookup<File>(handle);
  if (!file) return FailWithError(ERROR_INVALID_HANDLE);
  if (transferred) *transferred = 0;
  IoRequest request = base;
  std::shared_ptr<Event> event;
  if (overlapped) {
    request.offset = int64_t(overlapped->Offset) | (int64_t(overlapped->OffsetHigh) << 32);
    if (overlapped->hEvent) {
      event = Lookup<Event>(overlapped->hEvent);
      if (!event) return FailWithError(ERROR_INVALID_HANDLE);
    }
  }
  std::shared_ptr<Operation> op;
  if (file->overlapped && overlapped) {
    op = Start(file, request, overlapped, nullptr, event);
    if (!op->done) return FailWithError(ERROR_IO_PENDING);
  } else {
    op = RunToCompletion(file, request, overlapped, nullptr, event);
  }
  if (transferred) *transferred = DWORD(op->information);
  if (op->status < 0) return FailWith(op->status);
  return TRUE;
}

NTSTATUS NtIo(HANDLE handle, HANDLE eventHandle, PIO_APC_ROUTINE apc, PIO_STATUS_BLOCK ioStatus,
              const IoRequest& request) {
  auto file = Lookup<File>(handle);
  if (!file) return NTSTATUS(0xC0000008);  // STATUS_INVALID_HANDLE
  if (!ioStatus) return NTSTATUS(0xC0000005);  // STATUS_ACCESS_VIOLATION
  if (apc) return NTSTATUS(0xC00000BB);  // STATUS_NOT_SUPPORTED: no APCs on this machine
  std::shared_ptr<Event> event;
  if (eventHandle && !(event = Lookup<Event>(eventHandle))) return NTSTATUS(0xC0000008);
  if (file->overlapped) {
    auto op = Start(file, request, nullptr, ioStatus, event);
    return op->done ? op->status : NTSTATUS(STATUS_PENDING);
  }
  return RunToCompletion(file, request, nullptr, ioStatus, event)->status;
}

// "COM3", "COM3:", "\\.\COM3" -> "\DosDevices\COM3"; anything else is no device of ours.
bool KernelName(std::u16string name, std::u16string* kernelName) {
  if (name.rfind(u"\\\\.\\", 0) == 0) {
    name = name.substr(4);
  } else {
    if (!name.empty() && name.back() == u':') name.pop_back();
    const bool com = name.size() > 3 && (name[0] | 0x20) == u'c' && (name[1] | 0x20) == u'o' &&
                     (name[2] | 0x20) == u'm' &&
                     std::all_of(name.begin() + 3, name.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
    if (!com) return false;
  }
  if (name.empty() || name.find(u'\\') != std::u16string::npos) return false;
  *kernelName = u"\\DosDevices\\" + name;
  return true;
}

HANDLE OpenFile(std::u16string name, DWORD disposition, DWORD flags) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    FailWithError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string kernelName;
  if (!KernelName(std::move(name), &kernelName)) {
    FailWithError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  m::File opened = nullptr;
  const NTSTATUS status = m::Open(kernelName, &opened);
  if (status < 0) {
    FailWith(status);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<File>();
  file->file = opened;
  file->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  SetLastError(ERROR_SUCCESS);
  return Insert(file);
}

std::u16string Widen(LPCSTR text) {
  std::u16string wide;
  for (; text && *text; ++text) wide.push_back(char16_t(static_cast<unsigned char>(*text)));
  return wide;
}

std::u16string Wide(LPCWSTR text) {
  std::u16string wide;
  for (; text && *text; ++text) wide.push_back(char16_t(*text));
  return wide;
}

}  // namespace

// ---- Errors ------------------------------------------------------------------------------------

DWORD Win32Error(NTSTATUS status) {
  switch (DWORD(status)) {
    case 0x00000000: return ERROR_SUCCESS;
    case 0x00000102: return WAIT_TIMEOUT;                 // STATUS_TIMEOUT
    case 0x00000103: return ERROR_IO_PENDING;             // STATUS_PENDING
    case 0x80000005: return ERROR_MORE_DATA;              // STATUS_BUFFER_OVERFLOW
    case 0x80000011: return ERROR_BUSY;                   // STATUS_DEVICE_BUSY
    case 0xC0000001: return ERROR_GEN_FAILURE;            // STATUS_UNSUCCESSFUL
    case 0xC0000002: return ERROR_INVALID_FUNCTION;       // STATUS_NOT_IMPLEMENTED
    case 0xC0000005: return ERROR_NOACCESS;               // STATUS_ACCESS_VIOLATION
    case 0xC0000008: return ERROR_INVALID_HANDLE;         // STATUS_INVALID_HANDLE
    case 0xC000000D: return ERROR_INVALID_PARAMETER;      // STATUS_INVALID_PARAMETER
    case 0xC000000E: return ERROR_FILE_NOT_FOUND;         // STATUS_NO_SUCH_DEVICE
    case 0xC0000010: return ERROR_INVALID_FUNCTION;       // STATUS_INVALID_DEVICE_REQUEST
    case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;      // STATUS_NO_MEMORY
    case 0xC0000022: return ERROR_ACCESS_DENIED;          // STATUS_ACCESS_DENIED
    case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;    // STATUS_BUFFER_TOO_SMALL
    case 0xC0000033: return ERROR_INVALID_NAME;           // STATUS_OBJECT_NAME_INVALID
    case 0xC0000034: return ERROR_FILE_NOT_FOUND;         // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC000003A: return ERROR_PATH_NOT_FOUND;         // STATUS_OBJECT_PATH_NOT_FOUND
    case 0xC0000043: return ERROR_SHARING_VIOLATION;      // STATUS_SHARING_VIOLATION
    case 0xC0000056: return ERROR_ACCESS_DENIED;          // STATUS_DELETE_PENDING
    case 0xC000009A: return ERROR_NO_SYSTEM_RESOURCES;    // STATUS_INSUFFICIENT_RESOURCES
    case 0xC000009D: return ERROR_NOT_READY;              // STATUS_DEVICE_NOT_CONNECTED
    case 0xC00000BB: return ERROR_NOT_SUPPORTED;          // STATUS_NOT_SUPPORTED
    case 0xC00000C0: return ERROR_DEV_NOT_EXIST;          // STATUS_DEVICE_DOES_NOT_EXIST
    case 0xC0000120: return ERROR_OPERATION_ABORTED;      // STATUS_CANCELLED
    case 0xC0000184: return ERROR_BAD_COMMAND;            // STATUS_INVALID_DEVICE_STATE
    case 0xC0000185: return ERROR_IO_DEVICE;              // STATUS_IO_DEVICE_ERROR
    case 0xC000009C: return ERROR_CRC;                    // STATUS_DEVICE_DATA_ERROR
    case 0xC00002D3: return ERROR_NOT_READY;              // STATUS_POWER_STATE_INVALID
    default: return ERROR_MR_MID_NOT_FOUND;               // what Windows answers for a status it has no entry for
  }
}

BOOL FailWith(NTSTATUS status) { return FailWithError(Win32Error(status)); }

BOOL FailWithError(DWORD error) {
  LastError() = error;
  return FALSE;
}

NTSTATUS SyncDeviceControl(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
                           DWORD outputLength, DWORD* returned) {
  if (returned) *returned = 0;
  auto file = Lookup<File>(handle);
  if (!file) return NTSTATUS(0xC0000008);
  IoRequest request{Kind::Control, code, input, inputLength, output, outputLength, 0};
  auto op = RunToCompletion(file, request, nullptr, nullptr, nullptr);
  if (returned) *returned = DWORD(op->information);
  return op->status;
}

BOOL DeviceControlOk(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned) {
  const NTSTATUS status = SyncDeviceControl(file, code, input, inputLength, output, outputLength, returned);
  return status < 0 ? FailWith(status) : TRUE;
}

void EndProcess() {
  Process& process = CurrentProcess();
  process.exiting = true;
  for (m::TaskId task : std::vector<m::TaskId>(process.blocked)) m::Wake(task, m::kStatusSuccess);
  while (!process.handles.empty()) CloseHandle(reinterpret_cast<HANDLE>(process.handles.begin()->first));
  process.nextHandle = 0x40;
}

void AdoptCurrentThread() {
  ThreadId();
  LastError() = 0;
}

}  // namespace zelwin32

using namespace zelwin32;

extern "C" {

DWORD WINAPI GetLastError(void) { return LastError(); }
void WINAPI SetLastError(DWORD dwErrCode) { LastError() = dwErrCode; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (!lpFileName) {
    FailWithError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return OpenFile(Widen(lpFileName), dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (!lpFileName) {
    FailWithError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return OpenFile(Wide(lpFileName), dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  auto found = Handles().find(reinterpret_cast<uintptr_t>(hObject));
  if (found == Handles().end()) return FailWithError(ERROR_INVALID_HANDLE);
  std::shared_ptr<Object> object = found->second;
  Handles().erase(found);
  if (auto file = std::dynamic_pointer_cast<File>(object)) {
    // The cleanup request makes the driver end what is pending on the file; their results
    // still reach the OVERLAPPEDs, as on Windows.
    machine::Close(file->file);
  }
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  if (!lpBuffer && nNumberOfBytesToRead) return FailWithError(ERROR_NOACCESS);
  if (!lpNumberOfBytesRead && !lpOverlapped) return FailWithError(ERROR_INVALID_PARAMETER);
  IoRequest request{Kind::Read, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead, 0};
  return Win32Io(hFile, request, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  if (!lpBuffer && nNumberOfBytesToWrite) return FailWithError(ERROR_NOACCESS);
  if (!lpNumberOfBytesWritten && !lpOverlapped) return FailWithError(ERROR_INVALID_PARAMETER);
  IoRequest request{Kind::Write, 0, lpBuffer, nNumberOfBytesToWrite, nullptr, 0, 0};
  return Win32Io(hFile, request, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) return FailWithError(ERROR_NOACCESS);
  if (!lpBytesReturned && !lpOverlapped) return FailWithError(ERROR_INVALID_PARAMETER);
  IoRequest request{Kind::Control, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, 0};
  return Win32Io(hDevice, request, lpBytesReturned, lpOverlapped);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto file = Lookup<File>(hFile);
  if (!file) return FailWithError(ERROR_INVALID_HANDLE);
  IoRequest request{Kind::Flush, 0, nullptr, 0, nullptr, 0, 0};
  auto op = RunToCompletion(file, request, nullptr, nullptr, nullptr);
  return op->status < 0 ? FailWith(op->status) : TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  auto file = Lookup<File>(hFile);
  if (!file) return FailWithError(ERROR_INVALID_HANDLE);
  if (!lpOverlapped || !lpNumberOfBytesTransferred) return FailWithError(ERROR_INVALID_PARAMETER);
  if (DWORD(lpOverlapped->Internal) == STATUS_PENDING) {
    if (!bWait) return FailWithError(ERROR_IO_INCOMPLETE);
    std::shared_ptr<Event> event = lpOverlapped->hEvent ? Lookup<Event>(lpOverlapped->hEvent) : nullptr;
    if (event)
      WaitOne(*event);
    else
      WaitOne(file->ioEvent);
    // An event set by someone else is not the end of this request.
    for (const auto& op : std::vector<std::shared_ptr<Operation>>(file->operations))
      if (op->overlapped == lpOverlapped && !op->done) WaitOne(op->finished);
  }
  *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
  const NTSTATUS status = NTSTATUS(DWORD(lpOverlapped->Internal));
  return status < 0 ? FailWith(status) : TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  auto file = Lookup<File>(hFile);
  if (!file) return FailWithError(ERROR_INVALID_HANDLE);
  // Windows 2000 cancels the calling thread's requests on the handle, and does not wait.
  for (const auto& op : std::vector<std::shared_ptr<Operation>>(file->operations))
    if (op->thread == ThreadId() && !op->done) op->pending.Cancel();
  return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  auto file = Lookup<File>(hFile);
  if (!file) return FailWithError(ERROR_INVALID_HANDLE);
  bool found = false;
  for (const auto& op : std::vector<std::shared_ptr<Operation>>(file->operations))
    if (!op->done && (!lpOverlapped || op->overlapped == lpOverlapped)) {
      op->pending.Cancel();
      found = true;
    }
  return found ? TRUE : FailWithError(ERROR_NOT_FOUND);
}

NTSTATUS WINAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                           PULONG) {
  IoRequest request{Kind::Read, 0, nullptr, 0, Buffer, Buffer ? Length : 0, ByteOffset ? ByteOffset->QuadPart : 0};
  return NtIo(FileHandle, Event, ApcRoutine, IoStatusBlock, request);
}

NTSTATUS WINAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                            PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                            PLARGE_INTEGER ByteOffset, PULONG) {
  IoRequest request{Kind::Write, 0, Buffer, Buffer ? Length : 0, nullptr, 0, ByteOffset ? ByteOffset->QuadPart : 0};
  return NtIo(FileHandle, Event, ApcRoutine, IoStatusBlock, request);
}

// ---- Threads, events, waits, time ----------------------------------------------------------

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD, LPDWORD lpThreadId) {
  if (!lpStartAddress) {
    FailWithError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  Process& process = CurrentProcess();
  thread->id = process.nextThreadId;
  process.nextThreadId += 4;
  if (lpThreadId) *lpThreadId = thread->id;
  HANDLE handle = Insert(thread);
  machine::Spawn("thread " + std::to_string(thread->id), [thread, lpStartAddress, lpParameter] {
    EnterProcess();
    t_threadIdValue = thread->id;
    t_lastErrorValue = 0;
    t_programThread = true;
    try {
      thread->exitCode = lpStartAddress(lpParameter);
    } catch (const ThreadTerminated&) {
      thread->exitCode = 0;
    }
    thread->done = true;
    thread->WakeWaiters();
  }, false);
  return handle;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = Lookup<Thread>(hThread);
  if (!thread) return FailWithError(ERROR_INVALID_HANDLE);
  if (!lpExitCode) return FailWithError(ERROR_NOACCESS);
  *lpExitCode = thread->exitCode;
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return ThreadId(); }

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName && *lpName) {
    // No object namespace for user objects on this machine.
    FailWithError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return Insert(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (lpName && *lpName) {
    FailWithError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return CreateEventA(attributes, bManualReset, bInitialState, nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = Lookup<Event>(hEvent);
  if (!event) return FailWithError(ERROR_INVALID_HANDLE);
  event->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = Lookup<Event>(hEvent);
  if (!event) return FailWithError(ERROR_INVALID_HANDLE);
  event->Reset();
  return TRUE;
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                                      BOOL) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
    FailWithError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Waitable>> held;
  std::vector<Waitable*> objects;
  for (DWORD i = 0; i < nCount; ++i) {
    auto object = Lookup<Waitable>(lpHandles[i]);
    if (!object) {
      FailWithError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (bWaitAll && std::find(objects.begin(), objects.end(), object.get()) != objects.end()) {
      FailWithError(ERROR_INVALID_PARAMETER);  // the same object twice in a wait for all
      return WAIT_FAILED;
    }
    objects.push_back(object.get());
    held.push_back(std::move(object));
  }
  return WaitFor(objects, bWaitAll != FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
  return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, bAlertable);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, FALSE);
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL) {
  if (dwMilliseconds == 0) {
    machine::Yield();
  } else if (dwMilliseconds == INFINITE) {
    BlockThread("Sleep(INFINITE)", std::nullopt);
  } else {
    const int64_t deadline = machine::DeadlineAfter(int64_t(dwMilliseconds) * machine::kMillisecond);
    while (machine::Now() < deadline) BlockThread("Sleep", deadline);
  }
  return 0;
}

void WINAPI Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

DWORD WINAPI GetTickCount(void) {
  return DWORD(uint64_t(machine::TickFloor(machine::Now())) / uint64_t(machine::kMillisecond));
}

}  // extern "C"
