// The checks. Each works in a scratch folder or key of its own, so they can
// run in any order on one system.
#include "Conformance.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <memory>

#include "deploy/VersionTable.h"
#include "platform/Error.h"

namespace qar::conformance {

bool Outcome::Expect(bool ok, const std::string& what) {
  if (!ok) failures_.push_back(what);
  return ok;
}

namespace {

const char* YesNo(bool value) { return value ? "true" : "false"; }

const char* SideName(CopyResult::Side side) {
  switch (side) {
    case CopyResult::None:
      return "success";
    case CopyResult::Source:
      return "a source failure";
    case CopyResult::Target:
      return "a target failure";
  }
  return "?";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

// Paths in messages are named relative to the check's scratch folder.
class Scratch {
 public:
  Scratch(ConformanceEnv& env, Outcome& out) : env_(env), out_(out), dir_(env.MakeScratchFolder()) {
    out_.Expect(!dir_.empty(), "set-up: make a scratch folder");
  }
  bool Ready() const { return !dir_.empty(); }
  const std::string& Dir() const { return dir_; }
  std::string In(const std::string& name) const { return name.empty() ? dir_ : dir_ + "\\" + name; }

  // Set-up steps: a failure here fails the check, naming the step.
  bool Write(const std::string& name, const std::string& contents) {
    return out_.Expect(env_.WriteFile(In(name), contents), "set-up: write " + name);
  }
  bool Folder(const std::string& name) {
    return out_.Expect(env_.MakeFolders(In(name)), "set-up: make folder " + name);
  }
  bool ReadOnly(const std::string& name) {
    return out_.Expect(env_.SetReadOnly(In(name)), "set-up: make " + name + " read-only");
  }

  // One expectation on a probe or operation with a true/false result.
  void Is(const char* op, const std::string& name, bool got, bool want) {
    out_.Expect(got == want,
                std::string(op) + "(" + name + ") is " + YesNo(got) + ", want " + YesNo(want));
  }
  void Is(const char* op, const std::string& name, CopyResult got, bool want) {
    Is(op, name, static_cast<bool>(got), want);
  }
  // A copy that must fail, and on which side.
  void Fails(const std::string& name, CopyResult got, CopyResult::Side want) {
    out_.Expect(got.failed == want, "CopyFile(" + name + ") reports " + SideName(got.failed) +
                                        ", want " + SideName(want));
  }
  void Contents(const std::string& name, const std::string& want) {
    std::string got;
    if (!out_.Expect(env_.ReadFile(In(name), got), name + " cannot be read")) return;
    out_.Expect(got == want, name + " holds " + Quoted(got) + ", want " + Quoted(want));
  }
  void Names(const std::string& folder, const std::vector<std::string>& want) {
    const std::vector<std::string> got = env_.ListFolder(In(folder));
    out_.Expect(got == want, "folder " + (folder.empty() ? std::string("scratch") : folder) +
                                 " lists [" + Joined(got) + "], want [" + Joined(want) + "]");
  }

 private:
  ConformanceEnv& env_;
  Outcome& out_;
  std::string dir_;
};

std::string LocalTimeText(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute);
  return text;
}

// False when the time could not be set; a time the host cannot store is a
// note, not a failure.
bool Dated(ConformanceEnv& env, Outcome& out, const std::string& path, const std::string& name,
           const LocalTime& when) {
  switch (env.SetWriteTime(path, when)) {
    case TimeSet::Set:
      return true;
    case TimeSet::NotStorable:
      out.Note("the host file system cannot store " + LocalTimeText(when) + " on " + name +
               "; not checked");
      return false;
    case TimeSet::Failed:
      break;
  }
  out.Expect(false, "set-up: date " + name + " " + LocalTimeText(when));
  return false;
}

// --- file and folder names ---------------------------------------------------

// The install writes QAR.CAT and the removal deletes it as qar.cat.
void PathsIgnoreCase(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("QAR.CAT", "catalogue")) return;
  Platform& p = env.Target();
  s.Is("FileExists", "qar.cat", p.FileExists(s.In("qar.cat")), true);
  s.Is("FileExists", "Qar.Cat", p.FileExists(s.In("Qar.Cat")), true);

  s.Is("CreateDir", "System", p.CreateDir(s.In("System")), true);
  s.Is("DirectoryExists", "SYSTEM", p.DirectoryExists(s.In("SYSTEM")), true);
  s.Is("DirectoryExists", "system", p.DirectoryExists(s.In("system")), true);
  s.Is("CreateDir", "SYSTEM (exists as System)", p.CreateDir(s.In("SYSTEM")), false);

