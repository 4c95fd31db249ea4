#include "app/fltk/SimulatorOptions.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "deploy/VersionTable.h"
#include "platform/sandbox/Versions.h"

namespace qar::fltk {

std::string Usage() {
  std::string versions;
  for (const sandbox::NamedVersion& version : sandbox::KnownVersions()) {
    std::string name = version.name;
    name.resize(std::max<std::size_t>(name.size(), 11), ' ');
    versions += "                   " + name + " \"" + OsNameFor(version.version) + "\"\n";
  }
  return "Usage: qar-wizard [--machine DIR] [--os NAME] [--code-page N] [--cwd PATH]\n"
         "\n"
         "Runs the setup wizard over a simulated Windows machine kept in a folder.\n"
         "\n"
         "  --machine DIR  the machine folder; created and seeded when new\n"
         "                 (default: $XDG_DATA_HOME/qar-wizard/demo-machine, or\n"
         "                 ~/.local/share/qar-wizard/demo-machine)\n"
         "  --os NAME      the Windows version the machine reports (a new machine\n"
         "                 is seeded as this version; default winxp), one of these,\n"
         "                 shown with the name the wizard gives it:\n" +
         versions +
         "  --code-page N  the machine's ANSI code page: 1252 (Western, a new\n"
         "                 machine's) or 932 (Japanese), where a name may end in a\n"
         "                 character whose second byte is a backslash's\n"
         "  --cwd PATH     the current directory, a Windows path on the machine such\n"
         "                 as D:\\ or D:\\setup (default D:\\); the wizard finds its\n"
         "                 medium there\n"
         "  --help         this text\n"
         "\n"
         "A new machine gets the built-in demo medium as drive D:; an existing one\n"
         "keeps its own drives and settings. Only the demo machine's D: follows this\n"
         "program's demo medium when the one it had is gone.\n";
}

SimulatorOptions ParseOptions(const std::vector<std::string>& args) {
  SimulatorOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= args.size()) throw std::invalid_argument(std::string(name) + " needs a value");
      return args[++i];
    };
    if (arg == "--help" || arg == "-h")
      options.help = true;
    else if (arg == "--machine")
      options.machine = value("--machine");
    else if (arg == "--os")
      options.os = value("--os");
    else if (arg == "--code-page")
      options.codePage = value("--code-page");
    else if (arg == "--cwd")
      options.cwd = value("--cwd");
    else
      throw std::invalid_argument("unknown option " + arg);
  }
  return options;
}

std::string DefaultMachineFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data != nullptr && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0')
      throw std::invalid_argument("HOME is not set; use --machine");
    base = std::string(home) + "/.local/share";
  }
  return base + "/qar-wizard/demo-machine";
}

namespace {

bool IsDemoMedium(const std::filesystem::path& folder) {
  std::error_code error;
  return std::filesystem::is_regular_file(folder / "QAR.exe", error) &&
         std::filesystem::is_directory(folder / "Driver", error);
}

}  // namespace

std::string FindDemoMedium(const std::string& programDir, const std::string& builtAt) {
  if (programDir.empty()) return builtAt;
  const std::filesystem::path dir = programDir;
  for (const std::filesystem::path& candidate :
       {dir / ".." / "share" / "qar-wizard" / "demo-medium", dir / ".." / ".." / "demo-medium"})
    if (IsDemoMedium(candidate)) return candidate.lexically_normal().string();
  return builtAt;
}

std::unique_ptr<sandbox::SandboxMachine> OpenSimulatorMachine(const SimulatorOptions& options,
                                                              const std::string& demoMedium,
                                                              std::string* note) {
  const std::string folder = options.machine.empty() ? DefaultMachineFolder() : options.machine;
  bool created = false;
  auto machine = sandbox::SandboxMachine::OpenOrCreate(
      folder, options.os.empty() ? "winxp" : options.os, &created);
  if (!options.os.empty() && !created) machine->SetVersion(options.os);
  if (created) {
    machine->MapDrive('D', demoMedium, true);
    if (options.cwd.empty()) machine->SetCurrentDirectory("D:\\");
  } else if (options.machine.empty()) {
    const std::filesystem::path old = machine->MappedFolder('D');
    std::error_code error;
    if (old.filename() == "demo-medium" && !std::filesystem::exists(old, error) &&
        old != demoMedium) {
      machine->MapDrive('D', demoMedium, true);
      if (note != nullptr)
        *note = "the demo medium " + old.string() + " is gone; drive D: is now " + demoMedium;
    }
  }
  // Before the current directory, whose name is read in it.
  if (!options.codePage.empty()) {
    const std::string& page = options.codePage;
    if (page.empty() || page.find_first_not_of("0123456789") != std::string::npos ||
        page.size() > 5)
      throw sandbox::SandboxError("--code-page takes a number, not " + page);
    machine->SetCodePage(static_cast<unsigned>(std::stoul(page)));
  }
  if (!options.cwd.empty()) machine->SetCurrentDirectory(options.cwd);
  return machine;
}

}  // namespace qar::fltk
