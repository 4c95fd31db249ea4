#include "app/fltk/SimulatorOptions.h"

#include <cstdlib>
#include <stdexcept>

#include "platform/sandbox/Versions.h"

namespace qar::fltk {

std::string Usage() {
  // The version list wrapped to fit beside the option names.
  std::string versions, line = "                ";
  const std::string names = sandbox::KnownVersionNames() + ".";
  for (std::size_t start = 0; start < names.size();) {
    std::size_t end = names.find(' ', start);
    if (end == std::string::npos) end = names.size();
    const std::string word = names.substr(start, end - start);
    start = end + 1;
    if (line.size() + 1 + word.size() > 78) {
      versions += line + "\n";
      line = "                ";
    }
    line += " " + word;
  }
  versions += line + "\n";
  return "Usage: qar-wizard [--machine DIR] [--os NAME] [--cwd PATH]\n"
         "\n"
         "Runs the setup wizard over a simulated Windows machine kept in a folder.\n"
         "\n"
         "  --machine DIR  the machine folder; created and seeded when new\n"
         "                 (default: $XDG_DATA_HOME/qar-wizard/demo-machine, or\n"
         "                 ~/.local/share/qar-wizard/demo-machine)\n"
         "  --os NAME      the Windows version the machine reports (a new machine\n"
         "                 is seeded as this version; default winxp), one of:\n" +
         versions +
         "  --cwd PATH     the current directory, a Windows path on the machine such\n"
         "                 as D:\\ or D:\\setup (default D:\\); the wizard finds its\n"
         "                 medium there\n"
         "  --help         this text\n"
         "\n"
         "A new machine gets the built-in demo medium as drive D:; an existing one\n"
         "keeps its own drives and settings.\n";
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
    if (home == nullptr || home[0] == '\0') throw std::invalid_argument("HOME is not set; use --machine");
    base = std::string(home) + "/.local/share";
  }
  return base + "/qar-wizard/demo-machine";
}

std::unique_ptr<sandbox::SandboxMachine> OpenSimulatorMachine(const SimulatorOptions& options,
                                                              const std::string& demoMedium) {
  const std::string folder = options.machine.empty() ? DefaultMachineFolder() : options.machine;
  bool created = false;
  auto machine =
      sandbox::SandboxMachine::OpenOrCreate(folder, options.os.empty() ? "winxp" : options.os, &created);
  if (!options.os.empty() && !created) machine->SetVersion(options.os);
  if (created) {
    machine->MapDrive('D', demoMedium, true);
    if (options.cwd.empty()) machine->SetCurrentDirectory("D:\\");
  }
  if (!options.cwd.empty()) machine->SetCurrentDirectory(options.cwd);
  return machine;
}

}  // namespace qar::fltk