  s.Is("CopyFile", "qar.cat -> SYSTEM\\QAR.CAT",
       p.CopyFile(s.In("qar.cat"), s.In("SYSTEM\\QAR.CAT")), true);
  s.Contents("System\\QAR.CAT", "catalogue");
  s.Is("FileExists", "system\\qar.cat", p.FileExists(s.In("system\\qar.cat")), true);

  // Replacing a file named in another case keeps the stored name.
  if (!s.Write("System\\Update.inf", "old")) return;
  s.Is("CopyFile", "qar.cat -> SYSTEM\\UPDATE.INF",
       p.CopyFile(s.In("qar.cat"), s.In("SYSTEM\\UPDATE.INF")), true);
  s.Contents("System\\Update.inf", "catalogue");
  s.Names("System", {"QAR.CAT", "Update.inf"});
  s.Names("", {"QAR.CAT", "System"});

  s.Is("DeleteFile", "system\\qar.cat", p.DeleteFile(s.In("system\\qar.cat")), true);
  s.Is("FileExists", "System\\QAR.CAT", p.FileExists(s.In("System\\QAR.CAT")), false);
  s.Is("DeleteFile", "qar.cat", p.DeleteFile(s.In("qar.cat")), true);
  s.Names("", {"System"});
}

struct ProbeCase {
  const char* name;
  bool want;
};

// Names are made full as GetFullPathNameA makes them before any lookup.
void PathFormsResolveAlike(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Folder("Driver") || !s.Write("Driver\\QAR.CAT", "catalogue")) return;
  Platform& p = env.Target();
  const ProbeCase files[] = {
      {"Driver/QAR.CAT", true},     {"Driver\\\\QAR.CAT", true},
      {"Driver\\.\\QAR.CAT", true}, {"Driver\\absent\\..\\QAR.CAT", true},
      {"Driver\\QAR.CAT.", true},  // trailing dots and spaces go
      {"Driver\\QAR.CAT .", true},  {"Driver\\QAR.CA", false},
  };
  for (const ProbeCase& c : files) s.Is("FileExists", c.name, p.FileExists(s.In(c.name)), c.want);
  s.Is("DirectoryExists", "Driver/.", p.DirectoryExists(s.In("Driver/.")), true);
  s.Is("DirectoryExists", "Driver\\..\\Driver", p.DirectoryExists(s.In("Driver\\..\\Driver")),
       true);

  s.Is("CopyFile", "Driver/QAR.CAT -> copy.cat. (trailing dot)",
       p.CopyFile(s.In("Driver/QAR.CAT"), s.In("copy.cat.")), true);
  s.Is("CreateDir", "New. (trailing dot)", p.CreateDir(s.In("New.")), true);
  s.Names("", {"Driver", "New", "copy.cat"});
  s.Is("DeleteFile", "copy.cat  (trailing spaces)", p.DeleteFile(s.In("copy.cat  ")), true);
  s.Names("", {"Driver", "New"});
}

void FileExistsByKindOfName(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("plain.sys", "x") || !s.Write("locked.sys", "x") ||
      !s.ReadOnly("locked.sys") || !s.Folder("usb8023w.sys") ||
      !s.Write("usb8023w.sys\\inner.sys", "x"))
    return;
  const ProbeCase cases[] = {
      {"plain.sys", true},
      {"locked.sys", true},  // read-only files count
      {"usb8023w.sys\\inner.sys", true},
      {"usb8023w.sys", false},  // a folder of that name does not
      {"usb8023w.sys\\", false},
      {"plain.sys\\", false},  // a file named as a folder
      {"absent.sys", false},
      {"nofolder\\plain.sys", false},
      {"", false},  // the scratch folder itself
  };
  for (const ProbeCase& c : cases)
    s.Is("FileExists", c.name, env.Target().FileExists(s.In(c.name)), c.want);
}

// Only a last-write time whose local date lies in 1980..2107 counts, as the
// DOS date it is converted to; the edges are checked half an hour either side
// of midnight, so a layer that takes the year in UTC fails away from UTC.
void FileExistsByLastWriteDate(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("usb8023w.sys", "marker")) return;
  const struct {
    LocalTime when;
    bool want;
  } cases[] = {
      {{1979, 6, 15, 12, 0}, false}, {{1979, 12, 31, 23, 30}, false},
      {{1980, 1, 1, 0, 30}, true},   {{1980, 6, 15, 12, 0}, true},
      {{2107, 6, 15, 12, 0}, true},  {{2107, 12, 31, 23, 30}, true},
      {{2108, 1, 1, 0, 30}, false},  {{2108, 6, 15, 12, 0}, false},
  };
  const std::string path = s.In("usb8023w.sys");
  for (const auto& c : cases) {
    if (!Dated(env, out, path, "usb8023w.sys", c.when)) continue;
    s.Is("FileExists", "usb8023w.sys dated " + LocalTimeText(c.when), env.Target().FileExists(path),
         c.want);
  }
}

