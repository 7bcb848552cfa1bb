/* The Win32 comm API through the driver, as a C99 program of the simulated machine: one
 * adapter, loopback plugs on its four ports (COM3 to COM6 on a fresh machine). */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int failures = 0;
#define CHECK(cond)                                                                          \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      ++failures;                                                                            \
      printf("%s:%d: %s failed (last error %lu)\n", __FILE__, __LINE__, #cond,              \
             (unsigned long)GetLastError());                                                 \
    }                                                                                        \
  } while (0)

/* A relative timeout ends on the first clock tick (100144 x 100 ns on a uniprocessor) at or
 * after it, counted from the tick it started in; GetTickCount moves in whole ticks. */
static int EndsOnTick(DWORD start, DWORD elapsed, DWORD milliseconds) {
  const unsigned long long tick = 100144, span = (unsigned long long)milliseconds * 10000;
  const unsigned long long ticks = (span + tick - 1) / tick;
  /* Ticks are over 10 ms apart, so one tick alone has GetTickCount() == start. */
  const unsigned long long first = ((unsigned long long)start * 10000 + tick - 1) / tick;
  unsigned long long expected;
  expected = (first + ticks) * tick / 10000 - start;
  if (elapsed != (DWORD)expected) printf("elapsed %lu ms, expected %llu\n", (unsigned long)elapsed, expected);
  return elapsed == (DWORD)expected;
}

static HANDLE OpenPort(const char* name, BOOL overlapped) {
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
  CHECK(h != INVALID_HANDLE_VALUE);
  return h;
}

static void SetReadTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t;
  memset(&t, 0, sizeof t);
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  CHECK(SetCommTimeouts(h, &t));
}

