// Test fixtures shared by the suites: temporary folders, a medium on the host,
// a fresh sandbox machine, and a platform that records the calls it forwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "deploy/VersionTable.h"
#include "platform/sandbox/Sandbox.h"
#include "platform/sandbox/Versions.h"

namespace qar::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qar-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& child) const { return path_ + "/" + child; }

 private:
  std::string path_;
};

inline void WriteHostFile(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

// The wizard's row for a version the simulator knows ("winxp").
inline const WindowsVersion* Version(const std::string& name) {
  return &RecogniseVersion(sandbox::FindVersion(name)->version);
}

// The machine opened afresh, as by the next run: one process holds a
// machine at a time.
inline sandbox::SandboxMachine& Reopen(std::unique_ptr<sandbox::SandboxMachine>& machine) {
  const std::string folder = machine->Folder();
  machine.reset();
  machine = sandbox::SandboxMachine::Open(folder);
  return *machine;
}

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The host refuses `call` with `error` while this lives, as some file
// systems do.
class HostRefusal {
 public:
  HostRefusal(sandbox::HostCall call, int error) : call_(call) {
    sandbox::RefuseHostCall(call, error);
  }
  ~HostRefusal() { sandbox::RefuseHostCall(call_, 0); }
  HostRefusal(const HostRefusal&) = delete;
  HostRefusal& operator=(const HostRefusal&) = delete;

 private:
  sandbox::HostCall call_;
};

// The driver files a medium carries, each with its own contents.
inline const std::vector<std::string>& MediumDriverFiles() {
  static const std::vector<std::string> files = {"QAR.CAT",      "QAR.inf",      "rndismpk.sys",
                                                 "rndismpm.sys", "rndismpw.sys", "usb8023k.sys",
                                                 "usb8023m.sys", "usb8023w.sys"};
  return files;
}

inline std::string DriverContents(const std::string& name) { return "contents of " + name + "\n"; }

struct MediumOptions {
  bool driverFolder = true;
  bool companion = true;
  std::string missingDriverFile;  // left off the medium
  bool emptyDriverFiles = false;  // a bad burn: every driver file empty
};

// A medium laid out as on the CD, below `root`.
inline void WriteMedium(const std::string& root, MediumOptions options = {}) {
  if (options.driverFolder)
    for (const std::string& name : MediumDriverFiles())
      if (name != options.missingDriverFile)
        WriteHostFile(root + "/Driver/" + name,
                      options.emptyDriverFiles ? "" : DriverContents(name));
  if (options.companion) WriteHostFile(root + "/QAR.exe", "companion program\n");
  WriteHostFile(root + "/Manual/K7Q3WG_MN.pdf", "%PDF-1.1\n");
  WriteHostFile(root + "/Adobe Acrobat/ar505enu.exe", "reader installer\n");
}

// A fresh machine of the named version with a medium as drive D: and the
// current directory at `cwd`. `mediumSubfolder` puts the medium below D:\.
class TestMachine {
 public:
  explicit TestMachine(const std::string& osName = "winxp", MediumOptions medium = {},
                       const std::string& mediumSubfolder = "", unsigned codePage = 1252) {
    std::string mediumRoot = mediumDir_.Path();
    if (!mediumSubfolder.empty()) mediumRoot += "/" + mediumSubfolder;
    std::filesystem::create_directories(mediumRoot);
    WriteMedium(mediumRoot, medium);
    machine_ = sandbox::SandboxMachine::Create(machineDir_ / "machine", osName);
    machine_->MapDrive('D', mediumDir_.Path(), true);
    machine_->SetCodePage(codePage);
    machine_->SetCurrentDirectory(mediumSubfolder.empty() ? "D:\\" : "D:\\" + mediumSubfolder);
  }

  sandbox::SandboxMachine& Machine() { return *machine_; }
  sandbox::SandboxMachine* operator->() { return machine_.get(); }
  const std::string& MediumHostDir() const { return mediumDir_.Path(); }
  // Contents of a file on the machine, "" when absent.
  std::string Read(const std::string& windowsPath) const {
    const std::string host = machine_->HostPath(windowsPath);
    return host.empty() ? std::string() : ReadHostFile(host);
  }
  bool Exists(const std::string& windowsPath) { return machine_->FileExists(windowsPath); }

 private:
  TempDir machineDir_;
  TempDir mediumDir_;
  std::unique_ptr<sandbox::SandboxMachine> machine_;
};

// Forwards to an open key and records each call with the key's number;
// "CloseKey N" when it is closed.
class RecordingKey : public RegistryKey {
 public:
  RecordingKey(std::unique_ptr<RegistryKey> inner, std::vector<std::string>& calls, int number)
      : inner_(std::move(inner)), calls_(calls), number_(std::to_string(number)) {}
  ~RecordingKey() override { calls_.push_back("CloseKey " + number_); }
  bool SetString(const std::string& name, const std::string& data) override {
    calls_.push_back("SetString " + number_ + " " + name + " = " + data);
    return inner_->SetString(name, data);
  }
  bool DeleteValue(const std::string& name) override {
    calls_.push_back("DeleteValue " + number_ + " " + name);
    return inner_->DeleteValue(name);
  }

 private:
  std::unique_ptr<RegistryKey> inner_;
  std::vector<std::string>& calls_;
  std::string number_;
};

// Forwards to another platform and records each call as "Op arg [arg]"; the
// keys it opens record theirs.
class RecordingPlatform : public Platform {
 public:
  explicit RecordingPlatform(Platform& inner) : inner_(inner) {}
  std::vector<std::string> calls;

  std::vector<std::string> CallsOf(const std::string& op) const {
    std::vector<std::string> args;
    for (const std::string& call : calls)
      if (call.compare(0, op.size() + 1, op + " ") == 0) args.push_back(call.substr(op.size() + 1));
    return args;
  }

  bool QueryVersion(OsVersion& out) override {
    calls.push_back("QueryVersion ");
    return inner_.QueryVersion(out);
  }
  int GetCurrentDrive() override { return inner_.GetCurrentDrive(); }
  bool GetCurrentDir(std::string& out) override {
    calls.push_back("GetCurrentDir ");
    return inner_.GetCurrentDir(out);
  }
  bool FileExists(const std::string& path) override {
    calls.push_back("FileExists " + path);
    return inner_.FileExists(path);
  }
  bool DirectoryExists(const std::string& path) override {
    calls.push_back("DirectoryExists " + path);
    return inner_.DirectoryExists(path);
  }
  bool FileSize(const std::string& path, std::uint64_t& size) override {
    calls.push_back("FileSize " + path);
    return inner_.FileSize(path, size);
  }
  bool CreateDir(const std::string& path) override {
    calls.push_back("CreateDir " + path);
    return inner_.CreateDir(path);
  }
  CopyResult CopyFile(const std::string& source, const std::string& target) override {
    calls.push_back("CopyFile " + source + " -> " + target);
    return inner_.CopyFile(source, target);
  }
  bool DeleteFile(const std::string& path) override {
    calls.push_back("DeleteFile " + path);
    return inner_.DeleteFile(path);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    calls.push_back("RenameFile " + from + " -> " + to);
    return inner_.RenameFile(from, to);
  }
  bool ClearAttributes(const std::string& path) override {
    calls.push_back("ClearAttributes " + path);
    return inner_.ClearAttributes(path);
  }
  bool IsLeadByte(char byte) override { return inner_.IsLeadByte(byte); }
  std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override {
    calls.push_back("OpenKey " + path);
    std::unique_ptr<RegistryKey> key = inner_.OpenKey(path);
    if (!key) return nullptr;
    return std::make_unique<RecordingKey>(std::move(key), calls, ++keys_);
  }
  void ShellOpen(const std::string& target) override {
    calls.push_back("ShellOpen " + target);
    inner_.ShellOpen(target);
  }

 private:
  Platform& inner_;
  int keys_ = 0;
};

}  // namespace qar::test