// The install checks the medium's driver files by size before it copies:
// empty counts as a file, a folder or a missing name does not, and the date
// rule of FileExists plays no part.
void FileSizeByKindOfName(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("plain.sys", "12345") || !s.Write("empty.sys", "") ||
      !s.Write("old.sys", "abc") || !s.Write("locked.sys", "xy") || !s.ReadOnly("locked.sys") ||
      !s.Folder("Folder"))
    return;
  const struct {
    const char* name;
    bool found;
    std::uint64_t size;
  } cases[] = {
      {"plain.sys", true, 5},        {"PLAIN.SYS", true, 5},   {"empty.sys", true, 0},
      {"locked.sys", true, 2},       {"old.sys", true, 3},     {"Folder", false, 0},
      {"Folder\\", false, 0},        {"absent.sys", false, 0}, {"", false, 0},
      {"nofolder\\x.sys", false, 0},
  };
  Dated(env, out, s.In("old.sys"), "old.sys", {1979, 6, 15, 12, 0});
  for (const auto& c : cases) {
    std::uint64_t size = 12345678;
    const bool found = env.Target().FileSize(s.In(c.name), size);
    s.Is("FileSize", c.name, found, c.found);
    if (found && c.found)
      out.Expect(size == c.size, std::string("FileSize(") + c.name + ") is " +
                                     std::to_string(size) + ", want " + std::to_string(c.size));
  }
}

void DirectoryExistsByKindOfName(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Folder("Folder\\Sub") || !s.Write("file.txt", "x")) return;
  const ProbeCase cases[] = {
      {"Folder", true},      {"FOLDER", true},  {"Folder\\", true},
      {"Folder\\Sub", true}, {"", true},        {"file.txt", false},
      {"file.txt\\", false}, {"absent", false}, {"absent\\deeper", false},
  };
  for (const ProbeCase& c : cases)
    s.Is("DirectoryExists", c.name, env.Target().DirectoryExists(s.In(c.name)), c.want);
  const std::string root = s.Dir().substr(0, 3);
  s.Is("DirectoryExists", root, env.Target().DirectoryExists(root), true);
}

void CreateDirMakesOneLevelOnly(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("file.txt", "x")) return;
  Platform& p = env.Target();
  s.Is("CreateDir", "QAR", p.CreateDir(s.In("QAR")), true);
  s.Is("DirectoryExists", "QAR", p.DirectoryExists(s.In("QAR")), true);
  s.Is("CreateDir", "QAR (exists)", p.CreateDir(s.In("QAR")), false);
  s.Is("CreateDir", "qar (exists as QAR)", p.CreateDir(s.In("qar")), false);
  s.Is("CreateDir", "QAR\\Sub\\", p.CreateDir(s.In("QAR\\Sub\\")), true);
  s.Is("DirectoryExists", "QAR\\Sub", p.DirectoryExists(s.In("QAR\\Sub")), true);

  s.Is("CreateDir", "a\\b (parent missing)", p.CreateDir(s.In("a\\b")), false);
  s.Is("DirectoryExists", "a", p.DirectoryExists(s.In("a")), false);
  s.Is("CreateDir", "file.txt (a file)", p.CreateDir(s.In("file.txt")), false);
  s.Is("FileExists", "file.txt", p.FileExists(s.In("file.txt")), true);
  s.Is("CreateDir", "file.txt\\sub", p.CreateDir(s.In("file.txt\\sub")), false);
  s.Names("", {"QAR", "file.txt"});
}

// --- copies and deletions ----------------------------------------------------

void CopyFileCreatesAndReplaces(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("source.sys", "new") ||
      !s.Write("older.sys", "an older and longer file"))
    return;
  Platform& p = env.Target();
  s.Is("CopyFile", "source.sys -> target.sys", p.CopyFile(s.In("source.sys"), s.In("target.sys")),
       true);
  s.Contents("target.sys", "new");
  s.Is("CopyFile", "source.sys -> older.sys", p.CopyFile(s.In("source.sys"), s.In("older.sys")),
       true);
  s.Contents("older.sys", "new");
  s.Contents("source.sys", "new");

  // The copy keeps the source's last-write time, and with it whether
  // FileExists sees the copy.
  const struct {
    LocalTime when;
    bool want;
  } dates[] = {{{1979, 6, 15, 12, 0}, false}, {{2001, 8, 24, 12, 0}, true}};
  for (const auto& d : dates) {
    if (!Dated(env, out, s.In("source.sys"), "source.sys", d.when)) continue;
    s.Is("CopyFile", "source.sys -> dated.sys", p.CopyFile(s.In("source.sys"), s.In("dated.sys")),
         true);
    s.Is("FileExists", "dated.sys copied from a file dated " + LocalTimeText(d.when),
         p.FileExists(s.In("dated.sys")), d.want);
  }
}

