#include "app/fltk/SimulatorOptions.h"

#include <cstdlib>
#include <stdexcept>

namespace qar::fltk {

const char* const kUsage =
    "Usage: qar-wizard [--machine DIR] [--os NAME] [--cwd PATH]\n"
    "\n"
    "Runs the setup wizard over a simulated Windows machine kept in a folder.\n"
    "\n"
    "  --machine DIR  the machine folder; created and seeded when new\n"
    "                 (default: $XDG_DATA_HOME/qar-wizard/demo-machine, or\n"
    "                 ~/.local/share/qar-wizard/demo-machine)\n"
    "  --os NAME      the Windows version the machine reports: win31, win95,\n"
    "                 win95osr2, win98, win98se, winme, nt351, nt40, win2000,\n"
    "                 winxp, win2003, vista (a new machine is seeded as this\n"
    "                 version; default winxp)\n"
    "  --cwd PATH     the current directory, a Windows path on the machine such\n"
    "                 as D:\\ or D:\\setup (default D:\\); the wizard finds its\n"
    "                 medium there\n"
    "  --help         this text\n"
    "\n"
    "Drive D: is the built-in demo medium unless the machine maps its own.\n";

SimulatorOptions ParseOptions(const std::vector<std::string>& args) {
  SimulatorOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= args.size()) throw std::invalid_argument(std::string(name) + " needs a value");
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") options.help = true;
    else if (arg == "--machine") options.machine = value("--machine");
    else if (arg == "--os") options.os = value("--os");
    else if (arg == "--cwd") options.cwd = value("--cwd");
    else throw std::invalid_argument("unknown option " + arg);
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

}  // namespace qar::fltk
