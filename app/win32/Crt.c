/* The program's own C run-time, over KERNEL32 only: the start-up and the
   few C functions that the program, libstdc++, libgcc and libjpeg call.
   msvcrt.dll is missing on Windows 95 as first shipped, so the program
   cannot import it. The program runs a single thread. */
#include <stdarg.h>
#include <stddef.h>
#include <windows.h>

/* Functions the mingw headers declare as imported (dllimport) are called
   through an __imp_ pointer: each such function here has one too. */
#define QAR_STR2(x) #x
#define QAR_STR(x) QAR_STR2(x)
#define QAR_IMPORT(name, target) \
  void* QAR_IMP_##name __asm__("__imp_" QAR_STR(__USER_LABEL_PREFIX__) #name) = (void*)target

/* The same for a KERNEL32 function, whose i686 name carries the size of
   its arguments. */
#if defined(__i386__)
#define QAR_IMPORT_API(name, bytes, target) \
  void* QAR_IMP_##name __asm__("__imp__" #name "@" #bytes) = (void*)target
#else
#define QAR_IMPORT_API(name, bytes, target) \
  void* QAR_IMP_##name __asm__("__imp_" #name) = (void*)target
#endif

/* --- memory -------------------------------------------------------------- */

void* malloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size ? size : 1); }

void* calloc(size_t count, size_t size) {
  if (size && count > (size_t)-1 / size) return NULL;
  size_t total = count * size;
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, total ? total : 1);
}

void free(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}

/* HeapReAlloc takes no null block. */
void* realloc(void* p, size_t size) {
  if (!p) return malloc(size);
  return HeapReAlloc(GetProcessHeap(), 0, p, size ? size : 1);
}

/* The string instructions: a byte loop would slow the pictures' copies. */
void* memcpy(void* dst, const void* src, size_t n) {
  void* d = dst;
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(src), "+c"(n) : : "memory");
  return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
  unsigned char* d = dst;
  const unsigned char* s = src;
  if (d <= s || d >= s + n) return memcpy(dst, src, n);
  while (n--) d[n] = s[n];
  return dst;
}

void* memset(void* dst, int c, size_t n) {
  void* d = dst;
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(c) : "memory");
  return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
  const unsigned char* x = a;
  const unsigned char* y = b;
  for (; n; --n, ++x, ++y)
    if (*x != *y) return *x - *y;
  return 0;
}

void* memchr(const void* p, int c, size_t n) {
  const unsigned char* s = p;
  for (; n; --n, ++s)
    if (*s == (unsigned char)c) return (void*)s;
  return NULL;
}

size_t strlen(const char* s) {
  const char* e = s;
  while (*e) ++e;
  return (size_t)(e - s);
}

size_t strnlen(const char* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n]) ++n;
  return n;
}

int strcmp(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return (unsigned char)*a - (unsigned char)*b;
}

/* --- formatting ---------------------------------------------------------- */

/* What libjpeg, libstdc++ and libgcc ask of it: %s %c %d %i %u %x %X %p %%,
   with flags '-' '0', a width, a precision and the sizes l, ll and z, as C
   has them (%p as msvcrt prints it). Truncates like C99's and returns the
   full length. At a conversion it does not know, it copies the rest of the
   format as it stands: no argument after it is read in the wrong place. */
