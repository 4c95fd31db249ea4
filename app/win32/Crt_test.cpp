// Checks the program's own C run-time (Crt.c), linked as Setup.exe is: its
// start-up and exit, C functions, setjmp/longjmp and C++ exceptions over it.
// Built with -fno-builtin, so that every call reaches Crt.c. The exit code is
// the number of failures; each failure is written to the standard output.
// With a command line, it is the child that TestChildren starts.
#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
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
void* malloc(size_t size);
void* calloc(size_t count, size_t size);
void* realloc(void* p, size_t size);
void free(void* p);
int atexit(void (*function)(void));
int _getdrive(void);
}
// The run-time's fprintf and stderr, which the headers send elsewhere in C++.
#define QAR_STR2(x) #x
#define QAR_STR(x) QAR_STR2(x)
#define QAR_C_NAME(name) QAR_STR(__USER_LABEL_PREFIX__) #name
extern "C" void* QarStream(unsigned index) __asm__(QAR_C_NAME(__acrt_iob_func));
extern "C" int QarFprintf(void* file, const char* format, ...) __asm__(QAR_C_NAME(fprintf));
#include <csetjmp>

// What qar_probe finds in the callee-saved registers after a longjmp back to
// its setjmp. It sets them to known values, calls setjmp, then sets them to
// zeros and calls longjmp(buffer, 5) from a lower stack.
struct Registers {
#if defined(__x86_64__)
  uint64_t general[8];  // rbx rbp rsi rdi r12-r15
  uint8_t xmm[160];     // xmm6-xmm15, set from the third argument
  uint32_t mxcsr;
  uint16_t x87;  // the control word
  uint16_t unused;
  int32_t value;  // what setjmp returned
  uint32_t unused2;
  uint64_t sp, sp_at_setjmp;
#else
  uint32_t general[4];  // ebx esi edi ebp
  uint32_t sp;
  int32_t value;
  uint32_t sp_at_setjmp;
#endif
};
extern "C" void qar_probe(void* buffer, Registers* after, const uint8_t* xmm);