// The install's box names the side: the medium for a source that is gone
// or unreadable, the Windows folder for anything that stops the write.
void CopyFileFailures(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("source.sys", "source") || !s.Write("kept.sys", "kept") ||
      !s.Write("locked.sys", "locked") || !s.ReadOnly("locked.sys") || !s.Folder("Folder"))
    return;
  const struct {
    const char* what;
    const char* source;
    const char* target;
    CopyResult::Side side;
  } cases[] = {
      {"missing source", "absent.sys", "kept.sys", CopyResult::Source},
      {"missing source folder", "nofolder\\absent.sys", "kept.sys", CopyResult::Source},
      {"missing target folder", "source.sys", "nofolder\\target.sys", CopyResult::Target},
      {"read-only target", "source.sys", "locked.sys", CopyResult::Target},
      {"source is a folder", "Folder", "fromfolder.sys", CopyResult::Source},
      {"target is a folder", "source.sys", "Folder", CopyResult::Target},
      {"onto itself", "source.sys", "SOURCE.SYS", CopyResult::Target},
  };
  for (const auto& c : cases)
    s.Fails(std::string(c.source) + " -> " + c.target + " (" + c.what + ")",
            env.Target().CopyFile(s.In(c.source), s.In(c.target)), c.side);
  s.Contents("kept.sys", "kept");
  s.Contents("locked.sys", "locked");
  s.Contents("source.sys", "source");
  s.Is("DirectoryExists", "Folder", env.Target().DirectoryExists(s.In("Folder")), true);
  s.Names("", {"Folder", "kept.sys", "locked.sys", "source.sys"});
  s.Names("Folder", {});
}

// Files from a CD are read-only; their copies must not be, or the next
// install's copy and the removal would fail.
void CopyFromReadOnlySourceIsWritable(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("cd.sys", "from cd") || !s.ReadOnly("cd.sys") ||
      !s.Write("existing.sys", "old"))
    return;
  Platform& p = env.Target();
  for (const char* target : {"copy.sys", "existing.sys"}) {
    s.Is("CopyFile", std::string("cd.sys -> ") + target, p.CopyFile(s.In("cd.sys"), s.In(target)),
         true);
    s.Contents(target, "from cd");
    out.Expect(!env.IsReadOnly(s.In(target)),
               std::string(target) + " copied from a read-only file is read-only");
    s.Is("CopyFile", std::string("cd.sys -> ") + target + " again",
         p.CopyFile(s.In("cd.sys"), s.In(target)), true);
    s.Is("DeleteFile", target, p.DeleteFile(s.In(target)), true);
    s.Is("FileExists", target, p.FileExists(s.In(target)), false);
  }
  out.Expect(env.IsReadOnly(s.In("cd.sys")), "cd.sys lost its read-only attribute");
}

void DeleteFileByKindOfName(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("usb8023w.sys", "x") || !s.Write("locked.sys", "locked") ||
      !s.ReadOnly("locked.sys") || !s.Folder("Folder"))
    return;
  Platform& p = env.Target();
  s.Is("DeleteFile", "usb8023w.sys", p.DeleteFile(s.In("usb8023w.sys")), true);
  s.Is("FileExists", "usb8023w.sys", p.FileExists(s.In("usb8023w.sys")), false);
  const ProbeCase failing[] = {
      {"usb8023w.sys", false},  // already gone
      {"absent.sys", false},   {"nofolder\\absent.sys", false}, {"locked.sys", false},  // read-only
      {"Folder", false},
  };
  for (const ProbeCase& c : failing) s.Is("DeleteFile", c.name, p.DeleteFile(s.In(c.name)), c.want);
  s.Contents("locked.sys", "locked");
  s.Is("DirectoryExists", "Folder", p.DirectoryExists(s.In("Folder")), true);
  s.Names("", {"Folder", "locked.sys"});
}

