/* Stands in for the programs the shell starts (document viewer, browser,
 * reader installer): appends its command line to C:\qar-shell.log and ends. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show) {
  char line[4096];
  DWORD written;
  HANDLE log;
  (void)instance;
  (void)previous;
  (void)args;
  (void)show;
  lstrcpynA(line, GetCommandLineA(), sizeof line - 2);
  lstrcatA(line, "\r\n");
  /* One appending write per launch: launches that overlap keep their lines. */
  log = CreateFileA("C:\\qar-shell.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (log == INVALID_HANDLE_VALUE) return 1;
  WriteFile(log, line, lstrlenA(line), &written, NULL);
  CloseHandle(log);
  return 0;
}
