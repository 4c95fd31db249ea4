/* Test helper run in the wizard's Wine prefix: reports what X cannot show,
 * the wizard's message boxes (caption, text, icon, OK button) and its
 * process figures (handles, memory).
 *
 *   qarwin boxes   one block per open box of the wizard's process (screen
 *                  rectangle, caption, text, icon, owner, OK button centre,
 *                  whether the main window takes input); exit 2 when none
 *   qarwin stats   handle count (also per object type) and memory of the
 *                  wizard's process
 *
 * and sets up what another program on the machine would leave or do:
 *
 *   qarwin attributes PATH...       one line per file: its read-only, hidden
 *                                   and system attributes ("RHS", "-" for
 *                                   none), or "missing"
 *   qarwin lock PATH...             adds read-only, hidden and system
 *   qarwin hold PATH share|noshare RELEASE
 *                                   opens PATH (with delete sharing, as a
 *                                   scanner does, or without), prints "held",
 *                                   and closes it once the file RELEASE
 *                                   exists (at most 5 minutes)
 *
 * The wizard's process is the owner of the window of class TfrmMain. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Wine's and Windows' message box dialog: the text static and the icon. */
#define BOX_TEXT_ID 0xFFFF
#define BOX_ICON_ID 0x0440

static DWORD wizard_pid;
static HWND wizard_main;
static int boxes_seen;

static void print_box(HWND box) {
  char text[1024] = "";
  HWND child, owner;
  RECT at;
  HICON icon = NULL;

  GetWindowTextA(box, text, sizeof text);
  printf("caption: %s\n", text);
  if (GetWindowRect(box, &at))
    printf("at: %ld %ld %ld %ld\n", at.left, at.top, at.right, at.bottom);
  text[0] = 0;
  child = GetDlgItem(box, BOX_TEXT_ID);
  if (child) GetWindowTextA(child, text, sizeof text);
  printf("text: %s\n", text);
  child = GetDlgItem(box, BOX_ICON_ID);
  if (child && IsWindowVisible(child)) icon = (HICON)SendMessageA(child, STM_GETICON, 0, 0);
  printf("icon: %s\n", icon ? "yes" : "no");
  owner = GetWindow(box, GW_OWNER);
  text[0] = 0;
  if (owner) GetWindowTextA(owner, text, sizeof text);
  printf("owner: %s\n", text);
  child = GetDlgItem(box, IDOK);
  if (child && GetWindowRect(child, &at)) {
    GetWindowTextA(child, text, sizeof text);
    printf("button: %s\n", text);
    printf("ok-at: %ld %ld\n", (at.left + at.right) / 2, (at.top + at.bottom) / 2);
  }
  printf("main-enabled: %d\n", wizard_main ? IsWindowEnabled(wizard_main) != 0 : -1);
  printf("\n");
}

static BOOL CALLBACK visit_box(HWND window, LPARAM unused) {
  char class_name[64];
  DWORD pid = 0;
  (void)unused;
  GetWindowThreadProcessId(window, &pid);
  if (pid != wizard_pid || !IsWindowVisible(window)) return TRUE;
  if (!GetClassNameA(window, class_name, sizeof class_name)) return TRUE;
  if (strcmp(class_name, "#32770") != 0) return TRUE;
  ++boxes_seen;
  print_box(window);
  return TRUE;
}

static int boxes(void) {
  EnumWindows(visit_box, 0);
  return boxes_seen ? 0 : 2;
}

/* The system handle table: Wine's GetProcessHandleCount answers 0 for every
 * process, but it lists the handles of each. */
typedef struct {
  ULONG owner_pid;
  BYTE object_type;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
} HANDLE_ENTRY;

typedef struct {
  ULONG count;
  HANDLE_ENTRY entries[1];
} HANDLE_TABLE;

#define SYSTEM_HANDLE_INFORMATION 16
#define STATUS_INFO_LENGTH_MISMATCH ((LONG)0xC0000004)

LONG WINAPI NtQuerySystemInformation(int kind, PVOID buffer, ULONG size, PULONG needed);

