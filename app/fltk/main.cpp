// qar-wizard: the setup wizard on Linux, over a simulated Windows machine.
#include <FL/Fl.H>
#include <spawn.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "app/Application.h"
#include "app/fltk/FltkHost.h"
#include "app/fltk/SimulatorOptions.h"
#include "platform/sandbox/Sandbox.h"

extern char** environ;

namespace {

using qar::sandbox::SandboxMachine;

bool IsAddress(const std::string& target) {
  return target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0;
}

// Hands what the wizard opened to the desktop, as the Windows shell would. No
// desktop, no xdg-open or no such file: nothing happens, as nothing would be
// reported on Windows either.
void OpenOnDesktop(const std::string& target, const std::string& hostPath) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) return;
  std::string what = IsAddress(target) ? target : hostPath;
  if (what.empty() || (!IsAddress(target) && access(what.c_str(), F_OK) != 0)) return;
  char* argv[] = {const_cast<char*>("xdg-open"), what.data(), nullptr};
  pid_t pid;
  posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ);
}

// This program's demo medium, found from where the program is.
std::string DemoMedium() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return qar::fltk::FindDemoMedium(error ? std::string() : self.parent_path().string(),
                                   QAR_DEMO_MEDIUM_DIR);
}

}  // namespace

int main(int argc, char** argv) {
  qar::fltk::SimulatorOptions options;
  std::unique_ptr<SandboxMachine> machine;
  try {
    options = qar::fltk::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
      std::cout << qar::fltk::Usage();
      return 0;
    }
    std::string note;
    machine = qar::fltk::OpenSimulatorMachine(options, DemoMedium(), &note);
    if (!note.empty()) std::cerr << "qar-wizard: " << note << "\n";
  } catch (const std::exception& error) {
    std::cerr << "qar-wizard: " << error.what() << "\n"
              << "Try 'qar-wizard --help'.\n";
    return 2;
  }
  std::signal(SIGCHLD, SIG_IGN);  // xdg-open children reap themselves
  machine->SetShellOpenHook(OpenOnDesktop);
  // The operation fails as Windows would fail it, and the wizard shows what
  // it shows for that; the terminal says what was wrong with the machine.
  machine->SetFaultHook(
      [](const std::string& message) { std::cerr << "qar-wizard: " << message << "\n"; });

  Fl::scheme("base");
  qar::fltk::FltkHost host(*machine);
  qar::Application app(*machine, host);
  host.AttachApplication(app);
  return qar::RunGuarded(host, [&] {
    host.LoadArtwork();
    app.CreateForm();
    host.Run();
  });
}