// The marker's copy is renamed into place; MoveFileA never replaces.
void RenameFileWithinAFolder(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("usb8023w.new", "new") || !s.Write("kept.sys", "kept") ||
      !s.Folder("Folder"))
    return;
  Platform& p = env.Target();
  s.Is("RenameFile", "usb8023w.new -> kept.sys (exists)",
       p.RenameFile(s.In("usb8023w.new"), s.In("kept.sys")), false);
  s.Contents("kept.sys", "kept");
  s.Contents("usb8023w.new", "new");
  s.Is("RenameFile", "usb8023w.new -> KEPT.SYS (exists in another case)",
       p.RenameFile(s.In("usb8023w.new"), s.In("KEPT.SYS")), false);
  s.Is("RenameFile", "absent.new -> absent.sys",
       p.RenameFile(s.In("absent.new"), s.In("absent.sys")), false);
  s.Is("RenameFile", "usb8023w.new -> nofolder\\usb8023w.sys",
       p.RenameFile(s.In("usb8023w.new"), s.In("nofolder\\usb8023w.sys")), false);
  s.Is("RenameFile", "USB8023W.NEW -> usb8023w.sys",
       p.RenameFile(s.In("USB8023W.NEW"), s.In("usb8023w.sys")), true);
  s.Contents("usb8023w.sys", "new");
  s.Is("RenameFile", "usb8023w.sys -> Folder\\usb8023w.sys",
       p.RenameFile(s.In("usb8023w.sys"), s.In("Folder\\usb8023w.sys")), true);
  s.Contents("Folder\\usb8023w.sys", "new");
  s.Names("", {"Folder", "kept.sys"});
  s.Names("Folder", {"usb8023w.sys"});
}

// Files another installer left read-only are cleared before the install
// copies over them and before removal deletes them.
void ClearAttributesByKindOfName(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Write("locked.sys", "locked") || !s.ReadOnly("locked.sys") ||
      !s.Write("plain.sys", "plain") || !s.Write("source.sys", "new") || !s.Folder("Folder"))
    return;
  Platform& p = env.Target();
  s.Is("CopyFile", "source.sys -> locked.sys (read-only)",
       p.CopyFile(s.In("source.sys"), s.In("locked.sys")), false);
  s.Is("ClearAttributes", "LOCKED.SYS", p.ClearAttributes(s.In("LOCKED.SYS")), true);
  out.Expect(!env.IsReadOnly(s.In("locked.sys")),
             "locked.sys is still read-only after ClearAttributes");
  s.Contents("locked.sys", "locked");
  s.Is("CopyFile", "source.sys -> locked.sys (cleared)",
       p.CopyFile(s.In("source.sys"), s.In("locked.sys")), true);
  s.Contents("locked.sys", "new");
  if (!s.ReadOnly("locked.sys")) return;
  s.Is("ClearAttributes", "locked.sys (read-only again)", p.ClearAttributes(s.In("locked.sys")),
       true);
  s.Is("DeleteFile", "locked.sys (cleared)", p.DeleteFile(s.In("locked.sys")), true);
  const ProbeCase cases[] = {
      {"plain.sys", true},    // not read-only: nothing to do
      {"locked.sys", false},  // deleted
      {"absent.sys", false}, {"nofolder\\absent.sys", false}, {"Folder", false},
  };
  for (const ProbeCase& c : cases)
    s.Is("ClearAttributes", c.name, p.ClearAttributes(s.In(c.name)), c.want);
  out.Expect(!env.IsReadOnly(s.In("plain.sys")), "plain.sys became read-only");
  s.Names("", {"Folder", "plain.sys", "source.sys"});
}

// --- registry ----------------------------------------------------------------

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Opens a key as the product does, each operation afresh.
std::unique_ptr<RegistryKey> Open(ConformanceEnv& env, Outcome& out, const std::string& path,
                                  const std::string& label) {
  std::unique_ptr<RegistryKey> key = env.Target().OpenKey(path);
  out.Expect(key != nullptr, "OpenKey(" + label + ") gave no key");
  return key;
}

void Stored(ConformanceEnv& env, Outcome& out, const std::string& key, const std::string& label,
            const std::string& name, const std::string& want) {
  std::string got;
  if (!out.Expect(env.ReadRegistryString(key, name, got), label + " has no string " + Quoted(name)))
    return;
  out.Expect(got == want,
             label + " " + Quoted(name) + " holds " + Quoted(got) + ", want " + Quoted(want));
}

void Absent(ConformanceEnv& env, Outcome& out, const std::string& key, const std::string& label,
            const std::string& name) {
  std::string got;
  out.Expect(!env.ReadRegistryString(key, name, got),
             label + " still has " + Quoted(name) + " = " + Quoted(got));
}

