// Whole-file reads and writes on the host, for the machine's own files
// (settings, registry, call log), and the copies between drives, which act
// relative to open folders.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Platform.h"

namespace qar::sandbox {

// The largest machine file read or written: a registry or settings file is
// a few kilobytes, and anything near this is no machine's file.
constexpr long long kMachineFileLimit = 16LL << 20;

// Reads a machine file: a regular file, not a link, at most
// kMachineFileLimit bytes; never blocks on a pipe or device. False with
// `why` set ("no such file", "not a regular file", ...); errno is ENOENT
// when the file is missing.
bool ReadMachineFile(const std::string& path, std::string& content, std::string& why);

// Writes `content` to `path` so that a reader sees the old file or the new
// one, never a mix: a temporary file beside it, flushed, then renamed over
// `path`. `beforeRename` (for tests) runs in between; if it throws, the
// temporary file stays behind as a crash would leave it.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename = {});

// Appends `text` with a single write, regular files only. A write cut short
// (a full disk) is taken back whole, so a reader never sees half a record.
bool AppendToFile(const std::string& path, const std::string& text);

// What the machine's fault injection does to one copy; -1: nothing.
struct CopyFaults {
  long long readable = -1;   // bytes of the source that can be read
  long long* diskLeft = nullptr;  // bytes the disk takes yet, counted down
  long long stopAt = -1;     // bytes written after which the process is killed
};

// Copies the regular file `fromName` of the folder `fromDir` onto `toName`
// in `toDir`, straight onto the target as CopyFileA writes it, keeping the
// last-write time and leaving the copy writable. A copy that fails removes
// its partial target; a killed one leaves it.
CopyResult CopyHostFile(int fromDir, const std::string& fromName, int toDir, const std::string& toName,
                        const CopyFaults& faults);

}  // namespace qar::sandbox