int vsnprintf(char* out, size_t size, const char* format, va_list args) {
  size_t n = 0;
#define QAR_PUT(ch)                  \
  do {                               \
    if (n + 1 < size) out[n] = (ch); \
    ++n;                             \
  } while (0)
  for (const char* f = format; *f; ++f) {
    if (*f != '%') {
      QAR_PUT(*f);
      continue;
    }
    const char* start = f;
    int left = 0, zero = 0, width = 0, precision = -1;
    for (;; ++f) {
      if (f[1] == '-')
        left = 1;
      else if (f[1] == '0')
        zero = 1;
      else
        break;
    }
    while (f[1] >= '0' && f[1] <= '9') width = width * 10 + (*++f - '0');
    if (f[1] == '.') {
      ++f;
      precision = 0;
      while (f[1] >= '0' && f[1] <= '9') precision = precision * 10 + (*++f - '0');
    }
    /* 0: int (and long, the same size on Windows), 1: long long, 2: size_t */
    int wide = 0;
    if (f[1] == 'l') {
      ++f;
      if (f[1] == 'l') ++f, wide = 1;
    } else if (f[1] == 'z') {
      ++f, wide = 2;
    }
    char digits[24];
    const char* text = digits;
    size_t length = 0;
    size_t zeros = 0;
    char sign = 0;
    switch (*++f) {
      case 's':
        text = va_arg(args, const char*);
        if (!text) text = "(null)";
        length = precision < 0 ? strlen(text) : strnlen(text, (size_t)precision);
        break;
      case 'c':
        digits[0] = (char)va_arg(args, int);
        length = 1;
        break;
      case 'p':
        wide = 2;
        precision = 2 * (int)sizeof(void*);
        /* fall through */
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long value;
        if (*f == 'd' || *f == 'i') {
          long long v = wide == 1   ? va_arg(args, long long)
                        : wide == 2 ? (long long)va_arg(args, ptrdiff_t)
                                    : (long long)va_arg(args, int);
          if (v < 0) sign = '-';
          value = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
        } else {
          value = wide == 1   ? va_arg(args, unsigned long long)
                  : wide == 2 ? (unsigned long long)va_arg(args, size_t)
                              : (unsigned long long)va_arg(args, unsigned);
        }
        unsigned base = *f == 'd' || *f == 'i' || *f == 'u' ? 10 : 16;
        const char* set = *f == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
        char* p = digits + sizeof digits;
        for (; value; value /= base) *--p = set[value % base];
        text = p;
        length = (size_t)(digits + sizeof digits - p);
        /* Without a precision, 0 is one digit; the precision is the least
           number of digits, and a precision turns the 0 flag off. */
        if (precision < 0) {
          precision = 1;
          if (zero && !left && width > (sign ? 1 : 0)) precision = width - (sign ? 1 : 0);
        }
        if ((size_t)precision > length) zeros = (size_t)precision - length;
        break;
      }
      case '%':
        digits[0] = '%';
        length = 1;
        break;
      default:
        for (f = start; *f; ++f) QAR_PUT(*f);
        --f;
        continue;
    }
    int pad = width - (int)(length + zeros) - (sign ? 1 : 0);
    if (!left)
      for (; pad > 0; --pad) QAR_PUT(' ');
    if (sign) QAR_PUT(sign);
    for (; zeros; --zeros) QAR_PUT('0');
    for (size_t i = 0; i < length; ++i) QAR_PUT(text[i]);
    for (; pad > 0; --pad) QAR_PUT(' ');
  }
  if (size) out[n < size ? n : size - 1] = '\0';
#undef QAR_PUT
  return (int)n;
}

/* mingw's <stdio.h> sends snprintf here when __USE_MINGW_ANSI_STDIO is 0. */
int __ms_vsnprintf(char* out, size_t size, const char* format, va_list args)
    __attribute__((alias("vsnprintf")));

/* libjpeg's default message output writes to stderr: the standard error
   handle, which a GUI program normally lacks. */
typedef struct QarFile {
  DWORD handle;
} QarFile;
static QarFile qar_stderr = {STD_ERROR_HANDLE};

QarFile* __cdecl __acrt_iob_func(unsigned index) { return index == 2 ? &qar_stderr : NULL; }
QAR_IMPORT(__acrt_iob_func, __acrt_iob_func);

int fprintf(QarFile* file, const char* format, ...) {
  HANDLE h = file ? GetStdHandle(file->handle) : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE || h == NULL) return -1;
  char buffer[512];
  char* text = buffer;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof buffer, format, args);
  va_end(args);
  if ((size_t)n >= sizeof buffer) {
    text = malloc((size_t)n + 1);
    if (!text) return -1;
    va_start(args, format);
    vsnprintf(text, (size_t)n + 1, format, args);
    va_end(args);
  }
  DWORD written;
  BOOL ok = WriteFile(h, text, (DWORD)n, &written, NULL) && written == (DWORD)n;
  if (text != buffer) free(text);
  return ok ? n : -1;
}

/* --- exit ---------------------------------------------------------------- */

/* 32 functions, the least that C guarantees. */
static void (*qar_atexit[32])(void);
static int qar_atexit_count;

int atexit(void (*function)(void)) {
  if (qar_atexit_count == (int)(sizeof qar_atexit / sizeof *qar_atexit)) return -1;
  qar_atexit[qar_atexit_count++] = function;
  return 0;
}

void exit(int code) {
  while (qar_atexit_count > 0) qar_atexit[--qar_atexit_count]();
  ExitProcess((UINT)code);
}

/* 3, as the C run-time gives for an abnormal end. */
void abort(void) { ExitProcess(3); }

/* Replaces libstdc++'s handler, which writes the demangled exception type
   to a console this GUI program does not have; its demangler alone costs
   46 KB of the program's size. Nothing reaches it: every handler and the
   start-up are guarded. */
void qar_verbose_terminate(void) __asm__(
    QAR_STR(__USER_LABEL_PREFIX__) "_ZN9__gnu_cxx27__verbose_terminate_handlerEv");
void qar_verbose_terminate(void) { abort(); }

/* --- what libgcc's thread support asks of the C run-time ----------------- */

