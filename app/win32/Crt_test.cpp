// Checks the program's own C run-time (Crt.c), linked as Setup.exe is: its
// start-up, C functions, setjmp/longjmp and C++ exceptions over it. The exit
// code is the number of failures; each failure is written to the standard
// output.
#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

// Declared here: the mingw headers would send C++ callers of these to
// mingw's own versions. libjpeg's snprintf reaches __ms_vsnprintf.
extern "C" {
int __ms_vsnprintf(char* out, size_t size, const char* format, va_list args);
void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
void* memset(void* dst, int c, size_t n);
int memcmp(const void* a, const void* b, size_t n);
void* memchr(const void* p, int c, size_t n);
size_t strlen(const char* s);
size_t strnlen(const char* s, size_t max);
int strcmp(const char* a, const char* b);
char* strncpy(char* dst, const char* src, size_t n);
void* malloc(size_t size);
void* calloc(size_t count, size_t size);
void* realloc(void* p, size_t size);
void free(void* p);
int atexit(void (*function)(void));
int _getdrive(void);
}
#include <csetjmp>

namespace {

int failures = 0;

int Format(char* out, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = __ms_vsnprintf(out, size, format, args);
  va_end(args);
  return n;
}

void Say(const char* text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written;
  if (out != NULL && out != INVALID_HANDLE_VALUE) WriteFile(out, text, strlen(text), &written, NULL);
}

void Check(bool ok, const char* what, int line) {
  if (ok) return;
  ++failures;
  char text[160];
  Format(text, sizeof text, "FAIL line %d: %s\n", line, what);
  Say(text);
}
#define CHECK(x) Check((x), #x, __LINE__)

// Static construction runs before WinMain, in the order of definition.
int constructed = 0;
struct Order {
  int rank;
  Order() : rank(++constructed) {}
};
Order first;
Order second;

void TestMemory() {
  char b[16] = "abcdefghij";
  memmove(b + 2, b, 6);  // forward overlap: copied from the end
  CHECK(memcmp(b, "ababcdefij", 10) == 0);
  memcpy(b, "abcdefghij", 11);
  memmove(b, b + 3, 6);  // backward overlap
  CHECK(memcmp(b, "defghighij", 10) == 0);
  memset(b, 0x1ff, 4);  // the value is taken as unsigned char
  CHECK(static_cast<unsigned char>(b[3]) == 0xff && b[4] == 'h');
  CHECK(memcmp("\x80", "\x01", 1) > 0);  // bytes compare unsigned
  CHECK(memchr("abc\0d", 'd', 5) != nullptr && memchr("abc", 'd', 3) == nullptr);
  CHECK(memchr("a\xe9", 0x1e9, 2) != nullptr);

  CHECK(strlen("") == 0 && strlen("setup") == 5);
  CHECK(strnlen("setup", 3) == 3 && strnlen("ab", 8) == 2);
  CHECK(strcmp("abc", "abd") < 0 && strcmp("ab", "a") > 0 && strcmp("x", "x") == 0);
  CHECK(strcmp("\xe9", "a") > 0);
  char n[6] = {'z', 'z', 'z', 'z', 'z', 'z'};
  strncpy(n, "ab", 5);  // pads with nulls to the length
  CHECK(memcmp(n, "ab\0\0\0z", 6) == 0);

  auto* p = static_cast<unsigned char*>(calloc(100, 3));
  CHECK(p != nullptr && memchr(p, 1, 300) == nullptr && memchr(p, 0, 300) == p);
  volatile size_t huge = static_cast<size_t>(-1) / 2;
  CHECK(calloc(huge, 3) == nullptr);  // count * size overflows
  for (int i = 0; i < 300; ++i) p[i] = static_cast<unsigned char>(i);
  p = static_cast<unsigned char*>(realloc(p, 100000));
  CHECK(p != nullptr && p[0] == 0 && p[299] == static_cast<unsigned char>(299));
  free(p);
  void* q = realloc(nullptr, 10);  // a null block: a new one
  CHECK(q != nullptr);
  free(q);
  free(nullptr);
  CHECK(malloc(0) != nullptr);
}

void TestFormat() {
  char b[64];
  int n = Format(b, sizeof b, "%d|%i|%u", -42, 7, 4000000000u);
  CHECK(n == 16 && strcmp(b, "-42|7|4000000000") == 0);
  n = Format(b, sizeof b, "%x %X %lx", 0xbeefu, 0xbeefu, 0ul);
  CHECK(n == 11 && strcmp(b, "beef BEEF 0") == 0);
  n = Format(b, sizeof b, "[%5d][%-5d][%05d][%03d]", 42, 42, -42, 1234);
  CHECK(strcmp(b, "[   42][42   ][-0042][1234]") == 0 && n == 27);
  n = Format(b, sizeof b, "[%s][%.2s][%6s][%-4s]", "jpeg", "jpeg", "ab", "c");
  CHECK(strcmp(b, "[jpeg][jp][    ab][c   ]") == 0 && n == 24);
  n = Format(b, sizeof b, "%c%c 100%% %ld", 'o', 'k', -2147483647L - 1);
  CHECK(strcmp(b, "ok 100% -2147483648") == 0 && n == 19);
  n = Format(b, sizeof b, "%s", static_cast<const char*>(nullptr));
  CHECK(strcmp(b, "(null)") == 0);
  n = Format(b, sizeof b, "%q%");
  CHECK(strcmp(b, "%q%") == 0 && n == 3);

  // Truncated: the full length is returned and the text ends in a null.
  memset(b, 'x', sizeof b);
  n = Format(b, 5, "Bogus marker length %u", 123u);
  CHECK(n == 23 && strcmp(b, "Bogu") == 0 && b[5] == 'x');
  CHECK(Format(nullptr, 0, "%d", 12345) == 5);
}

// longjmp must come back with the callee-saved registers of the frame that
// called setjmp, whatever the frames in between did with them.
std::jmp_buf jump;
int __attribute__((noinline)) Deep(int depth, int value) {
  volatile int clobber[8];
  for (int i = 0; i < 8; ++i) clobber[i] = depth * i;
  if (depth == 0) {
    if (value >= 0) std::longjmp(jump, value);
    return 0;
  }
  return Deep(depth - 1, value) + clobber[depth % 8];
}

void TestJump() {
  volatile int runs = 0;
  int kept = 1234567;  // held in a register across the calls
  switch (setjmp(jump)) {
    case 0:
      ++runs;
      Deep(20, 7);
      CHECK(!"longjmp returned to its caller");
      break;
    case 7:
      ++runs;
      CHECK(kept == 1234567);
      if (runs == 2) Deep(3, 0);  // 0 arrives as 1
      break;
    case 1:
      ++runs;
      break;
    default:
      CHECK(!"setjmp returned a value never passed");
  }
  CHECK(runs == 3);
}

int destroyed = 0;
struct Guard {
  ~Guard() { ++destroyed; }
};

void __attribute__((noinline)) Thrower(int depth) {
  Guard g;
  if (depth == 0) throw std::runtime_error(std::string("depth ") + "reached");
  Thrower(depth - 1);
}

void TestExceptions() {
  try {
    Thrower(5);
    CHECK(!"no exception");
  } catch (const std::exception& e) {  // caught through its base class
    CHECK(strcmp(e.what(), "depth reached") == 0);
  }
  CHECK(destroyed == 6);  // every frame's object, on the way out

  int caught = 0;
  try {
    try {
      throw 42;
    } catch (int v) {
      caught += v;
      try {
        throw std::string("inner");
      } catch (const std::string& s) {
        caught += static_cast<int>(s.size());
      }
      throw;  // the outer exception again
    }
  } catch (int v) {
    caught += v;
  }
  CHECK(caught == 42 + 5 + 42);

  bool bad = false;
  try {
    std::string s;
    s.reserve(static_cast<size_t>(-1) / 4);  // more than the address space
  } catch (const std::bad_alloc&) {
    bad = true;
  } catch (const std::length_error&) {
    bad = true;
  }
  CHECK(bad);
}

int handlers = 0;
void LastHandler() {  // registered first: runs last
  CHECK(handlers == 1);
  // The exit code becomes the failure count only when the handlers ran.
  ExitProcess(static_cast<UINT>(failures));
}
void FirstHandler() { ++handlers; }

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  CHECK(first.rank == 1 && second.rank == 2);
  CHECK(instance == GetModuleHandleA(nullptr));
  char folder[MAX_PATH];
  GetCurrentDirectoryA(sizeof folder, folder);
  CHECK(_getdrive() == (folder[0] | 0x20) - 'a' + 1);
  TestMemory();
  TestFormat();
  TestJump();
  TestExceptions();
  CHECK(atexit(LastHandler) == 0 && atexit(FirstHandler) == 0);
  Say(failures ? "crt_tests: failed\n" : "crt_tests: passed\n");
  return 100;  // left in place only if the exit handlers never ran
}