static long handle_count(DWORD pid, int by_type) {
  ULONG size = 1 << 16, needed = 0, i;
  long count = 0, types[256] = {0};
  HANDLE_TABLE *table;
  LONG status;
  for (;;) {
    table = malloc(size);
    if (!table) return -1;
    status = NtQuerySystemInformation(SYSTEM_HANDLE_INFORMATION, table, size, &needed);
    if (status != STATUS_INFO_LENGTH_MISMATCH) break;
    free(table);
    size *= 2;
  }
  if (status < 0) {
    free(table);
    return -1;
  }
  for (i = 0; i < table->count; ++i)
    if (table->entries[i].owner_pid == pid) {
      ++count;
      ++types[table->entries[i].object_type];
    }
  free(table);
  if (by_type) {
    printf("handle-types");
    for (i = 0; i < 256; ++i)
      if (types[i]) printf(" %lu:%ld", i, types[i]);
    printf("\n");
  }
  return count;
}

static int stats(void) {
  PROCESS_MEMORY_COUNTERS memory;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, wizard_pid);
  if (!process) {
    fprintf(stderr, "qarwin: cannot open process %lu (%lu)\n", wizard_pid, GetLastError());
    return 1;
  }
  memset(&memory, 0, sizeof memory);
  memory.cb = sizeof memory;
  if (!GetProcessMemoryInfo(process, &memory, sizeof memory)) {
    fprintf(stderr, "qarwin: cannot read process %lu (%lu)\n", wizard_pid, GetLastError());
    CloseHandle(process);
    return 1;
  }
  printf("pid %lu\n", wizard_pid);
  printf("handles %ld\n", handle_count(wizard_pid, 1));
  printf("workingset %lu\n", (unsigned long)memory.WorkingSetSize);
  printf("peakworkingset %lu\n", (unsigned long)memory.PeakWorkingSetSize);
  printf("pagefile %lu\n", (unsigned long)memory.PagefileUsage);
  CloseHandle(process);
  return 0;
}

#define LOCKING (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)

static int attributes(int count, char **paths) {
  int i;
  for (i = 0; i < count; ++i) {
    DWORD attributes = GetFileAttributesA(paths[i]);
    if (attributes == INVALID_FILE_ATTRIBUTES)
      printf("missing %s\n", paths[i]);
    else if ((attributes & LOCKING) == 0)
      printf("- %s\n", paths[i]);
    else
      printf("%s%s%s %s\n", attributes & FILE_ATTRIBUTE_READONLY ? "R" : "",
             attributes & FILE_ATTRIBUTE_HIDDEN ? "H" : "",
             attributes & FILE_ATTRIBUTE_SYSTEM ? "S" : "", paths[i]);
  }
  return 0;
}

static int lock(int count, char **paths) {
  int i, status = 0;
  for (i = 0; i < count; ++i) {
    DWORD attributes = GetFileAttributesA(paths[i]);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !SetFileAttributesA(paths[i], (attributes & ~FILE_ATTRIBUTE_NORMAL) | LOCKING)) {
      fprintf(stderr, "qarwin: cannot lock %s (%lu)\n", paths[i], GetLastError());
      status = 1;
    }
  }
  return status;
}

static int hold(const char *path, const char *share, const char *release) {
  DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE file;
  int waited;
  if (strcmp(share, "share") == 0) sharing |= FILE_SHARE_DELETE;
  file = CreateFileA(path, GENERIC_READ, sharing, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "qarwin: cannot open %s (%lu)\n", path, GetLastError());
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  for (waited = 0; waited < 3000 && GetFileAttributesA(release) == INVALID_FILE_ATTRIBUTES;
       ++waited)
    Sleep(100);
  CloseHandle(file);
  printf("released\n");
  return 0;
}

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "attributes") == 0) return attributes(argc - 2, argv + 2);
  if (argc >= 2 && strcmp(argv[1], "lock") == 0) return lock(argc - 2, argv + 2);
  if (argc == 5 && strcmp(argv[1], "hold") == 0) return hold(argv[2], argv[3], argv[4]);
  if (argc != 2) {
    fprintf(stderr, "usage: qarwin boxes|stats|attributes|lock|hold\n");
    return 64;
  }
  wizard_main = FindWindowA("TfrmMain", NULL);
  if (!wizard_main) {
    fprintf(stderr, "qarwin: no TfrmMain window\n");
    return 3;
  }
  GetWindowThreadProcessId(wizard_main, &wizard_pid);
  if (strcmp(argv[1], "boxes") == 0) return boxes();
  if (strcmp(argv[1], "stats") == 0) return stats();
  fprintf(stderr, "qarwin: unknown command %s\n", argv[1]);
  return 64;
}
