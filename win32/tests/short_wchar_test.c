/* Built with -fshort-wchar, as code written for Windows expects: L"" strings are LPCWSTR. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  DCB dcb;
  HANDLE port;
  DWORD n = 0;
  char back[4] = {0};
  COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0};
  int failures = 0;
  (void)argc;
  (void)argv;
  memset(&dcb, 0, sizeof dcb);
  if (!BuildCommDCBW(L"baud=2400 parity=s data=8 stop=1", &dcb) || dcb.BaudRate != 2400 || dcb.Parity != SPACEPARITY) {
    printf("BuildCommDCBW: %lu\n", (unsigned long)GetLastError());
    ++failures;
  }
  port = CreateFileW(L"\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE || !SetCommTimeouts(port, &timeouts) || !WriteFile(port, "w16", 3, &n, NULL) ||
      !ReadFile(port, back, 3, &n, NULL) || n != 3 || memcmp(back, "w16", 3) != 0) {
    printf("COM6 through L\"\": %lu\n", (unsigned long)GetLastError());
    ++failures;
  }
  if (CreateFileW(L"COM2", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) != INVALID_HANDLE_VALUE ||
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    printf("COM2 should not exist\n");
    ++failures;
  }
  CloseHandle(port);
  printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
