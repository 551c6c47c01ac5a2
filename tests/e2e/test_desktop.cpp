// The real program on a real X display: an Xvfb server and a small tray host
// started by the test. Skipped, with the reason, only where Xvfb cannot start.
#include "TQuiboProcess.h"

#include <gtest/gtest.h>

using namespace quibo::test;

namespace {

// A program that runs beside the test and is ended with it.
class TBackgroundProgram {
public:
  TBackgroundProgram(std::vector<std::string> arguments, const std::vector<std::string>& environment,
                     int outputFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (outputFd >= 0) posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    std::vector<char*> argv;
    for (auto& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables(environment);
    for (char** entry = environ; *entry; ++entry)
      variables.emplace_back(*entry);
    std::vector<char*> envp;
    for (auto& variable : variables)
      envp.push_back(variable.data());
    envp.push_back(nullptr);
    if (::posix_spawnp(&Child, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) Child = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~TBackgroundProgram() {
    if (Child <= 0) return;
    ::kill(Child, SIGTERM);
    ::waitpid(Child, nullptr, 0);
  }
  bool Started() const { return Child > 0; }

private:
  pid_t Child = -1;
};

// Xvfb on the first free display, which it names on a pipe once it accepts clients.
std::unique_ptr<TBackgroundProgram> StartXvfb(std::string& display, std::string& failure) {
  int ready[2];
  if (::pipe(ready) != 0) {
    failure = "no pipe";
    return nullptr;
  }
  auto server =
      std::make_unique<TBackgroundProgram>(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(ready[1]),
                                                                    "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                                           std::vector<std::string>{}, -1);
  ::close(ready[1]);
  std::string number;
  pollfd wait{ready[0], POLLIN, 0};
  char c = 0;
  while (server->Started() && ::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &c, 1) == 1 && c != '\n')
    number += c;
  ::close(ready[0]);
  if (!server->Started() || number.empty()) {
    failure = server->Started() ? "Xvfb did not name its display" : "Xvfb is not installed";
    return nullptr;
  }
  display = ":" + number;
  return server;
}

std::string X(const std::vector<std::string>& command, const std::string& display) {
  std::string out;
  RunProgram(command, &out, nullptr, {"DISPLAY=" + display});
  return out;
}

class Desktop : public ::testing::Test {
protected:
  void SetUp() override {
    std::string failure;
    Server = StartXvfb(Display, failure);
    if (!Server) GTEST_SKIP() << "No X display for the desktop test: " << failure;
    Tray = std::make_unique<TBackgroundProgram>(std::vector<std::string>{"trayer", "--widthtype", "request"},
                                                std::vector<std::string>{"DISPLAY=" + Display});
    ::setenv("DISPLAY", Display.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
  }
  bool WindowShown() {
    return X({"xwininfo", "-name", "Quibo dederazu"}, Display).find("Map State: IsViewable") != std::string::npos;
  }
  // The tray host's panel holds the program's icon window.
  bool IconInTray() {
    return X({"xwininfo", "-tree", "-name", "panel"}, Display).find("(\"quibo\" \"quibo\")") != std::string::npos;
  }
  // Top-level windows from the top down.
  size_t StackPosition(const std::string& name) {
    return X({"xwininfo", "-root", "-children"}, Display).find("\"" + name + "\": (");
  }

  std::string Display;
  std::unique_ptr<TBackgroundProgram> Server;
  std::unique_ptr<TBackgroundProgram> Tray;
  TTempFolder Home;
};

} // namespace

TEST_F(Desktop, WindowAndTrayIconAppearASecondStartRaisesAndSigtermCloses) {
  const int port = FreePort();
  TQuiboProcess quibo(Home.path(), ListenIni(port), port, true);
  ASSERT_TRUE(quibo.WaitListening()) << quibo.MainLog();
  ASSERT_TRUE(WaitFor([&] { return WindowShown(); })) << quibo.MainLog();
  EXPECT_TRUE(WaitFor([&] { return IconInTray(); })) << X({"xwininfo", "-root", "-tree"}, Display);

  TBackgroundProgram cover({"xmessage", "-geometry", "900x700+0+0", "covering the window"}, {});
  ASSERT_TRUE(WaitFor([&] { return StackPosition("xmessage") < StackPosition("Quibo dederazu"); }));
  std::string err;
  EXPECT_EQ(RunProgram({QUIBO_BINARY, "--home", Home.path().string()}, nullptr, &err), 1);
  EXPECT_EQ(err.substr(err.find("Quibo says")), "Quibo says: Hey, I'm already working!\n");
  EXPECT_TRUE(WaitFor([&] { return StackPosition("Quibo dederazu") < StackPosition("xmessage"); }));

  EXPECT_EQ(quibo.Stop(SIGTERM), 0);
  EXPECT_NE(quibo.MainLog().find("Stopping server.."), std::string::npos);
  EXPECT_EQ(quibo.MainLog().find("No desktop window"), std::string::npos);
  EXPECT_FALSE(WindowShown());
}