// clang-format off
#if defined(__x86_64__)
static_assert(sizeof(Registers) == 256, "the offsets below");
__asm__(
    ".text\n"
    ".globl qar_probe\n"
    "qar_probe:\n"
    "  pushq %rbp\n  pushq %rbx\n  pushq %rsi\n  pushq %rdi\n"
    "  pushq %r12\n  pushq %r13\n  pushq %r14\n  pushq %r15\n"
    "  subq $232, %rsp\n"
    "  movq %rcx, 32(%rsp)\n"
    "  movq %rdx, 40(%rsp)\n"
    "  stmxcsr 48(%rsp)\n"
    "  fnstcw 52(%rsp)\n"
    "  movdqu %xmm6, 56(%rsp)\n  movdqu %xmm7, 72(%rsp)\n  movdqu %xmm8, 88(%rsp)\n"
    "  movdqu %xmm9, 104(%rsp)\n  movdqu %xmm10, 120(%rsp)\n  movdqu %xmm11, 136(%rsp)\n"
    "  movdqu %xmm12, 152(%rsp)\n  movdqu %xmm13, 168(%rsp)\n  movdqu %xmm14, 184(%rsp)\n"
    "  movdqu %xmm15, 200(%rsp)\n"
    "  movq %rsp, 248(%rdx)\n"
    "  movdqu 0(%r8), %xmm6\n  movdqu 16(%r8), %xmm7\n  movdqu 32(%r8), %xmm8\n"
    "  movdqu 48(%r8), %xmm9\n  movdqu 64(%r8), %xmm10\n  movdqu 80(%r8), %xmm11\n"
    "  movdqu 96(%r8), %xmm12\n  movdqu 112(%r8), %xmm13\n  movdqu 128(%r8), %xmm14\n"
    "  movdqu 144(%r8), %xmm15\n"
    "  movabsq $0x0101010101010101, %rbx\n  movabsq $0x0202020202020202, %rbp\n"
    "  movabsq $0x0303030303030303, %rsi\n  movabsq $0x0404040404040404, %rdi\n"
    "  movabsq $0x0505050505050505, %r12\n  movabsq $0x0606060606060606, %r13\n"
    "  movabsq $0x0707070707070707, %r14\n  movabsq $0x0808080808080808, %r15\n"
    "  movl $0x7f80, 216(%rsp)\n  ldmxcsr 216(%rsp)\n"  // rounding toward zero
    "  movw $0x027f, 220(%rsp)\n  fldcw 220(%rsp)\n"    // 53-bit precision
    "  movq 32(%rsp), %rcx\n"
    "  xorl %edx, %edx\n"
    "  call _setjmp\n"
    "  testl %eax, %eax\n"
    "  jnz 1f\n"
    "  xorl %ebx, %ebx\n  xorl %ebp, %ebp\n  xorl %esi, %esi\n  xorl %edi, %edi\n"
    "  xorl %r12d, %r12d\n  xorl %r13d, %r13d\n  xorl %r14d, %r14d\n  xorl %r15d, %r15d\n"
    "  pxor %xmm6, %xmm6\n  pxor %xmm7, %xmm7\n  pxor %xmm8, %xmm8\n  pxor %xmm9, %xmm9\n"
    "  pxor %xmm10, %xmm10\n  pxor %xmm11, %xmm11\n  pxor %xmm12, %xmm12\n"
    "  pxor %xmm13, %xmm13\n  pxor %xmm14, %xmm14\n  pxor %xmm15, %xmm15\n"
    "  movl $0x1f80, 216(%rsp)\n  ldmxcsr 216(%rsp)\n"
    "  movw $0x037f, 220(%rsp)\n  fldcw 220(%rsp)\n"
    "  movq 32(%rsp), %rcx\n"
    "  movl $5, %edx\n"
    "  subq $64, %rsp\n"
    "  call longjmp\n"
    "1:\n"
    "  movq 40(%rsp), %r10\n"
    "  movq %rbx, 0(%r10)\n  movq %rbp, 8(%r10)\n  movq %rsi, 16(%r10)\n  movq %rdi, 24(%r10)\n"
    "  movq %r12, 32(%r10)\n  movq %r13, 40(%r10)\n  movq %r14, 48(%r10)\n  movq %r15, 56(%r10)\n"
    "  movdqu %xmm6, 64(%r10)\n  movdqu %xmm7, 80(%r10)\n  movdqu %xmm8, 96(%r10)\n"
    "  movdqu %xmm9, 112(%r10)\n  movdqu %xmm10, 128(%r10)\n  movdqu %xmm11, 144(%r10)\n"
    "  movdqu %xmm12, 160(%r10)\n  movdqu %xmm13, 176(%r10)\n  movdqu %xmm14, 192(%r10)\n"
    "  movdqu %xmm15, 208(%r10)\n"
    "  stmxcsr 224(%r10)\n  fnstcw 228(%r10)\n  movl %eax, 232(%r10)\n  movq %rsp, 240(%r10)\n"
    "  ldmxcsr 48(%rsp)\n  fldcw 52(%rsp)\n"
    "  movdqu 56(%rsp), %xmm6\n  movdqu 72(%rsp), %xmm7\n  movdqu 88(%rsp), %xmm8\n"
    "  movdqu 104(%rsp), %xmm9\n  movdqu 120(%rsp), %xmm10\n  movdqu 136(%rsp), %xmm11\n"
    "  movdqu 152(%rsp), %xmm12\n  movdqu 168(%rsp), %xmm13\n  movdqu 184(%rsp), %xmm14\n"
    "  movdqu 200(%rsp), %xmm15\n"
    "  addq $232, %rsp\n"
    "  popq %r15\n  popq %r14\n  popq %r13\n  popq %r12\n"
    "  popq %rdi\n  popq %rsi\n  popq %rbx\n  popq %rbp\n"
    "  ret\n");
#else
static_assert(sizeof(Registers) == 28, "the offsets below");
__asm__(
    ".text\n"
    ".globl _qar_probe\n"
    "_qar_probe:\n"
    "  pushl %ebp\n  pushl %ebx\n  pushl %esi\n  pushl %edi\n"
    "  pushl 24(%esp)\n"  // after
    "  pushl 24(%esp)\n"  // buffer
    "  movl 4(%esp), %eax\n"
    "  movl %esp, 24(%eax)\n"
    "  movl $0x11111111, %ebx\n  movl $0x22222222, %esi\n"
    "  movl $0x33333333, %edi\n  movl $0x44444444, %ebp\n"
    "  pushl $0\n"
    "  pushl 4(%esp)\n"
    "  call __setjmp3\n"
    "  addl $8, %esp\n"
    "  testl %eax, %eax\n"
    "  jnz 1f\n"
    "  xorl %ebx, %ebx\n  xorl %esi, %esi\n  xorl %edi, %edi\n  xorl %ebp, %ebp\n"
    "  movl (%esp), %eax\n"
    "  subl $64, %esp\n"
    "  pushl $5\n"
    "  pushl %eax\n"
    "  call _longjmp\n"
    "1:\n"
    "  movl 4(%esp), %ecx\n"
    "  movl %ebx, 0(%ecx)\n  movl %esi, 4(%ecx)\n  movl %edi, 8(%ecx)\n  movl %ebp, 12(%ecx)\n"
    "  movl %esp, 16(%ecx)\n  movl %eax, 20(%ecx)\n"
    "  addl $8, %esp\n"
    "  popl %edi\n  popl %esi\n  popl %ebx\n  popl %ebp\n"
    "  ret\n");
