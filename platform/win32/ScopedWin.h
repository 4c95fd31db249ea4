// <windows.h> for platform/win32 and the Win32 host, and RAII owners for
// Win32 handles so every exit path closes them. Include <windows.h> only
// through this header: it removes the macros CopyFile, DeleteFile and
// MessageBox, which would rename our methods of the same names.
// Call the ANSI functions by their full names (CopyFileA, MessageBoxA).
#pragma once

#include <windows.h>

#undef CopyFile
#undef DeleteFile
#undef MessageBox

namespace qar::win32 {

// A search handle from FindFirstFileA; FindClose on destruction.
class ScopedFind {
 public:
  ScopedFind(const char* pattern, WIN32_FIND_DATAA& data)
      : handle_(FindFirstFileA(pattern, &data)) {}
  ~ScopedFind() {
    if (Valid()) FindClose(handle_);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// An open registry key; RegCloseKey on destruction.
class ScopedKey {
 public:
  explicit ScopedKey(HKEY key = nullptr) : key_(key) {}
  ~ScopedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY Get() const { return key_; }
  HKEY* Receive() { return &key_; }

 private:
  HKEY key_;
};

}  // namespace qar::win32
