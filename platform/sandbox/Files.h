// The machine's own files, reached through the machine folder held open, so
// that they go with it when it is renamed.
#pragma once

#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

namespace qar::sandbox {

// Bad input to the sandbox itself: a bad machine file, an unknown version,
// an overlapping drive.
class SandboxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() { Close(); }
  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  // False when written data may be lost.
  bool Close() { return fd_ < 0 || ::close(Release()) == 0; }

 private:
  int fd_ = -1;
};

std::string PathNow(int fd);

// The file system does not offer the call or flag (NFS, 9p, FUSE).
bool Unsupported(int error);

bool WriteAll(int fd, const char* data, std::size_t size);

constexpr long long kMachineFileLimit = 16LL << 20;

// A regular file within the limit; false when there is none; anything
// else throws SandboxError naming the file.
bool ReadMachineFile(int folder, const std::string& name, std::string& content);

// Through NAME.tmp renamed over NAME: the old file or the new, never
// a mix.
bool WriteFileAtomically(int folder, const std::string& name, const std::string& content,
                         const std::function<void()>& beforeRename = {});

// One write; one cut short by a full disk is taken back whole.
bool AppendToFile(int folder, const std::string& name, const std::string& text);

// CR, LF or NUL, which no line of a machine file can hold.
bool HasLineBreak(const std::string& text);

// A machine file's lines, each ended by LF or CR LF.
class Lines {
 public:
  Lines(const std::string& text, const std::string& fileName) : text_(text), fileName_(fileName) {}
  bool Next(std::string& line);  // false past the last line
  bool AtEnd() const { return pos_ > text_.size(); }
  std::size_t Number() const { return number_; }
  // Throws SandboxError "<fileName>:<line>: what".
  [[noreturn]] void Fail(const std::string& what, std::size_t line = 0) const;
  // The "quoted" text at line[pos]; pos ends after it.
  std::string Quoted(const std::string& line, std::size_t& pos) const;

 private:
  const std::string& text_;
  std::string fileName_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
};

// `text` in double quotes, \\ and \" escaped.
std::string QuoteString(const std::string& text);

}  // namespace qar::sandbox