#endif
// clang-format on

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
  if (out != NULL && out != INVALID_HANDLE_VALUE)
    WriteFile(out, text, strlen(text), &written, NULL);
}

void Check(bool ok, const char* what, int line) {
  if (ok) return;
  ++failures;
  char text[160];
  Format(text, sizeof text, "FAIL line %d: %s\n", line, what);
  Say(text);
}
#define CHECK(x) Check((x), #x, __LINE__)

// Written to the standard output by the exit handlers and destructors, in
// the child that checks them.
bool tracing = false;
void Trace(const char* text) {
  if (tracing) Say(text);
}

// Static construction runs before WinMain: by priority, then in the order of
// definition. Destruction runs the other way.
char built[8];
int constructed = 0;
void Built(char mark) { built[constructed++] = mark; }
__attribute__((constructor(101))) void Early() { Built('a'); }
__attribute__((constructor(200))) void Later() { Built('b'); }
__attribute__((destructor)) void Gone() { Trace("d"); }
struct Order {
  char mark[2];
  explicit Order(char m) : mark{m, '\0'} { Built(m); }
  ~Order() { Trace(mark); }
};
Order first('1');
Order second('2');

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

  auto* p = static_cast<unsigned char*>(calloc(100, 3));
  CHECK(p != nullptr && memchr(p, 1, 300) == nullptr && memchr(p, 0, 300) == p);
  volatile size_t huge = static_cast<size_t>(-1) / 2;
  CHECK(calloc(huge, 3) == nullptr);  // count * size overflows
  volatile size_t wraps = static_cast<size_t>(-1) / 16 + 2;
  CHECK(calloc(wraps, 16) == nullptr);  // to 16 bytes
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

// One case: the text for a buffer of SIZE bytes is FULL cut to fit, no byte
// past the buffer changes, and the length of FULL is returned.
void ExpectFormat(int line, size_t size, const char* full, const char* format, ...) {
  char b[128];
  memset(b, '#', sizeof b);
  va_list args;
  va_start(args, format);
  int n = __ms_vsnprintf(b, size, format, args);
  va_end(args);
  size_t length = strlen(full);
  size_t kept = length < size - 1 ? length : size - 1;
  if (n == static_cast<int>(length) && memcmp(b, full, kept) == 0 && b[kept] == '\0' &&
      b[size] == '#')
    return;
  ++failures;
  b[sizeof b - 1] = '\0';
  char text[400];
  Format(text, sizeof text, "FAIL line %d: \"%s\" into %u bytes gave \"%s\", %d\n", line, format,
         static_cast<unsigned>(size), b, n);
  Say(text);
}

