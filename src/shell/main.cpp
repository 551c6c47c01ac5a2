// Program entry: command line, service installation, single-instance guard,
// service or desktop mode, then TForm1 on the main thread (the window
// thread) until SIGTERM or SIGINT. A signal thread turns signals into posted
// tasks: SIGHUP runs the settings reload check at once. In desktop mode (a
// display, no --headless, not the service) the window's module is loaded and
// its GUI loop is the window thread; without the module or a display that can
// be opened, the program runs headless and says so in its log.
#include "UCommandLine.h"
#include "UConsole.h"
#include "UDesktopModule.h"
#include "UInstanceGuard.h"
#include "UMain.h"
#include "UService.h"
#include "UVersion.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <iostream>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace quibo;

namespace {

fs::path ExecutablePath(const char* argv0) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::absolute(argv0) : self;
}

int RunServiceCommand(const TCommandLine& line, const fs::path& executable, const fs::path& home) {
  const TServiceResult result = line.Install ? InstallService(executable, home) : UninstallService();
  const char* verb = line.Install ? "install" : "uninstall";
  if (result.Ok) {
    if (!line.Silent) std::cout << "Service " << verb << "ed successfully" << std::endl;
    return 0;
  }
  if (!line.Silent)
    std::cerr << "Service \"" << kServiceDisplayName << "\" failed to " << verb << " with error: \"" << result.Error
              << "\"" << std::endl;
  return 1;
}

// Waits for the blocked signals and hands them to the window thread.
void WatchSignals(TForm1& form, const sigset_t& signals) {
  while (true) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      form.EventQueue().PostTask([&form] { form.CheckSettingsReload(); });
      continue;
    }
    form.Quit();
    return;
  }
}

bool DisplayGiven() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* value = std::getenv(name); value && *value) return true;
  return false;
}

// Runs the desktop window's loop from its module beside the executable; false
// (with the reason logged) when there is no module or no display to open.
bool RunDesktop(TForm1& form, const fs::path& executable, int argc, char** argv) {
  const fs::path module = executable.parent_path() / kDesktopModule;
  void* library = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    form.Log().WriteLog(std::string("No desktop window, running headless: ") + ::dlerror(), true);
    return false;
  }
  const auto run = reinterpret_cast<TRunDesktop*>(::dlsym(library, kRunDesktopSymbol));
  std::string error = run ? run(form, argc, argv) : std::string(::dlerror());
  // The module stays loaded: Qt leaves handlers behind that run at exit.
  if (error.empty()) return true;
  form.Log().WriteLog("No desktop window, running headless: " + error, true);
  return false;
}

} // namespace

int main(int argc, char** argv) {
  const TCommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!line.Error.empty()) {
    std::cerr << "quibo: " << line.Error << "\n" << kUsage;
    return 2;
  }
  if (line.Help) {
    std::cout << kUsage;
    return 0;
  }
  if (line.Version) {
    std::cout << "Quibo dederazu " << kVersionString << std::endl;
    return 0;
  }

  const fs::path executable = ExecutablePath(argv[0]);
  const fs::path home = line.Home.empty() ? executable.parent_path() : fs::absolute(line.Home);
  if (line.Install || line.Uninstall) return RunServiceCommand(line, executable, home);

  std::error_code error;
  fs::create_directories(home, error);
  const std::string programName = executable.stem().string();
  TInstanceGuard guard(home, programName);
  if (!guard.Acquire()) {
    guard.SendShow();
    std::cerr << "Quibo says: Hey, I'm already working!" << std::endl;
    return 1;
  }

  // Signals are taken by one thread; every other thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN); // a file size limit fails the write instead of ending the program

  const bool serviceMode = IsServiceProcess();
  const bool desktop = !line.Headless && !serviceMode && DisplayGiven();
  TForm1 form({home, programName, serviceMode, nullptr});
  TConsole console(form); // the web console, when ConsoleListen asks for it
  form.SetConsole(&console);
  const std::string guardError = guard.ListenForShow([&form] { form.EventQueue().Post(EvShowWindow); });
  form.Create();
  if (!guardError.empty()) form.Log().WriteLog("Show requests are not available: " + guardError, true);
  if (serviceMode) {
    if (form.ServiceMode()) form.EventQueue().Post(EvHideWindow);
    NotifyServiceReady();
    form.EventQueue().Post(EvServiceState, 1);
  }

  std::thread watcher([&form, &signals] { WatchSignals(form, signals); });
  if (!desktop || !RunDesktop(form, executable, argc, argv)) form.Run();
  if (serviceMode) NotifyServiceStopping();
  guard.StopListening(); // its thread posts to the form, which goes away below
  form.Close();
  pthread_kill(watcher.native_handle(), SIGTERM); // harmless when it has already returned
  watcher.join();
  return 0;
}