/* No second thread: libgcc's locks and per-thread keys stay inactive. */
int _CRT_MT = 0;

/* Per-thread destructors would run when a thread ends; the only thread
   ends with the process. */
int __mingwthr_key_dtor(DWORD key, void (*destructor)(void*)) {
  (void)key;
  (void)destructor;
  return 0;
}

/* --- what libstdc++'s random_device refers to -------------------------- */

/* libstdc++'s random.o comes in with its std::string and refers to these,
   but nothing calls them: the program draws no random numbers and opens no
   file descriptor, so they report failure. */
static int qar_errno;
/* Named apart: <windows.h> declares _errno as imported. */
int* __cdecl qar_errno_location(void) __asm__(QAR_STR(__USER_LABEL_PREFIX__) "_errno");
int* __cdecl qar_errno_location(void) { return &qar_errno; }
QAR_IMPORT(_errno, qar_errno_location);

int read(int fd, void* buffer, unsigned size) {
  (void)fd, (void)buffer, (void)size;
  qar_errno = 9; /* EBADF */
  return -1;
}

int close(int fd) {
  (void)fd;
  qar_errno = 9;
  return -1;
}

int __cdecl rand_s(unsigned* value) {
  (void)value;
  return 22; /* EINVAL */
}
QAR_IMPORT(rand_s, rand_s);

/* libgcc creates its locks with CreateSemaphoreW, which Windows 95 only
   stubs; they are unnamed, so the ANSI function does the same. */
