// The simulator's own options: which sandbox machine to run the wizard on.
// The wizard itself takes nothing from the command line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/sandbox/Sandbox.h"

namespace qar::fltk {

struct SimulatorOptions {
  std::string machine;   // empty: the demo machine
  std::string os;        // empty: keep the machine's version (new machines: winxp)
  std::string codePage;  // empty: keep the machine's code page (new machines: 1252)
  std::string cwd;       // empty: keep the machine's current directory
  bool help = false;
};

// The --help text: the simulator's versions with the wizard's name for each.
std::string Usage();

// Throws std::invalid_argument with a message for the user on bad options.
SimulatorOptions ParseOptions(const std::vector<std::string>& args);

// $XDG_DATA_HOME/qar-wizard/demo-machine, or ~/.local/share/... without it.
std::string DefaultMachineFolder();

// The demo medium this program brings: installed beside it
// (<prefix>/bin -> <prefix>/share/qar-wizard/demo-medium) or in its build
// tree (<build>/app/fltk -> <build>/demo-medium); else `builtAt`, where the
// build put it.
std::string FindDemoMedium(const std::string& programDir, const std::string& builtAt);

// Opens the machine the options name, creating it when new. Only a machine
// created here gets `demoMedium` as drive D: (read-only) and D:\ as its
// current directory; an existing machine keeps its settings, including a
// D: mapped to a folder that is missing (a CD drive without a disc). The
// demo machine (no --machine) is the program's own, though: when its D: is
// a demo medium that is gone (a build removed or moved), D: becomes
// `demoMedium`, and `note` gets one line saying so.
// Throws SandboxError or std::invalid_argument with a message for the user.
std::unique_ptr<sandbox::SandboxMachine> OpenSimulatorMachine(const SimulatorOptions& options,
                                                              const std::string& demoMedium,
                                                              std::string* note = nullptr);

}  // namespace qar::fltk
