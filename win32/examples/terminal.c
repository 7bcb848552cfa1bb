/* A small terminal: every line of standard input goes out of a COM port, and what comes in is
 * printed as it arrives. At the end of input it waits for the line to go quiet, then exits.
 *
 *   terminal [-crlf] [port [mode]]     port defaults to COM3, mode to
 *                                      "baud=115200 parity=n data=8 stop=1"; lines end in LF,
 *                                      or CR LF with -crlf */
#include <stdio.h>
#include <string.h>
#include <windows.h>

/* How long the port must stay silent after the last byte before the echo counts as drained. */
#define QUIET_MS 500

static HANDLE g_port;
static HANDLE g_stop;
static volatile DWORD g_lastArrival;
static volatile DWORD g_received;

static int Fail(const char* what) {
  fprintf(stderr, "terminal: %s failed (error %lu)\n", what, (unsigned long)GetLastError());
  return 0;
}

/* Overlapped, so the reader's pending read does not hold back the writer's requests on the
 * same handle. */
static BOOL Transfer(BOOL write, void* data, DWORD size, DWORD* done) {
  OVERLAPPED ov;
  BOOL ok;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!ov.hEvent) return FALSE;
  ok = write ? WriteFile(g_port, data, size, done, &ov) : ReadFile(g_port, data, size, done, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(g_port, &ov, done, TRUE);
  CloseHandle(ov.hEvent);
  return ok;
}

static DWORD WINAPI Reader(LPVOID unused) {
  char buffer[256];
  DWORD got;
  (void)unused;
  /* The read timeouts bring each read back within a tenth of a second, so the stop event is
   * seen without cancelling anything. */
  while (WaitForSingleObject(g_stop, 0) == WAIT_TIMEOUT) {
    if (!Transfer(FALSE, buffer, sizeof buffer, &got)) {
      Fail("ReadFile");
      return 1;
    }
    if (got) {
      fwrite(buffer, 1, got, stdout);
      fflush(stdout);
      g_received += got;
      g_lastArrival = GetTickCount();
    }
  }
  return 0;
}

static int Open(const char* name, const char* mode) {
  char path[64];
  DCB dcb;
  COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 100, 10, 1000};  /* 10 ms a byte: a long line at 1200 baud */
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  g_port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  if (g_port == INVALID_HANDLE_VALUE) return Fail(name);
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(g_port, &dcb)) return Fail("GetCommState");
  if (!BuildCommDCBA(mode, &dcb)) return Fail("BuildCommDCB");
  if (!SetCommState(g_port, &dcb)) return Fail("SetCommState");
  if (!SetCommTimeouts(g_port, &timeouts)) return Fail("SetCommTimeouts");
  EscapeCommFunction(g_port, SETDTR);
  EscapeCommFunction(g_port, SETRTS);
  PurgeComm(g_port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return 1;
}

static int Send(const char* text, DWORD size) {
  DWORD sent = 0;
  if (!Transfer(TRUE, (void*)text, size, &sent)) return Fail("WriteFile");
  if (sent != size) {
    fprintf(stderr, "terminal: WriteFile sent %lu of %lu bytes\n", (unsigned long)sent, (unsigned long)size);
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  const char* ending = "\n";
  const char* name = "COM3";
  const char* mode = "baud=115200 parity=n data=8 stop=1";
  char line[512];
  HANDLE reader;
  DWORD exitCode = 1;
  int ok = 1, arg = 1;
  if (arg < argc && strcmp(argv[arg], "-crlf") == 0) {
    ending = "\r\n";
    ++arg;
  }
  if (arg < argc) name = argv[arg++];
  if (arg < argc) mode = argv[arg++];
  if (arg < argc) {
    fprintf(stderr, "usage: terminal [-crlf] [port [mode]]\n");
    return 2;
  }
  if (!Open(name, mode)) {
    if (g_port != INVALID_HANDLE_VALUE) CloseHandle(g_port);
    return 1;
  }
  g_stop = CreateEventA(NULL, TRUE, FALSE, NULL);
  g_lastArrival = GetTickCount();
  reader = g_stop ? CreateThread(NULL, 0, Reader, NULL, 0, NULL) : NULL;
  if (!reader) {
    Fail("CreateThread");
    CloseHandle(g_port);
    return 1;
  }

  while (ok && fgets(line, sizeof line, stdin)) {
    size_t length = strlen(line);
    int whole = length > 0 && line[length - 1] == '\n';
    if (whole) length -= length > 1 && line[length - 2] == '\r' ? 2 : 1;
    ok = Send(line, (DWORD)length) && (!whole || Send(ending, (DWORD)strlen(ending)));
  }
  /* Not FlushFileBuffers: a serial driver need not implement it, and this one does not. */
  while (ok) {
    COMSTAT stat;
    DWORD errors;
    if (!ClearCommError(g_port, &errors, &stat)) ok = Fail("ClearCommError");
    else if (stat.cbOutQue == 0) break;
    else Sleep(10);
  }
  /* The last bytes have left, but their echo may still be on its way. The reader stops on its
   * own if it failed. */
  g_lastArrival = GetTickCount();
  while (WaitForSingleObject(reader, 50) == WAIT_TIMEOUT && GetTickCount() - g_lastArrival < QUIET_MS) {
  }
  SetEvent(g_stop);
  WaitForSingleObject(reader, INFINITE);
  GetExitCodeThread(reader, &exitCode);
  fprintf(stderr, "terminal: %s: %lu bytes received\n", name, (unsigned long)g_received);
  CloseHandle(reader);
  CloseHandle(g_stop);
  CloseHandle(g_port);
  return ok && exitCode == 0 ? 0 : 1;
}
