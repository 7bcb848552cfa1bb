// The same header and library from C++: SDK names compile, u"" strings are LPCWSTR, and a
// port carries data through its loopback plug with overlapped I/O from a second thread.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

int failures = 0;
void Check(bool ok, const char* what, int line) {
  if (!ok) {
    ++failures;
    std::printf("header_cxx_test.cpp:%d: %s failed (last error %u)\n", line, what, GetLastError());
  }
}
#define CHECK(cond) Check((cond), #cond, __LINE__)

static_assert(sizeof(DCB) == 28 && sizeof(COMMCONFIG) == 52 && sizeof(OVERLAPPED) == 32, "SDK layouts");
static_assert(offsetof(OVERLAPPED, hEvent) == 24 && offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16,
              "SDK offsets");

struct Shared {
  HANDLE port;
  HANDLE done;
  char received[8];
  DWORD count;
};

DWORD WINAPI Reader(LPVOID parameter) {
  auto* shared = static_cast<Shared*>(parameter);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ReadFile(shared->port, shared->received, 5, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return 1;
  const BOOL ok = GetOverlappedResult(shared->port, &ov, &shared->count, TRUE);
  CloseHandle(ov.hEvent);
  SetEvent(shared->done);
  return ok ? 0 : 2;
}

}  // namespace

int main(int, char**) {
  DCB dcb{};
  CHECK(BuildCommDCBW(u"baud=38400 parity=o data=7 stop=1", &dcb));
  CHECK(dcb.BaudRate == 38400 && dcb.Parity == ODDPARITY && dcb.ByteSize == 7);

  HANDLE port = CreateFileW(u"\\\\.\\COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  CHECK(port != INVALID_HANDLE_VALUE);
  DCB current{};
  CHECK(GetCommState(port, &current));
  current.BaudRate = CBR_57600;
  CHECK(SetCommState(port, &current));
  COMMTIMEOUTS timeouts{};
  CHECK(SetCommTimeouts(port, &timeouts));

  Shared shared{port, CreateEventW(nullptr, TRUE, FALSE, nullptr), {}, 0};
  HANDLE thread = CreateThread(nullptr, 0, Reader, &shared, 0, nullptr);
  Sleep(20);
  CHECK(WaitForSingleObject(shared.done, 0) == WAIT_TIMEOUT);  // the read waits for its bytes
  OVERLAPPED ov{};
  DWORD written = 0;
  if (!WriteFile(port, "12345", 5, nullptr, &ov)) CHECK(GetLastError() == ERROR_IO_PENDING);
  CHECK(GetOverlappedResult(port, &ov, &written, TRUE) && written == 5);
  const HANDLE both[] = {thread, shared.done};
  CHECK(WaitForMultipleObjects(2, both, TRUE, 1000) == WAIT_OBJECT_0);
  DWORD code = 99;
  CHECK(GetExitCodeThread(thread, &code) && code == 0);
  CHECK(shared.count == 5 && std::memcmp(shared.received, "12345", 5) == 0);
  CHECK(CloseHandle(thread) && CloseHandle(shared.done) && CloseHandle(port));
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