static HANDLE WINAPI qar_create_semaphore(SECURITY_ATTRIBUTES* security, LONG initial, LONG maximum,
                                          const WCHAR* name) {
  if (name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  return CreateSemaphoreA(security, initial, maximum, NULL);
}
QAR_IMPORT_API(CreateSemaphoreW, 16, qar_create_semaphore);

/* --- current drive ------------------------------------------------------- */

/* 1 for A: and so on; 0 when the current folder has no drive letter. */
int __cdecl _getdrive(void) {
  char path[MAX_PATH];
  DWORD n = GetCurrentDirectoryA(sizeof path, path);
  if (n < 2 || n >= sizeof path || path[1] != ':') return 0;
  char c = (char)(path[0] | 0x20);
  return c >= 'a' && c <= 'z' ? c - 'a' + 1 : 0;
}
QAR_IMPORT(_getdrive, _getdrive);

/* --- setjmp and longjmp -------------------------------------------------- */

/* Only C frames lie between libjpeg's longjmp and its setjmp: restoring the
   registers that a call preserves is all a jump takes. */
#if defined(__i386__)
/* int _setjmp3(jmp_buf, int, ...); buffer: ebx esi edi ebp esp eip */
__asm__(
    ".text\n"
    ".globl __setjmp3\n"
    "__setjmp3:\n"
    "  movl 4(%esp), %eax\n"
    "  movl %ebx, 0(%eax)\n"
    "  movl %esi, 4(%eax)\n"
    "  movl %edi, 8(%eax)\n"
    "  movl %ebp, 12(%eax)\n"
    "  leal 4(%esp), %ecx\n"
    "  movl %ecx, 16(%eax)\n"
    "  movl (%esp), %ecx\n"
    "  movl %ecx, 20(%eax)\n"
    "  xorl %eax, %eax\n"
    "  ret\n"
    ".globl _longjmp\n"
    "_longjmp:\n"
    "  movl 4(%esp), %edx\n"
    "  movl 8(%esp), %eax\n"
    "  testl %eax, %eax\n"
    "  jnz 1f\n"
    "  incl %eax\n"
    "1:\n"
    "  movl 0(%edx), %ebx\n"
    "  movl 4(%edx), %esi\n"
    "  movl 8(%edx), %edi\n"
    "  movl 12(%edx), %ebp\n"
    "  movl 16(%edx), %esp\n"
    "  jmp *20(%edx)\n");
#elif defined(__x86_64__)
/* int _setjmp(jmp_buf, void*); buffer: rbx rbp rsi rdi r12-r15 rsp rip,
   xmm6-xmm15 from byte 80, MXCSR at 240 and the x87 control word at 244. */
__asm__(
    ".text\n"
    ".globl _setjmp\n"
    "_setjmp:\n"
    "  movq %rbx, 0(%rcx)\n"
    "  movq %rbp, 8(%rcx)\n"
    "  movq %rsi, 16(%rcx)\n"
    "  movq %rdi, 24(%rcx)\n"
    "  movq %r12, 32(%rcx)\n"
    "  movq %r13, 40(%rcx)\n"
    "  movq %r14, 48(%rcx)\n"
    "  movq %r15, 56(%rcx)\n"
    "  leaq 8(%rsp), %rdx\n"
    "  movq %rdx, 64(%rcx)\n"
    "  movq (%rsp), %rdx\n"
    "  movq %rdx, 72(%rcx)\n"
    "  movdqu %xmm6, 80(%rcx)\n"
    "  movdqu %xmm7, 96(%rcx)\n"
    "  movdqu %xmm8, 112(%rcx)\n"
    "  movdqu %xmm9, 128(%rcx)\n"
    "  movdqu %xmm10, 144(%rcx)\n"
    "  movdqu %xmm11, 160(%rcx)\n"
    "  movdqu %xmm12, 176(%rcx)\n"
    "  movdqu %xmm13, 192(%rcx)\n"
    "  movdqu %xmm14, 208(%rcx)\n"
    "  movdqu %xmm15, 224(%rcx)\n"
    "  stmxcsr 240(%rcx)\n"
    "  fnstcw 244(%rcx)\n"
    "  xorl %eax, %eax\n"
    "  ret\n"
    ".globl longjmp\n"
    "longjmp:\n"
    "  movl %edx, %eax\n"
    "  testl %eax, %eax\n"
    "  jnz 1f\n"
    "  incl %eax\n"
    "1:\n"
    "  movq 0(%rcx), %rbx\n"
    "  movq 8(%rcx), %rbp\n"
    "  movq 16(%rcx), %rsi\n"
    "  movq 24(%rcx), %rdi\n"
    "  movq 32(%rcx), %r12\n"
    "  movq 40(%rcx), %r13\n"
    "  movq 48(%rcx), %r14\n"
    "  movq 56(%rcx), %r15\n"
    "  movdqu 80(%rcx), %xmm6\n"
    "  movdqu 96(%rcx), %xmm7\n"
    "  movdqu 112(%rcx), %xmm8\n"
    "  movdqu 128(%rcx), %xmm9\n"
    "  movdqu 144(%rcx), %xmm10\n"
    "  movdqu 160(%rcx), %xmm11\n"
    "  movdqu 176(%rcx), %xmm12\n"
    "  movdqu 192(%rcx), %xmm13\n"
    "  movdqu 208(%rcx), %xmm14\n"
    "  movdqu 224(%rcx), %xmm15\n"
    "  ldmxcsr 240(%rcx)\n"
    "  fldcw 244(%rcx)\n"
    "  movq 64(%rcx), %rsp\n"
    "  jmp *72(%rcx)\n");
#else
#error "setjmp and longjmp are written for x86 and x86-64 only"
#endif
void longjmp(void* buffer, int value) __attribute__((noreturn));
QAR_IMPORT(longjmp, longjmp);

/* --- start-up ------------------------------------------------------------ */

/* Laid out by the linker: a count or -1, the functions, a null. */
typedef void (*QarFunction)(void);
extern QarFunction __CTOR_LIST__[];
extern QarFunction __DTOR_LIST__[];

static void qar_run_destructors(void) {
  for (QarFunction* f = __DTOR_LIST__ + 1; *f; ++f) (*f)();
}

/* Constructors run last to first, as GCC lists them. */
static void qar_run_constructors(void) {
  size_t n = 1;
  while (__CTOR_LIST__[n]) ++n;
  while (--n > 0) __CTOR_LIST__[n]();
  atexit(qar_run_destructors);
}

/* The command line after the program's name, which may be quoted. */
static char* qar_arguments(void) {
  char* p = GetCommandLineA();
  if (*p == '"') {
    for (++p; *p && *p != '"'; ++p) {
    }
    if (*p == '"') ++p;
  } else {
    while (*(unsigned char*)p > ' ') ++p;
  }
  while (*p && *(unsigned char*)p <= ' ') ++p;
  return p;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show);

/* Windows 95 starts a program with its stack aligned to 4 bytes only. */
#if defined(__x86_64__)
/* libgcc raises a C++ exception as a Windows one and calls terminate only
   when RaiseException returns: an exception no handler catches comes back
   here and is continued, so that it ends in terminate and not in Windows'
   report of a crash. (The i686 unwinder needs no such help.) */
static LONG WINAPI qar_continue_cxx_exception(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  return record->ExceptionCode == 0x20474343 /* "GCC " */ &&
                 !(record->ExceptionFlags & EXCEPTION_NONCONTINUABLE)
             ? EXCEPTION_CONTINUE_EXECUTION
             : EXCEPTION_CONTINUE_SEARCH;
}
#endif

__attribute__((force_align_arg_pointer, noreturn)) void WinMainCRTStartup(void) {
#if defined(__x86_64__)
  SetUnhandledExceptionFilter(qar_continue_cxx_exception);
#endif
  qar_run_constructors();
  STARTUPINFOA startup;
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  exit(WinMain(GetModuleHandleA(NULL), NULL, qar_arguments(), show));
}