void RegistryRoundTrip(ConformanceEnv& env, Outcome& out) {
  const std::string key = env.ScratchKey();
  const struct {
    const char* name;
    const char* data;
  } values[] = {
      {"SourcePath", "C:\\Windows\\System\\"},
      {"QAR", "C:\\QAR\\QAR.exe"},
      {"Empty", ""},
      {"Spaced", " two  words "},
      {"", "the default value"},
  };
  for (const auto& v : values) {
    auto opened = Open(env, out, key, "scratch key");
    if (!opened) return;
    out.Expect(opened->SetString(v.name, v.data),
               std::string("SetString(") + Quoted(v.name) + ") failed");
  }
  for (const auto& v : values) Stored(env, out, key, "scratch key", v.name, v.data);

  // A value set again is replaced; key and value names ignore case.
  if (auto k = Open(env, out, key, "scratch key"))
    out.Expect(k->SetString("SourcePath", "D:\\"), "SetString again");
  Stored(env, out, key, "scratch key", "SourcePath", "D:\\");
  if (auto k = Open(env, out, Lower(key), "scratch key in lower case"))
    out.Expect(k->SetString("sourcepath", "E:\\"), "SetString(\"sourcepath\") failed");
  Stored(env, out, key, "scratch key", "SourcePath", "E:\\");
}

void OpenKeyCreatesMissingKeys(ConformanceEnv& env, Outcome& out) {
  const std::string key = env.ScratchKey() + "\\CurrentVersion\\Run";
  Absent(env, out, key, "new key", "QAR");
  if (auto k = Open(env, out, key, "a key whose parents are missing"))
    out.Expect(k->SetString("QAR", "C:\\QAR\\QAR.exe"), "SetString on the created key failed");
  Stored(env, out, key, "created key", "QAR", "C:\\QAR\\QAR.exe");
  // Opening an existing key keeps what it holds.
  out.Expect(env.Target().OpenKey(key) != nullptr, "OpenKey of the existing key gave no key");
  Stored(env, out, key, "reopened key", "QAR", "C:\\QAR\\QAR.exe");
}

void LeadingBackslashMeansRoot(ConformanceEnv& env, Outcome& out) {
  const std::string key = env.ScratchKey();
  if (auto k = Open(env, out, "\\" + key, "\\scratch key"))
    out.Expect(k->SetString("Via", "backslash"), "SetString through \\scratch key failed");
  Stored(env, out, key, "scratch key", "Via", "backslash");
  if (auto k = Open(env, out, key, "scratch key"))
    out.Expect(k->SetString("Plain", "x"), "SetString failed");
  if (auto k = Open(env, out, "\\" + key, "\\scratch key"))
    out.Expect(k->DeleteValue("Plain"), "DeleteValue through \\scratch key failed");
  Absent(env, out, key, "scratch key", "Plain");

  // RegCreateKeyExA itself skips one more leading backslash on 95, 98 and
  // ME; on NT the name is bad. Repeated backslashes inside count as one.
  OsVersion version;
  if (!out.Expect(env.Target().QueryVersion(version), "QueryVersion failed")) return;
  const bool nt = version.platformId == 2;
  std::unique_ptr<RegistryKey> twice = env.Target().OpenKey("\\\\" + key);
  out.Expect((twice != nullptr) != nt, std::string("OpenKey(\\\\scratch key) ") +
                                           (twice ? "gave" : "gave no") + " key on " +
                                           (nt ? "NT" : "95/98/ME"));
  if (twice) {
    out.Expect(twice->SetString("Twice", "x"), "SetString through \\\\scratch key failed");
    Stored(env, out, key, "scratch key", "Twice", "x");
  }
  if (!out.Expect(!env.Target().OpenKey("\\\\\\" + key), "OpenKey(\\\\\\scratch key) gave a key"))
    return;
  if (auto k = Open(env, out, key + "\\\\Inner\\", "scratch key\\\\Inner\\"))
    out.Expect(k->SetString("Inner", "y"), "SetString through scratch key\\\\Inner\\ failed");
  Stored(env, out, key + "\\Inner", "scratch key\\Inner", "Inner", "y");
}

void DeleteValuePresentAndAbsent(ConformanceEnv& env, Outcome& out) {
  const std::string key = env.ScratchKey();
  if (auto k = Open(env, out, key, "scratch key")) {
    out.Expect(k->SetString("Installation Sources", "D:\\"),
               "SetString(\"Installation Sources\") failed");
    out.Expect(k->SetString("SourcePath", "C:\\"), "SetString(\"SourcePath\") failed");
  }
  if (auto k = Open(env, out, key, "scratch key"))
    out.Expect(k->DeleteValue("installation sources"), "DeleteValue of a present value failed");
  Absent(env, out, key, "scratch key", "Installation Sources");
  Stored(env, out, key, "scratch key", "SourcePath", "C:\\");
  if (auto k = Open(env, out, key, "scratch key")) {
    out.Expect(!k->DeleteValue("Installation Sources"), "DeleteValue of a deleted value succeeded");
    out.Expect(!k->DeleteValue("Never Written"), "DeleteValue of an absent value succeeded");
  }
}

