/* Requests on a handle opened without FILE_FLAG_OVERLAPPED go one at a time, as on Windows:
 * a thread's WaitCommEvent holds back another thread's GetCommMask on the same handle until
 * the event comes. Run with a null-modem cable between COM3 and COM4. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static HANDLE g_com3;
static DWORD g_events, g_maskDoneAt, g_mask;

static DWORD WINAPI Waiter(LPVOID unused) {
  (void)unused;
  return WaitCommEvent(g_com3, &g_events, NULL) ? 0 : GetLastError();
}

static DWORD WINAPI MaskReader(LPVOID unused) {
  (void)unused;
  if (!GetCommMask(g_com3, &g_mask)) return GetLastError();
  g_maskDoneAt = GetTickCount();
  return 0;
}

int main(int argc, char** argv) {
  HANDLE com4, threads[2];
  DWORD n = 0, writtenAt, code0 = 1, code1 = 1;
  int failures = 0;
  (void)argc;
  (void)argv;
  g_com3 = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  com4 = CreateFileA("COM4", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (g_com3 == INVALID_HANDLE_VALUE || com4 == INVALID_HANDLE_VALUE || !SetCommMask(g_com3, EV_RXCHAR)) {
    printf("setup failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  threads[0] = CreateThread(NULL, 0, Waiter, NULL, 0, NULL);
  Sleep(20);
  threads[1] = CreateThread(NULL, 0, MaskReader, NULL, 0, NULL);
  Sleep(50);
  if (g_maskDoneAt != 0) {
    printf("GetCommMask went past the waiting WaitCommEvent\n");
    ++failures;
  }
  writtenAt = GetTickCount();
  if (!WriteFile(com4, "x", 1, &n, NULL) || n != 1) ++failures;
  if (WaitForMultipleObjects(2, threads, TRUE, 2000) != WAIT_OBJECT_0) {
    printf("the threads did not finish\n");
    ++failures;
  }
  GetExitCodeThread(threads[0], &code0);
  GetExitCodeThread(threads[1], &code1);
  if (code0 != 0 || code1 != 0 || g_events != EV_RXCHAR || g_mask != EV_RXCHAR || g_maskDoneAt < writtenAt) {
    printf("events %#lx mask %#lx codes %lu %lu\n", (unsigned long)g_events, (unsigned long)g_mask,
           (unsigned long)code0, (unsigned long)code1);
    ++failures;
  }
  /* The other end's DTR is this end's DSR and DCD through the cable. */
  {
    DWORD status = 0;
    if (!EscapeCommFunction(com4, SETDTR) || (Sleep(20), !GetCommModemStatus(g_com3, &status)) ||
        (status & (MS_DSR_ON | MS_RLSD_ON)) != (MS_DSR_ON | MS_RLSD_ON)) {
      printf("modem status %#lx\n", (unsigned long)status);
      ++failures;
    }
  }
  CloseHandle(threads[0]);
  CloseHandle(threads[1]);
  CloseHandle(g_com3);
  CloseHandle(com4);
  printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