void TestFormat() {
  const bool wide = sizeof(void*) == 8;
#define FORMAT(...) ExpectFormat(__LINE__, __VA_ARGS__)
  // clang-format off
  FORMAT(64, "-42|7|4000000000", "%d|%i|%u", -42, 7, 4000000000u);
  FORMAT(64, "beef BEEF 0", "%x %X %lx", 0xbeefu, 0xbeefu, 0ul);
  FORMAT(64, "[   42][42   ][-0042][1234][42   ][-7   ]", "[%5d][%-5d][%05d][%03d][%-05d][%0-5d]", 42, 42, -42, 1234, 42, -7);
  FORMAT(64, "[jpeg][jp][    ab][c   ]", "[%s][%.2s][%6s][%-4s]", "jpeg", "jpeg", "ab", "c");
  FORMAT(64, "ok 100% -2147483648", "%c%c 100%% %ld", 'o', 'k', -2147483647L - 1);
  FORMAT(64, "(null)", "%s", static_cast<const char*>(nullptr));
  FORMAT(64, "007|-007|     007|00a  ||     |0|0", "%.3d|%.3d|%08.3d|%-5.3x|%.0d|%5.0u|%x|%.1d", 7, -7, 7, 10u, 0, 0u, 0u, 0);
  FORMAT(64, "5000000000|7", "%lld|%d", 5000000000LL, 7);
  FORMAT(64, "-9223372036854775808 18446744073709551615 123456789abcdef0", "%lld %llu %llx", LLONG_MIN, ULLONG_MAX, 0x123456789abcdef0ULL);
  FORMAT(64, wide ? "18446744073709551615|-5|7" : "4294967295|-5|7", "%zu|%zd|%d", SIZE_MAX, static_cast<ptrdiff_t>(-5), 7);
  FORMAT(64, wide ? "000000000000BEEF|7" : "0000BEEF|7", "%p|%d", reinterpret_cast<void*>(0xbeef), 7);
  // A conversion it does not know: the rest as it stands, no argument read.
  FORMAT(64, "%q%", "%q%");
  FORMAT(64, "1 %f %d", "%d %f %d", 1, 2.0, 3);
  // Cut to fit: the full length is returned and the text ends in a null.
  FORMAT(5, "Bogus marker length 123", "Bogus marker length %u", 123u);
  FORMAT(1, "   42", "%5d", 42);
  FORMAT(2, "   42", "%5d", 42);
  FORMAT(2, "ab   ", "%-5s", "ab");
  // clang-format on
#undef FORMAT
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

void TestRegisters() {
  uint8_t xmm[160];
  for (int i = 0; i < 160; ++i) xmm[i] = static_cast<uint8_t>(i * 7 + 1);
  Registers r;
  memset(&r, 0, sizeof r);
  std::jmp_buf buffer;
  qar_probe(buffer, &r, xmm);
  CHECK(r.value == 5 && r.sp == r.sp_at_setjmp);
#if defined(__x86_64__)
  for (int i = 0; i < 8; ++i) CHECK(r.general[i] == 0x0101010101010101ull * (i + 1));
  CHECK(memcmp(r.xmm, xmm, sizeof xmm) == 0);
  CHECK((r.mxcsr & ~0x3fu) == 0x7f80 && r.x87 == 0x027f);
#else
  for (int i = 0; i < 4; ++i) CHECK(r.general[i] == 0x11111111u * (i + 1));
#endif
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

void AtExitA() { Trace("A"); }
void AtExitB() { Trace("B"); }

// The child's part: its command line, then what it was asked to do.
int Child(const char* arguments) {
  Say(arguments);
  Say("|");
  if (strcmp(arguments, "exit") == 0) {
    tracing = true;
    CHECK(atexit(AtExitA) == 0 && atexit(AtExitB) == 0);
    std::string line(600, 'x');  // more than fprintf's own buffer
    int n = QarFprintf(QarStream(2), "%s|%d\n", line.c_str(), 7);
    char text[16];
    Format(text, sizeof text, "%d|", n);
    Say(text);
    return 42;
  }
  if (strcmp(arguments, "throw") == 0) throw 1;
  return 99;
}

// Runs this program again with COMMAND as its command line, its standard
// output and error into a pipe; true when it ends with CODE and wrote EXPECTED.
bool RunChild(const std::string& command, DWORD code, const std::string& expected) {
  char program[MAX_PATH];
  GetModuleFileNameA(nullptr, program, sizeof program);
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE read, write;
  if (!CreatePipe(&read, &write, &inherited, 65536)) return false;
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = write;
  PROCESS_INFORMATION process;
  std::string line = command;
  BOOL started = CreateProcessA(program, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process);
  CloseHandle(write);
  DWORD ended = 0;
  if (started) {
    // Waited for, then read: a debugger that Windows starts for a crash
    // would hold the pipe open.
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
      TerminateProcess(process.hProcess, 1000);
    GetExitCodeProcess(process.hProcess, &ended);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  std::string output;
  char chunk[256];
  DWORD got, waiting;
  while (PeekNamedPipe(read, nullptr, 0, nullptr, &waiting, nullptr) && waiting &&
         ReadFile(read, chunk, sizeof chunk < waiting ? sizeof chunk : waiting, &got, nullptr) &&
         got)
    output.append(chunk, got);
  CloseHandle(read);
  if (ended == code && output == expected) return true;
  char text[128];
  Format(text, sizeof text, "child \"%s\": exit code %u, wrote:\n", command.c_str(),
         static_cast<unsigned>(ended));
  Say(text);
  Say(output.c_str());
  Say("\n");
  return false;
}

void TestChildren() {
  // The program's name unquoted, with a byte of 0x80 or more; WinMain's
  // value is the exit code, after the exit handlers and destructors ran.
  CHECK(
      RunChild("C:\\\xdc"
               "bung\\w.exe exit",
               42, "exit|" + std::string(600, 'x') + "|7\n603|BAd21"));
  // An exception that escapes WinMain ends in terminate.
  char program[MAX_PATH];
  GetModuleFileNameA(nullptr, program, sizeof program);
  CHECK(RunChild(std::string("\"") + program + "\" throw", 3, "throw|"));
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int) {
  if (*arguments) return Child(arguments);
  CHECK(strcmp(built, "ab12") == 0);
  CHECK(instance == GetModuleHandleA(nullptr));
  char folder[MAX_PATH];
  GetCurrentDirectoryA(sizeof folder, folder);
  CHECK(_getdrive() == (folder[0] | 0x20) - 'a' + 1);
  TestMemory();
  TestFormat();
  TestRegisters();  // first: a wrong register may crash the other checks
  TestJump();
  TestExceptions();
  TestChildren();
  Say(failures ? "crt_tests: failed\n" : "crt_tests: passed\n");
  // Not returned: the count must be the exit code even where the start-up
  // drops WinMain's value, which the child checks.
  ExitProcess(static_cast<UINT>(failures));
}