// Without administrator rights the Setup key cannot be opened for writing;
// the write must then raise the error the install command reports.
void WriteStringRaisesWhereKeyCannotBeOpened(ConformanceEnv& env, Outcome& out) {
  const auto raises = [](RegistryKey* key) {
    try {
      WriteString(key, "SourcePath", "C:\\Windows\\System\\");
    } catch (const Error&) {
      return true;
    }
    return false;
  };
  out.Expect(raises(nullptr), "WriteString without a key did not raise");

  const std::string locked = env.UnwritableKey();
  if (locked.empty()) {
    out.Note("this system has no key that cannot be opened for writing");
  } else {
    std::unique_ptr<RegistryKey> key = env.Target().OpenKey(locked);
    out.Expect(key == nullptr, "OpenKey(" + locked + ") gave a key");
    out.Expect(raises(key.get()), "WriteString on " + locked + " did not raise");
    Absent(env, out, locked, locked, "SourcePath");
  }

  const std::string key = env.ScratchKey();
  std::unique_ptr<RegistryKey> open = Open(env, out, key, "scratch key");
  if (!open) return;
  try {
    WriteString(open.get(), "SourcePath", "C:\\Windows\\System\\");
  } catch (const Error& e) {
    out.Expect(false, std::string("WriteString on an open key raised: ") + e.what());
  }
  Stored(env, out, key, "scratch key", "SourcePath", "C:\\Windows\\System\\");
}

// --- current drive and directory ---------------------------------------------

// GetCurrentDrive and GetCurrentDir after `path` (a full path) was made
// current.
void CurrentIs(ConformanceEnv& env, Outcome& out, const std::string& path) {
  const std::string label =
      path.size() > 40 ? "a folder of " + std::to_string(path.size()) + " characters" : path;
  const int drive = std::toupper(static_cast<unsigned char>(path[0])) - 'A';
  const int gotDrive = env.Target().GetCurrentDrive();
  out.Expect(gotDrive == drive, "GetCurrentDrive in " + label + " is " + std::to_string(gotDrive) +
                                    ", want " + std::to_string(drive));
  std::string dir = "unchanged";
  if (!out.Expect(env.Target().GetCurrentDir(dir), "GetCurrentDir in " + label + " failed")) return;
  std::string want = path.substr(3);
  if (!want.empty() && want.back() == '\\') want.pop_back();
  out.Expect(dir == want,
             "GetCurrentDir in " + label + " is " + Quoted(dir) + ", want " + Quoted(want));
}

void CurrentDriveAndDirectory(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready() || !s.Folder("Setup\\Driver") || !s.Write("Setup\\QAR.exe", "companion")) return;
  Platform& p = env.Target();
  if (out.Expect(env.SetCurrentDir(s.In("Setup")), "set-up: make Setup current")) {
    CurrentIs(env, out, s.In("Setup"));
    // Relative names start there.
    s.Is("FileExists", "QAR.exe relative to Setup", p.FileExists("QAR.exe"), true);
    s.Is("FileExists", "Driver\\..\\qar.exe relative to Setup", p.FileExists("Driver\\..\\qar.exe"),
         true);
    s.Is("DirectoryExists", "Driver relative to Setup", p.DirectoryExists("Driver"), true);
  }
  const std::string root = s.Dir().substr(0, 3);
  if (out.Expect(env.SetCurrentDir(root), "set-up: make " + root + " current"))
    CurrentIs(env, out, root);

  const std::string other = env.OtherDriveRoot();
  if (other.empty())
    out.Note("no second drive to make current");
  else if (out.Expect(env.SetCurrentDir(other), "set-up: make " + other + " current"))
    CurrentIs(env, out, other);
}

// Read whole past 255 characters. Windows takes a current directory of at
// most MAX_PATH - 2 characters; where the system refuses a longer one the
// refusal is noted and the longest it takes is checked.
void LongCurrentDirectory(ConformanceEnv& env, Outcome& out) {
  Scratch s(env, out);
  if (!s.Ready()) return;
  for (std::size_t length : {240, 258, 300}) {
    std::string path = s.In("long");
    while (path.size() < length) {
      // Names of at most 40 characters; none left empty at the end.
      const std::size_t room = length - path.size();  // backslash included
      const std::size_t part = room == 42 ? 39 : std::min<std::size_t>(room - 1, 40);
      path += "\\" + std::string(part, static_cast<char>('a' + path.size() % 26));
    }
    if (!out.Expect(env.MakeFolders(path),
                    "set-up: make a folder of " + std::to_string(length) + " characters"))
      continue;
    if (!env.SetCurrentDir(path)) {
      // Windows refuses past MAX_PATH - 2; a shorter refusal is a fault.
      if (!out.Expect(length > 258, "the system refuses a current directory of " +
                                        std::to_string(length) + " characters"))
        continue;
      out.Note("the system refuses a current directory of " + std::to_string(length) +
               " characters; checked up to 258");
      continue;
    }
    CurrentIs(env, out, path);
  }
}

