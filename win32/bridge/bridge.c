/* Bridge: each named COM port of the simulated machine as a Linux pseudo-terminal, so that
 * picocom, minicom, screen, socat or pyserial reach the port through the driver, the simulated
 * USB bus and the adapter. A Win32 program: it relays COMn <-> PTY by polling both sides with
 * short Sleeps, and follows the line settings the PTY's program sets. Runs paced to the wall
 * clock; SIGINT or SIGTERM stops it, closing every port.
 *
 *   bridge [--zel-cable=null-modem] COM3 [COM4 ...]     (default COM3) */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "pty_link.h"

int ZelWin32RealTime = 1;

enum { kPoll = 5, kFollowMs = 200, kChunkMs = 20 };

typedef struct {
  const char* name;
  HANDLE com;
  PtyLink pty;
  PtySettings settings; /* last applied, or last refused so it is not retried */
  unsigned long rate;   /* the port's current rate */
  unsigned char toPty[4096];
  DWORD pending, sent;
  unsigned long long toCom, fromCom;
} Port;

static volatile sig_atomic_t stopping;

static void OnSignal(int sig) {
  (void)sig;
  stopping = 1;
}

static int Apply(Port* port, const PtySettings* wanted) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port->com, &dcb)) return 0;
  dcb.fBinary = TRUE;
  dcb.BaudRate = wanted->baud;
  dcb.ByteSize = (BYTE)wanted->dataBits;
  dcb.Parity = wanted->parity == 'O' ? ODDPARITY : wanted->parity == 'E' ? EVENPARITY : NOPARITY;
  dcb.fParity = wanted->parity != 'N';
  dcb.StopBits = wanted->stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fOutxCtsFlow = wanted->rtsCts ? TRUE : FALSE;
  dcb.fRtsControl = wanted->rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;
  return SetCommState(port->com, &dcb) != 0;
}

static void Follow(Port* port) {
  PtySettings now;
  if (PtyGetSettings(&port->pty, &now) != 0 || now.baud == 0) return;
  if (now.baud == port->settings.baud && now.dataBits == port->settings.dataBits &&
      now.parity == port->settings.parity && now.stopBits == port->settings.stopBits &&
      now.rtsCts == port->settings.rtsCts)
    return;
  port->settings = now;
  if (Apply(port, &now)) {
    port->rate = now.baud;
    printf("%s: %lu %d%c%d%s\n", port->name, now.baud, now.dataBits, now.parity, now.stopBits,
           now.rtsCts ? " rts/cts" : "");
  } else {
    printf("%s: the port refuses %lu %d%c%d (error %lu), keeps its settings\n", port->name, now.baud, now.dataBits,
           now.parity, now.stopBits, (unsigned long)GetLastError());
  }
  fflush(stdout);
}

static int Open(Port* port) {
  char path[64];
  /* Reads return at once with whatever has arrived; writes wait for the line. */
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
  const PtySettings start = {115200, 8, 'N', 1, 0};
  int error;
  snprintf(path, sizeof path, "\\\\.\\%s", port->name);
  port->com = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port->com == INVALID_HANDLE_VALUE) {
    printf("%s: cannot open (error %lu)\n", port->name, (unsigned long)GetLastError());
    return 0;
  }
  if (!Apply(port, &start) || !SetCommTimeouts(port->com, &timeouts)) {
    printf("%s: cannot set up (error %lu)\n", port->name, (unsigned long)GetLastError());
    return 0;
  }
  port->settings = start;
  port->rate = start.baud;
  if ((error = PtyOpen(&port->pty)) != 0) {
    printf("%s: no pseudo-terminal (%s)\n", port->name, strerror(error));
    return 0;
  }
  return 1;
}

/* One pass over a port: 1 when bytes moved, 0 when none did, -1 when either side failed. */
static int Relay(Port* port) {
  unsigned char buffer[4096];
  /* A write holds the relay until the line has sent it: keep that to a few milliseconds. */
  size_t chunk = port->rate / 10 * kChunkMs / 1000;
  long n;
  DWORD done = 0;
  int moved = 0;
  if (chunk < 1) chunk = 1;
  if (chunk > sizeof buffer) chunk = sizeof buffer;
  n = PtyRead(&port->pty, buffer, chunk);
  if (n < 0) {
    printf("%s: the pseudo-terminal failed\n", port->name);
    return -1;
  }
  if (n > 0) {
    moved = 1;
    if (!WriteFile(port->com, buffer, (DWORD)n, &done, NULL) || done != (DWORD)n) {
      printf("%s: wrote %lu of %ld bytes (error %lu)\n", port->name, (unsigned long)done, n,
             (unsigned long)GetLastError());
      return -1;
    }
    port->toCom += done;
  }
  if (port->pending == 0) {
    if (!ReadFile(port->com, port->toPty, sizeof port->toPty, &port->pending, NULL)) {
      printf("%s: read failed (error %lu)\n", port->name, (unsigned long)GetLastError());
      return -1;
    }
    port->sent = 0;
  }
  /* Bytes the terminal cannot take yet wait here; the driver's queue holds what follows. */
  if (port->pending > port->sent) {
    n = PtyWrite(&port->pty, port->toPty + port->sent, port->pending - port->sent);
    if (n < 0) {
      printf("%s: the pseudo-terminal failed\n", port->name);
      return -1;
    }
    if (n > 0) moved = 1;
    port->sent += (DWORD)n;
    port->fromCom += (unsigned long long)n;
    if (port->sent == port->pending) port->pending = port->sent = 0;
  }
  return moved;
}

int main(int argc, char** argv) {
  static Port ports[16];
  int count = argc > 1 ? argc - 1 : 1, i, ok = 1, moved, result;
  DWORD followed = 0;
  if (count > 16) {
    printf("bridge: at most 16 ports\n");
    return 2;
  }
  for (i = 0; i < count; ++i) {
    ports[i].name = argc > 1 ? argv[i + 1] : "COM3";
    ports[i].com = INVALID_HANDLE_VALUE;
    ports[i].pty.master = ports[i].pty.slave = -1;
  }
  for (i = 0; i < count && ok; ++i) ok = Open(&ports[i]);
  if (ok) {
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    for (i = 0; i < count; ++i) printf("%s <-> %s\n", ports[i].name, ports[i].pty.path);
    printf("bridge: running, interrupt to stop\n");
    fflush(stdout);
  }
  /* Sleeps only when nothing moved, so a busy line is fed as fast as it drains. */
  while (ok && !stopping) {
    const int follow = GetTickCount() - followed >= kFollowMs;
    if (follow) followed = GetTickCount();
    moved = 0;
    for (i = 0; i < count && ok; ++i) {
      if (follow) Follow(&ports[i]);
      result = Relay(&ports[i]);
      ok = result >= 0;
      moved |= result > 0;
    }
    if (!moved) Sleep(kPoll);
  }
  for (i = 0; i < count; ++i) {
    if (ports[i].com != INVALID_HANDLE_VALUE) {
      if (ok) printf("%s: %llu bytes to the port, %llu from it\n", ports[i].name, ports[i].toCom, ports[i].fromCom);
      CloseHandle(ports[i].com);
    }
    PtyClose(&ports[i].pty);
  }
  printf("bridge: %s\n", ok ? "stopped" : "FAILED");
  fflush(stdout);
  return ok ? 0 : 1;
}