static void TestOpenErrors(void) {
  static const WCHAR com5[] = {'\\', '\\', '.', '\\', 'C', 'O', 'M', '5', 0};
  HANDLE a, b, w;
  SetLastError(0);
  CHECK(CreateFileA("COM99", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE);
  CHECK(GetLastError() == ERROR_FILE_NOT_FOUND);
  CHECK(CreateFileA("C:\\boot.ini", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE);
  CHECK(GetLastError() == ERROR_FILE_NOT_FOUND);
  a = OpenPort("COM3", FALSE);
  /* A port is opened once at a time. */
  CHECK(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE);
  CHECK(GetLastError() == ERROR_ACCESS_DENIED);
  b = OpenPort("\\\\.\\com4", FALSE);
  w = CreateFileW(com5, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  CHECK(w != INVALID_HANDLE_VALUE);
  CHECK(CloseHandle(a) && CloseHandle(b) && CloseHandle(w));
  CHECK(!CloseHandle(a) && GetLastError() == ERROR_INVALID_HANDLE);
  {
    DWORD n = 0;
    char c;
    DCB dcb;
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    CHECK(!ReadFile(a, &c, 1, &n, NULL) && GetLastError() == ERROR_INVALID_HANDLE);
    /* Bad handles and bad buffers are refused, never followed. */
    CHECK(!GetCommState(a, &dcb) && GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(!GetCommState(event, &dcb) && GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(!SetCommMask(INVALID_HANDLE_VALUE, EV_RXCHAR) && GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(CreateFileA(NULL, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE &&
          GetLastError() == ERROR_INVALID_PARAMETER);
    b = OpenPort("COM3", FALSE);
    CHECK(!ReadFile(b, NULL, 5, &n, NULL) && GetLastError() == ERROR_NOACCESS);
    CHECK(!ReadFile(b, &c, 1, NULL, NULL) && GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(!GetCommState(b, NULL) && GetLastError() == ERROR_NOACCESS);
    CHECK(!GetOverlappedResult(b, NULL, &n, TRUE) && GetLastError() == ERROR_INVALID_PARAMETER);
    ov.hEvent = b;  /* a file is no event */
    CHECK(!ReadFile(b, &c, 1, &n, &ov) && GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(CloseHandle(b) && CloseHandle(event));
  }
}

static void TestStateRoundTrip(void) {
  HANDLE h = OpenPort("COM3", FALSE);
  DCB dcb, back, bad;
  memset(&dcb, 0, sizeof dcb);
  CHECK(GetCommState(h, &dcb));
  CHECK(dcb.DCBlength == sizeof(DCB) && dcb.fBinary == 1);
  dcb.BaudRate = CBR_19200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fErrorChar = 1;
  dcb.fNull = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  CHECK(SetCommState(h, &dcb));
  memset(&back, 0xAA, sizeof back);
  CHECK(GetCommState(h, &back));
  CHECK(back.BaudRate == CBR_19200 && back.ByteSize == 7 && back.Parity == EVENPARITY && back.StopBits == TWOSTOPBITS);
  CHECK(back.fOutxCtsFlow && !back.fOutxDsrFlow && back.fDtrControl == DTR_CONTROL_HANDSHAKE && back.fDsrSensitivity);
  CHECK(back.fTXContinueOnXoff && back.fOutX && back.fInX && back.fErrorChar && back.fNull);
  CHECK(back.fRtsControl == RTS_CONTROL_HANDSHAKE && back.fAbortOnError && back.fParity);
  CHECK(back.XonLim == 100 && back.XoffLim == 200);
  CHECK(back.XonChar == 0x11 && back.XoffChar == 0x13 && back.ErrorChar == '?' && back.EofChar == 0x1A && back.EvtChar == '\n');

  /* Every other value of the two-bit fields, and the flags off. */
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fOutxCtsFlow = dcb.fDsrSensitivity = dcb.fInX = 0;
  dcb.fOutxDsrFlow = dcb.fOutX = 1;
  dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = dcb.fTXContinueOnXoff = 0;
  dcb.Parity = NOPARITY;
  dcb.ByteSize = 8;
  dcb.StopBits = ONESTOPBIT;
  CHECK(SetCommState(h, &dcb));
  CHECK(GetCommState(h, &back));
  CHECK(back.fDtrControl == DTR_CONTROL_DISABLE && back.fRtsControl == RTS_CONTROL_TOGGLE);
  CHECK(!back.fOutxCtsFlow && back.fOutxDsrFlow && back.fOutX && !back.fInX && !back.fDsrSensitivity);
  CHECK(!back.fErrorChar && !back.fNull && !back.fAbortOnError && !back.fTXContinueOnXoff);
  dcb.fOutxDsrFlow = dcb.fOutX = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  CHECK(SetCommState(h, &dcb));
  CHECK(GetCommState(h, &back));
  CHECK(back.fDtrControl == DTR_CONTROL_ENABLE && back.fRtsControl == RTS_CONTROL_DISABLE);
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  CHECK(SetCommState(h, &dcb));

  /* A refused setting leaves the port as it was. */
  bad = dcb;
  bad.BaudRate = CBR_1200;
  bad.ByteSize = 9;
  SetLastError(0);
  CHECK(!SetCommState(h, &bad));
  CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
  CHECK(GetCommState(h, &back) && back.BaudRate == dcb.BaudRate && back.ByteSize == 8);
  bad = dcb;
  bad.fOutX = 1;
  bad.XoffChar = bad.XonChar;
  CHECK(!SetCommState(h, &bad) && GetLastError() == ERROR_INVALID_PARAMETER);

  {
    COMMCONFIG cc;
    DWORD size = 10;
    CHECK(!GetCommConfig(h, &cc, &size) && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size == sizeof(COMMCONFIG));
    CHECK(GetCommConfig(h, &cc, &size) && cc.dwSize == sizeof(COMMCONFIG) && cc.dcb.BaudRate == dcb.BaudRate);
    CHECK(cc.dwProviderSubType == PST_RS232);
    cc.dcb.BaudRate = CBR_57600;
    CHECK(SetCommConfig(h, &cc, sizeof cc));
    CHECK(GetCommState(h, &back) && back.BaudRate == CBR_57600);
    size = sizeof cc;
    CHECK(GetDefaultCommConfigA("COM4", &cc, &size) && cc.dcb.BaudRate == CBR_9600 && cc.dcb.ByteSize == 8 &&
          cc.dcb.Parity == NOPARITY && cc.dcb.StopBits == ONESTOPBIT);
    CHECK(!GetDefaultCommConfigA("COM99", &cc, &size) && GetLastError() == ERROR_FILE_NOT_FOUND);
  }
  {
    COMMTIMEOUTS t = {1, 2, 3, 4, 5}, u;
    CHECK(SetCommTimeouts(h, &t));
    memset(&u, 0, sizeof u);
    CHECK(GetCommTimeouts(h, &u) && memcmp(&t, &u, sizeof t) == 0);
  }
  {
    COMMPROP p;
    memset(&p, 0, sizeof p);
    CHECK(GetCommProperties(h, &p));
    CHECK(p.wPacketLength == sizeof(COMMPROP) && p.dwServiceMask == SP_SERIALCOMM && p.dwProvSubType == PST_RS232);
    CHECK(p.dwMaxBaud != 0 && (p.dwSettableBaud & BAUD_9600) && (p.wSettableData & DATABITS_8));
  }
  CHECK(SetupComm(h, 4096, 4096));
  CHECK(CloseHandle(h));
}

static void TestBuildCommDcb(void) {
  DCB dcb;
  COMMTIMEOUTS t;
  memset(&dcb, 0, sizeof dcb);
  CHECK(BuildCommDCBA("baud=1200 parity=e data=7 stop=2 dtr=hs rts=tg xon=on odsr=on octs=on idsr=on", &dcb));
  CHECK(dcb.BaudRate == 1200 && dcb.Parity == EVENPARITY && dcb.ByteSize == 7 && dcb.StopBits == TWOSTOPBITS);
  CHECK(dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_TOGGLE && dcb.fOutX && dcb.fInX);
  CHECK(dcb.fOutxDsrFlow && dcb.fOutxCtsFlow && dcb.fDsrSensitivity);
  CHECK(BuildCommDCBA("COM1: 96,n,8,1,p", &dcb));
  CHECK(dcb.BaudRate == 9600 && dcb.Parity == NOPARITY && dcb.ByteSize == 8 && dcb.StopBits == ONESTOPBIT);
  CHECK(dcb.fOutxCtsFlow && dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !dcb.fOutX);
  CHECK(BuildCommDCBA("19200,o,7,1.5,x", &dcb));
  CHECK(dcb.BaudRate == 19200 && dcb.Parity == ODDPARITY && dcb.StopBits == ONE5STOPBITS && dcb.fOutX && !dcb.fOutxCtsFlow);
  CHECK(BuildCommDCBA("11,n,8", &dcb) && dcb.BaudRate == 110 && dcb.StopBits == TWOSTOPBITS);
  SetLastError(0);
  CHECK(!BuildCommDCBA("baud=fast", &dcb) && GetLastError() == ERROR_INVALID_PARAMETER);
  CHECK(!BuildCommDCBA("96,q,8,1", &dcb));
  CHECK(!BuildCommDCBA("", &dcb));
  memset(&t, 0, sizeof t);
  CHECK(BuildCommDCBAndTimeoutsA("baud=4800 to=on", &dcb, &t) && dcb.BaudRate == 4800 && t.WriteTotalTimeoutConstant != 0);
  {
    static const WCHAR text[] = {'9', '6', ',', 'm', ',', '8', ',', '2', 0};
    CHECK(BuildCommDCBW(text, &dcb) && dcb.Parity == MARKPARITY && dcb.StopBits == TWOSTOPBITS);
  }
}

static void TestDataAndTimeouts(void) {
  HANDLE h = OpenPort("COM3", FALSE);
  char buffer[16];
  DWORD n = 0, start, elapsed, errors = 0;
  COMSTAT stat;
  DCB dcb;
  CHECK(GetCommState(h, &dcb));
  dcb.BaudRate = CBR_115200;
  dcb.fOutxCtsFlow = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  CHECK(SetCommState(h, &dcb));
  SetReadTimeouts(h, 0, 0, 500);
  CHECK(WriteFile(h, "hello", 5, &n, NULL) && n == 5);
  CHECK(ReadFile(h, buffer, 5, &n, NULL) && n == 5 && memcmp(buffer, "hello", 5) == 0);

  /* A total timeout ends on the clock tick after it, and is success with what came. */
  SetReadTimeouts(h, 0, 0, 100);
  start = GetTickCount();
  CHECK(ReadFile(h, buffer, 10, &n, NULL) && n == 0);
  elapsed = GetTickCount() - start;
  CHECK(EndsOnTick(start, elapsed, 100));
  /* MAXDWORD interval with zero totals: return at once with what is there. */
  SetReadTimeouts(h, MAXDWORD, 0, 0);
  start = GetTickCount();
  CHECK(ReadFile(h, buffer, 10, &n, NULL) && n == 0 && GetTickCount() - start < 11);

  /* Bytes waiting are counted, and purged. */
  CHECK(WriteFile(h, "abcd", 4, &n, NULL) && n == 4);
  Sleep(50);
  CHECK(ClearCommError(h, &errors, &stat) && errors == 0 && stat.cbInQue == 4 && stat.cbOutQue == 0);
  CHECK(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
  CHECK(ClearCommError(h, &errors, &stat) && stat.cbInQue == 0);

  /* The immediate character goes out through the plug. */
  SetReadTimeouts(h, 0, 0, 500);
  CHECK(TransmitCommChar(h, 'Z'));
  CHECK(ReadFile(h, buffer, 1, &n, NULL) && n == 1 && buffer[0] == 'Z');

  /* Through ntdll. */
  {
    IO_STATUS_BLOCK io;
    memset(&io, 0, sizeof io);
    CHECK(NtWriteFile(h, NULL, NULL, NULL, &io, (PVOID) "xyz", 3, NULL, NULL) == 0 && io.Status == 0 && io.Information == 3);
    CHECK(NtReadFile(h, NULL, NULL, NULL, &io, buffer, 3, NULL, NULL) == 0 && io.Information == 3 && memcmp(buffer, "xyz", 3) == 0);
  }
  /* Unknown device controls are refused by the driver before it reads anything. */
  SetLastError(0);
  CHECK(!DeviceIoControl(h, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7ff, METHOD_BUFFERED, FILE_ANY_ACCESS), NULL, 0, NULL, 0, &n, NULL));
  CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
  {
    /* Too small an output buffer for the baud rate. */
    BYTE small[2];
    CHECK(!DeviceIoControl(h, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_BUFFERED, FILE_ANY_ACCESS), NULL, 0, small, 2, &n, NULL));
    CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  }
  CHECK(CloseHandle(h));
}

static void TestModemLines(void) {
  HANDLE h = OpenPort("COM4", FALSE);
  DWORD status = 0;
  CHECK(EscapeCommFunction(h, SETDTR) && EscapeCommFunction(h, SETRTS));
  Sleep(20);
  CHECK(GetCommModemStatus(h, &status) && (status & (MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON)) == (MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON));
  CHECK(EscapeCommFunction(h, CLRDTR));
  Sleep(20);
  CHECK(GetCommModemStatus(h, &status) && !(status & MS_DSR_ON) && !(status & MS_RLSD_ON) && (status & MS_CTS_ON));
  CHECK(EscapeCommFunction(h, CLRRTS));
  Sleep(20);
  CHECK(GetCommModemStatus(h, &status) && !(status & MS_CTS_ON));
  /* This driver has no XOFF/XON emulation: its refusal comes back as the Win32 error. */
  SetLastError(0);
  CHECK(!EscapeCommFunction(h, SETXOFF) && GetLastError() == ERROR_INVALID_PARAMETER);
  CHECK(!EscapeCommFunction(h, SETXON) && GetLastError() == ERROR_INVALID_PARAMETER);
  CHECK(EscapeCommFunction(h, SETBREAK) && EscapeCommFunction(h, CLRBREAK));
  CHECK(SetCommBreak(h) && ClearCommBreak(h));
  CHECK(EscapeCommFunction(h, RESETDEV));
  SetLastError(0);
  CHECK(!EscapeCommFunction(h, 10) && GetLastError() == ERROR_INVALID_PARAMETER);
  CHECK(!EscapeCommFunction(h, 0) && GetLastError() == ERROR_INVALID_PARAMETER);
  CHECK(CloseHandle(h));
}

static void TestCommEvents(void) {
  HANDLE h = OpenPort("COM5", TRUE);
  HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
  OVERLAPPED ov;
  DWORD mask = 0, got = 0, n = 0;
  CHECK(EscapeCommFunction(h, SETRTS));
  CHECK(SetCommMask(h, EV_CTS | EV_RXCHAR | EV_BREAK));
  CHECK(GetCommMask(h, &mask) && mask == (EV_CTS | EV_RXCHAR | EV_BREAK));

  memset(&ov, 0, sizeof ov);
  ov.hEvent = ev;
  SetLastError(0);
  CHECK(!WaitCommEvent(h, &got, &ov) && GetLastError() == ERROR_IO_PENDING);
  CHECK(!HasOverlappedIoCompleted(&ov));
  CHECK(!GetOverlappedResult(h, &ov, &n, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE);
  CHECK(WaitForSingleObject(ev, 30) == WAIT_TIMEOUT);
  CHECK(EscapeCommFunction(h, CLRRTS));  /* CTS follows RTS through the plug */
  CHECK(WaitForSingleObject(ev, 1000) == WAIT_OBJECT_0);
  CHECK(GetOverlappedResult(h, &ov, &n, TRUE) && n == sizeof(DWORD) && got == EV_CTS);

  got = 0;
  CHECK(!WaitCommEvent(h, &got, &ov) && GetLastError() == ERROR_IO_PENDING);
  {
    OVERLAPPED wo;
    memset(&wo, 0, sizeof wo);
    if (!WriteFile(h, "!", 1, NULL, &wo)) CHECK(GetLastError() == ERROR_IO_PENDING);
    CHECK(GetOverlappedResult(h, &wo, &n, TRUE) && n == 1);
  }
  CHECK(GetOverlappedResult(h, &ov, &n, TRUE) && (got & EV_RXCHAR));
  CHECK(PurgeComm(h, PURGE_RXCLEAR));

  /* A new mask ends the waiting request at once with no events. */
  got = 0xFFFF;
  CHECK(!WaitCommEvent(h, &got, &ov) && GetLastError() == ERROR_IO_PENDING);
  CHECK(SetCommMask(h, EV_RXCHAR));
  CHECK(GetOverlappedResult(h, &ov, &n, TRUE) && got == 0);

  /* Break on the line reaches the receiver through the plug. */
  {
    DWORD errors = 0;
    COMSTAT stat;
    CHECK(SetCommMask(h, EV_BREAK));
    CHECK(!WaitCommEvent(h, &got, &ov) && GetLastError() == ERROR_IO_PENDING);
    CHECK(SetCommBreak(h));
    Sleep(20);
    CHECK(ClearCommBreak(h));
    CHECK(WaitForSingleObject(ev, 1000) == WAIT_OBJECT_0);
    CHECK(GetOverlappedResult(h, &ov, &n, TRUE) && got == EV_BREAK);
    CHECK(ClearCommError(h, &errors, &stat) && (errors & CE_BREAK));
    CHECK(ClearCommError(h, &errors, &stat) && errors == 0);
  }
  CHECK(CloseHandle(h) && CloseHandle(ev));
}

static DWORD WINAPI LateWriter(LPVOID port) {
  OVERLAPPED wo;
  DWORD n = 0;
  HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
  memset(&wo, 0, sizeof wo);
  wo.hEvent = done;
  Sleep(20);
  if (!WriteFile((HANDLE)port, "abc", 3, NULL, &wo)) CHECK(GetLastError() == ERROR_IO_PENDING);
  CHECK(GetOverlappedResult((HANDLE)port, &wo, &n, TRUE) && n == 3);
  CloseHandle(done);
  return 0;
}

static void TestOverlappedCancel(void) {
  HANDLE h = OpenPort("COM6", TRUE);
  HANDLE ev = CreateEventA(NULL, TRUE, TRUE, NULL);
  OVERLAPPED ov, ov2;
  char buffer[8], buffer2[8];
  DWORD n = 123, events2 = 0;
  SetReadTimeouts(h, 0, 0, 0);  /* reads wait for all their bytes */
  memset(&ov, 0, sizeof ov);
  ov.hEvent = ev;
  SetLastError(0);
  CHECK(!ReadFile(h, buffer, sizeof buffer, &n, &ov) && GetLastError() == ERROR_IO_PENDING);
  CHECK(WaitForSingleObject(ev, 0) == WAIT_TIMEOUT);  /* the request reset it */
  CHECK(ov.Internal == STATUS_PENDING);
  Sleep(50);
  CHECK(!GetOverlappedResult(h, &ov, &n, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE);
  CHECK(CancelIo(h));
  CHECK(!GetOverlappedResult(h, &ov, &n, TRUE) && GetLastError() == ERROR_OPERATION_ABORTED && n == 0);
  CHECK(WaitForSingleObject(ev, 0) == WAIT_OBJECT_0);

  /* CancelIoEx takes one request by its OVERLAPPED; the other goes on and completes. */
  memset(&ov, 0, sizeof ov);
  memset(&ov2, 0, sizeof ov2);
  ov2.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
  CHECK(SetCommMask(h, EV_RXCHAR));
  CHECK(!ReadFile(h, buffer, 4, NULL, &ov) && GetLastError() == ERROR_IO_PENDING);
  CHECK(!WaitCommEvent(h, &events2, &ov2) && GetLastError() == ERROR_IO_PENDING);
  CHECK(CancelIoEx(h, &ov));
  CHECK(!GetOverlappedResult(h, &ov, &n, TRUE) && GetLastError() == ERROR_OPERATION_ABORTED);
  CHECK(!CancelIoEx(h, &ov) && GetLastError() == ERROR_NOT_FOUND);
  CHECK(!HasOverlappedIoCompleted(&ov2));

  /* A pending read completes through the plug, no event: the file handle is signalled, and a
   * wait on it ends when the bytes a second thread writes come back. */
  memset(&ov, 0, sizeof ov);
  CHECK(!ReadFile(h, buffer2, 3, NULL, &ov) && GetLastError() == ERROR_IO_PENDING);
  {
    HANDLE writer = CreateThread(NULL, 0, LateWriter, h, 0, NULL);
    DWORD start = GetTickCount();
    CHECK(WaitForSingleObject(h, 1000) == WAIT_OBJECT_0);
    CHECK(GetTickCount() - start < 100);
    CHECK(WaitForSingleObject(writer, 1000) == WAIT_OBJECT_0);
    CloseHandle(writer);
  }
  CHECK(GetOverlappedResult(h, &ov, &n, TRUE) && n == 3 && memcmp(buffer2, "abc", 3) == 0);
  CHECK(HasOverlappedIoCompleted(&ov));
  /* The comm event left waiting saw the bytes arrive. */
  CHECK(WaitForSingleObject(ov2.hEvent, 1000) == WAIT_OBJECT_0 && events2 == EV_RXCHAR);
  CHECK(CloseHandle(ov2.hEvent));

  /* ntdll on an overlapped handle: pending, then the event and the status block. */
  {
    IO_STATUS_BLOCK io;
    HANDLE nev = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED wo;
    CHECK(NtReadFile(h, nev, NULL, NULL, &io, buffer, 2, NULL, NULL) == (NTSTATUS)STATUS_PENDING);
    memset(&wo, 0, sizeof wo);
    if (!WriteFile(h, "ok", 2, NULL, &wo)) CHECK(GetLastError() == ERROR_IO_PENDING);
    CHECK(WaitForSingleObject(nev, 1000) == WAIT_OBJECT_0 && io.Status == 0 && io.Information == 2);
    CHECK(memcmp(buffer, "ok", 2) == 0);
    CloseHandle(nev);
  }

  /* Closing the handle ends what is still pending on it. */
  memset(&ov, 0, sizeof ov);
  ov.hEvent = ev;
  CHECK(!ReadFile(h, buffer, sizeof buffer, NULL, &ov) && GetLastError() == ERROR_IO_PENDING);
  CHECK(CloseHandle(h));
  CHECK(WaitForSingleObject(ev, 2000) == WAIT_OBJECT_0 && (DWORD)ov.Internal == 0xC0000120u);
  CHECK(CloseHandle(ev));
}

static HANDLE g_started;
static DWORD WINAPI Echoer(LPVOID parameter) {
  HANDLE h = OpenPort((const char*)parameter, FALSE);
  char buffer[4];
  DWORD n = 0;
  SetReadTimeouts(h, 0, 0, 1000);
  CHECK(GetLastError() == 0);
  SetLastError(1234);  /* each thread has its own last error */
  SetEvent(g_started);
  Sleep(30);
  CHECK(GetLastError() == 1234);
  CHECK(WriteFile(h, "thr", 3, &n, NULL) && n == 3);
  CHECK(ReadFile(h, buffer, 3, &n, NULL) && n == 3 && memcmp(buffer, "thr", 3) == 0);
  CloseHandle(h);
  return 42;
}

static void TestThreadsAndWaits(void) {
  HANDLE handles[2], manual, automatic;
  DWORD id = 0, code = 0, start, elapsed;
  g_started = CreateEventA(NULL, FALSE, FALSE, NULL);
  SetLastError(77);
  handles[0] = CreateThread(NULL, 0, Echoer, (LPVOID) "COM4", 0, &id);
  CHECK(handles[0] != NULL && id != 0 && id != GetCurrentThreadId());
  CHECK(WaitForSingleObject(g_started, 1000) == WAIT_OBJECT_0);
  CHECK(GetLastError() == 77);
  CHECK(GetExitCodeThread(handles[0], &code) && code == STILL_ACTIVE);
  CHECK(WaitForSingleObject(handles[0], 2000) == WAIT_OBJECT_0);
  CHECK(GetExitCodeThread(handles[0], &code) && code == 42);

  /* An auto-reset event lets one wait through; a manual one stays set. */
  automatic = CreateEventA(NULL, FALSE, TRUE, NULL);
  manual = CreateEventA(NULL, TRUE, TRUE, NULL);
  CHECK(WaitForSingleObject(automatic, 0) == WAIT_OBJECT_0);
  start = GetTickCount();
  CHECK(WaitForSingleObject(automatic, 30) == WAIT_TIMEOUT);
  elapsed = GetTickCount() - start;
  CHECK(EndsOnTick(start, elapsed, 30));
  CHECK(WaitForSingleObject(manual, 0) == WAIT_OBJECT_0 && WaitForSingleObject(manual, 0) == WAIT_OBJECT_0);
  CHECK(ResetEvent(manual) && WaitForSingleObject(manual, 0) == WAIT_TIMEOUT);
  handles[1] = manual;
  CHECK(WaitForMultipleObjects(2, handles, FALSE, 0) == WAIT_OBJECT_0);
  CHECK(WaitForMultipleObjects(2, handles, TRUE, 20) == WAIT_TIMEOUT);
  CHECK(SetEvent(manual) && WaitForMultipleObjects(2, handles, TRUE, 0) == WAIT_OBJECT_0);
  handles[0] = automatic;
  CHECK(WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1);
  CHECK(WaitForSingleObjectEx(manual, 0, TRUE) == WAIT_OBJECT_0);
  CHECK(WaitForMultipleObjects(0, handles, FALSE, 0) == WAIT_FAILED && GetLastError() == ERROR_INVALID_PARAMETER);
  handles[0] = (HANDLE)(uintptr_t)0x7770;
  CHECK(WaitForMultipleObjects(2, handles, FALSE, 0) == WAIT_FAILED && GetLastError() == ERROR_INVALID_HANDLE);
  CHECK(!SetEvent(NULL) && GetLastError() == ERROR_INVALID_HANDLE);
  start = GetTickCount();
  Sleep(25);
  elapsed = GetTickCount() - start;
  CHECK(EndsOnTick(start, elapsed, 25) && elapsed == 30);
  CloseHandle(automatic);
  CloseHandle(manual);
  CloseHandle(g_started);
}

/* Left waiting when main returns: the process exit ends them, as on Windows. */
static DWORD WINAPI Forever(LPVOID event) {
  if (event)
    WaitForSingleObject((HANDLE)event, INFINITE);
  else
    Sleep(INFINITE);
  ++failures;  /* never reached */
  return 1;
}

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  TestOpenErrors();
  TestStateRoundTrip();
  TestBuildCommDcb();
  TestDataAndTimeouts();
  TestModemLines();
  TestCommEvents();
  TestOverlappedCancel();
  TestThreadsAndWaits();
  CHECK(CreateThread(NULL, 0, Forever, NULL, 0, NULL) != NULL);
  CHECK(CreateThread(NULL, 0, Forever, CreateEventA(NULL, TRUE, FALSE, NULL), 0, NULL) != NULL);
  Sleep(10);
  printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