// --- version -----------------------------------------------------------------

void VersionNaming(ConformanceEnv& env, Outcome& out) {
  OsVersion version;
  if (!out.Expect(env.Target().QueryVersion(version), "QueryVersion failed")) return;
  const std::string name = GetOSName(env.Target());
  const std::string want = env.ExpectedOsName();
  out.Expect(name == want, "GetOSName is " + Quoted(name) + ", want " + Quoted(want) +
                               " (platform " + std::to_string(version.platformId) + ", version " +
                               std::to_string(version.major) + "." + std::to_string(version.minor) +
                               ", service pack " + Quoted(version.Csd()) + ")");
}

}  // namespace

const std::vector<Check>& Checks() {
  static const std::vector<Check> checks = {
      {"PathsIgnoreCase", PathsIgnoreCase},
      {"PathFormsResolveAlike", PathFormsResolveAlike},
      {"FileExistsByKindOfName", FileExistsByKindOfName},
      {"FileExistsByLastWriteDate", FileExistsByLastWriteDate},
      {"DirectoryExistsByKindOfName", DirectoryExistsByKindOfName},
      {"FileSizeByKindOfName", FileSizeByKindOfName},
      {"CreateDirMakesOneLevelOnly", CreateDirMakesOneLevelOnly},
      {"CopyFileCreatesAndReplaces", CopyFileCreatesAndReplaces},
      {"CopyFileFailures", CopyFileFailures},
      {"CopyFromReadOnlySourceIsWritable", CopyFromReadOnlySourceIsWritable},
      {"DeleteFileByKindOfName", DeleteFileByKindOfName},
      {"RenameFileWithinAFolder", RenameFileWithinAFolder},
      {"ClearAttributesByKindOfName", ClearAttributesByKindOfName},
      {"RegistryRoundTrip", RegistryRoundTrip},
      {"OpenKeyCreatesMissingKeys", OpenKeyCreatesMissingKeys},
      {"LeadingBackslashMeansRoot", LeadingBackslashMeansRoot},
      {"DeleteValuePresentAndAbsent", DeleteValuePresentAndAbsent},
      {"WriteStringRaisesWhereKeyCannotBeOpened", WriteStringRaisesWhereKeyCannotBeOpened},
      {"CurrentDriveAndDirectory", CurrentDriveAndDirectory},
      {"LongCurrentDirectory", LongCurrentDirectory},
      {"VersionNaming", VersionNaming},
  };
  return checks;
}

Outcome RunCheck(const Check& check, ConformanceEnv& env) {
  Outcome out;
  try {
    check.run(env, out);
  } catch (const std::exception& e) {
    out.Expect(false, std::string("raised: ") + e.what());
  } catch (...) {
    out.Expect(false, "raised a non-standard exception");
  }
  return out;
}

namespace {

// What the wizard must call each of the simulator's versions, and which of
// them Wine's version setting takes too.
struct ExpectedName {
  const char* version;
  const char* osName;
  bool wine;
};
// clang-format off
const ExpectedName kExpectedNames[] = {
    {"win31",      "Microsoft Windows 3.1",     false},
    {"win95",      "Microsoft Windows 95",      true},
    {"win95a",     "Microsoft Windows 95",      false},
    {"win95osr2",  "Microsoft Windows 95 OSR2", false},
    {"win95osr25", "Microsoft Windows 95 OSR2", false},
    {"win98",      "Microsoft Windows 98 SE",   true},
    {"win98se",    "Microsoft Windows 98 SE",   false},
    {"winme",      "Microsoft Windows ME",      true},
    {"nt351",      "Microsoft Windows NT 3.51", true},
    {"nt40",       "Microsoft Windows NT 4.0",  true},
    {"win2000",    "Microsoft Windows 2000",    false},
    {"win2k",      "Microsoft Windows 2000",    true},
    {"winxp",      "Microsoft Windows XP",      true},
    {"win2003",    "Microsoft Windows ",        true},
    {"vista",      "Microsoft Windows ",        true},
};
// clang-format on

bool SameName(const std::string& a, const char* b) {
  std::string lower = a;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == b;
}

}  // namespace

const char* ExpectedOsNameFor(const std::string& versionName) {
  for (const ExpectedName& expected : kExpectedNames)
    if (SameName(versionName, expected.version)) return expected.osName;
  return nullptr;
}

std::vector<std::string> VersionNames() {
  std::vector<std::string> names;
  for (const ExpectedName& expected : kExpectedNames)
    if (expected.wine) names.push_back(expected.version);
  return names;
}

}  // namespace qar::conformance
