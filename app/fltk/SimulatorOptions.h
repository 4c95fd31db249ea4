// The simulator's own options: which sandbox machine to run the wizard on.
// The wizard itself takes nothing from the command line.
#pragma once

#include <string>
#include <vector>

namespace qar::fltk {

struct SimulatorOptions {
  std::string machine;  // empty: the demo machine
  std::string os;       // empty: keep the machine's version (new machines: winxp)
  std::string cwd;      // empty: keep the machine's current directory
  bool help = false;
};

extern const char* const kUsage;

// Throws std::invalid_argument with a message for the user on bad options.
SimulatorOptions ParseOptions(const std::vector<std::string>& args);

// $XDG_DATA_HOME/qar-wizard/demo-machine, or ~/.local/share/... without it.
std::string DefaultMachineFolder();

}  // namespace qar::fltk
