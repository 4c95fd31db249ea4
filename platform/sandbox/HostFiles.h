// Whole-file reads and writes on the host, for the machine's own files
// (settings, registry, call log) and for copies between drives. Copies act
// relative to open folders, never on a path string that could have changed.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>

namespace qar::sandbox {

// The largest machine file read: a registry or settings file is a few
// kilobytes, and anything near this is no machine's file.
constexpr long long kMachineFileLimit = 16LL << 20;

// How long a machine file's lock is waited for.
constexpr std::chrono::seconds kLockDeadline{3};

// Takes flock(LOCK_EX) on `fd`, retrying until `deadline`; false with errno
// EWOULDBLOCK when it is still held by then.
bool LockWithin(int fd, std::chrono::steady_clock::time_point deadline);

// Reads a machine file: a regular file, not a link, at most
// kMachineFileLimit bytes; never blocks on a pipe or device. False with
// `why` set ("no such file", "not a regular file", ...); errno is ENOENT
// when the file is missing. `st` (if given) gets the stat of the file read.
bool ReadMachineFile(const std::string& path, std::string& content, std::string& why,
                     struct stat* st = nullptr);

// Writes `content` to `path` so that a reader sees the old file or the new
// one, never a mix: a temporary file of a unique name in the same folder,
// flushed to disk, then renamed over `path`. `beforeRename` (for tests) runs
// in between; if it throws, the temporary file stays behind as a crash
// would leave it.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename = {});
// Whether `name` is one of the temporary files WriteFileAtomically makes
// for `file` ("registry.reg" and "registry.reg.tmp-Ab12Cd").
bool IsTemporaryFileOf(const std::string& name, const std::string& file);

// Creates `path`, which must not exist yet, without flushing it.
bool WriteNewFile(const std::string& path, const std::string& content);

// Copies the regular file `fromName` of the folder `fromDir` (whose stat
// was `fromSt` when looked at) to `toName` in `toDir`, keeping the
// last-write time and leaving the copy writable. `replace`: the target
// exists and is replaced only once the new contents are complete; else it
// is new, written in place and removed again when the copy fails.
bool CopyHostFile(int fromDir, const std::string& fromName, const struct stat& fromSt, int toDir,
                  const std::string& toName, bool replace);

// Removes the copies' temporary files (".qar-copy-XXXXXX") that no live copy
// holds, in the folder `dir` and its subfolders down to `depth` levels: left
// by a copy killed in the moment between naming its file and putting it in
// place.
void RemoveStaleCopies(int dir, int depth);

// Appends `text` with a single write under the file's own lock, so
// appenders do not mix; a regular file only. A write cut short (a full disk)
// is taken back whole, so a reader never sees half a record.
bool AppendToFile(const std::string& path, const std::string& text);

}  // namespace qar::sandbox
