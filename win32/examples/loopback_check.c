/* Checks a serial link as an ordinary Win32 program would: every byte value sent from one
 * port arrives at the other (the same port through a loopback plug), and DTR and RTS reach
 * the other end's DSR/DCD and CTS.
 *
 *   loopback_check [sending port [receiving port]]     (default COM3 to itself) */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static HANDLE Open(const char* name) {
  char path[64];
  HANDLE port;
  DCB dcb;
  COMMTIMEOUTS timeouts = {0, 0, 2000, 0, 2000};
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE) {
    printf("%s: cannot open (error %lu)\n", name, (unsigned long)GetLastError());
    return port;
  }
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb) || !BuildCommDCBA("baud=115200 parity=n data=8 stop=1", &dcb) ||
      !SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
    printf("%s: cannot set up (error %lu)\n", name, (unsigned long)GetLastError());
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

static int Lines(HANDLE from, HANDLE to, DWORD set, DWORD clear, DWORD inputs, const char* what) {
  DWORD status = 0, off = 0;
  EscapeCommFunction(from, set);
  Sleep(20);
  GetCommModemStatus(to, &status);
  EscapeCommFunction(from, clear);
  Sleep(20);
  GetCommModemStatus(to, &off);
  if ((status & inputs) != inputs || (off & inputs) != 0) {
    printf("%s: modem status %#lx raised, %#lx cleared\n", what, (unsigned long)status, (unsigned long)off);
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  const char* sender = argc > 1 ? argv[1] : "COM3";
  const char* receiver = argc > 2 ? argv[2] : sender;
  unsigned char out[256], in[256];
  DWORD n = 0, got = 0;
  int ok = 1, i;
  HANDLE a = Open(sender);
  HANDLE b = strcmp(sender, receiver) == 0 ? a : Open(receiver);
  if (a == INVALID_HANDLE_VALUE || b == INVALID_HANDLE_VALUE) return 2;
  for (i = 0; i < 256; ++i) out[i] = (unsigned char)i;
  PurgeComm(b, PURGE_RXCLEAR);
  if (!WriteFile(a, out, sizeof out, &n, NULL) || n != sizeof out) {
    printf("write: %lu of %u bytes (error %lu)\n", (unsigned long)n, (unsigned)sizeof out, (unsigned long)GetLastError());
    ok = 0;
  }
  if (!ReadFile(b, in, sizeof in, &got, NULL) || got != sizeof in || memcmp(in, out, sizeof in) != 0) {
    printf("read: %lu of %u bytes back\n", (unsigned long)got, (unsigned)sizeof in);
    ok = 0;
  }
  ok = Lines(a, b, SETDTR, CLRDTR, MS_DSR_ON | MS_RLSD_ON, "DTR") && ok;
  ok = Lines(a, b, SETRTS, CLRRTS, MS_CTS_ON, "RTS") && ok;
  printf("%s -> %s: %s\n", sender, receiver, ok ? "ok" : "FAILED");
  CloseHandle(a);
  if (b != a) CloseHandle(b);
  return ok ? 0 : 1;
}
