// Whole-file reads and writes on the host, for the machine's own files
// (settings, registry, call log) and for copies between drives.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

namespace qar::sandbox {

// False when the file cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);

// Writes `content` to `path` so that a reader sees the old file or the new
// one, never a mix: a temporary file in the same folder, flushed to disk,
// then renamed over `path`. `beforeRename` (for tests) runs in between; if
// it throws, the temporary file stays behind as a crash would leave it.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename = {});
// The temporary file WriteFileAtomically uses for `path`.
std::string TemporaryFileFor(const std::string& path);

// Creates `path`, which must not exist yet, without flushing it.
bool WriteNewFile(const std::string& path, const std::string& content);

// Copies the regular file `from` (whose stat is `fromSt`) over the existing
// file `to`, keeping the last-write time and leaving the copy writable. The
// old `to` is replaced only once the new contents are complete.
bool CopyHostFile(const std::string& from, const struct stat& fromSt, const std::string& to);
// The same onto `to`, which does not exist yet: written in place, and
// removed again when the copy fails. False when `to` has appeared meanwhile.
bool CopyToNewHostFile(const std::string& from, const struct stat& fromSt, const std::string& to);

// Appends `text` with a single write, so concurrent appenders do not mix.
bool AppendToFile(const std::string& path, const std::string& text);

}  // namespace qar::sandbox
