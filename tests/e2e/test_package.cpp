// The Debian package: built with CPack from this build, unpacked into a
// throw-away root with dpkg-deb, and the installed filter started there.
#include "TRelayFixture.h"

#include <csignal>
#include <sys/wait.h>

using namespace quibo::test;
namespace fs = std::filesystem;

namespace {

fs::path BuiltPackage(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().extension() == ".deb") return entry.path();
  return {};
}

} // namespace

TEST(Package, UnpackedIntoAThrowAwayRootTheInstalledFilterServes) {
  TTempFolder work;
  std::string out, err;
  ASSERT_EQ(RunProgram({"cpack", "--config", BUILD_DIR "/CPackConfig.cmake", "-B", work.path().string()}, &out, &err),
            0)
      << out << err;
  const fs::path package = BuiltPackage(work.path());
  ASSERT_EQ(package.filename().string(), "quibo_1.0.0.1_amd64.deb");
  const fs::path root = work.path() / "root";
  ASSERT_EQ(RunProgram({"dpkg-deb", "-x", package.string(), root.string()}, &out, &err), 0) << err;

  // The program folder of the quibo user links the classifier and the settings in /etc.
  EXPECT_TRUE(fs::exists(root / "usr/lib/quibo/HCheck"));
  EXPECT_EQ(fs::read_symlink(root / "var/lib/quibo/HCheck"), "/usr/lib/quibo/HCheck");
  EXPECT_EQ(fs::read_symlink(root / "var/lib/quibo/quibo.ini"), "/etc/quibo/quibo.ini");
  EXPECT_NE(ReadFile(root / "etc/quibo/quibo.ini").find("[Settings]"), std::string::npos);
  const std::string unit = ReadFile(root / "usr/lib/systemd/system/QuiboSvc.service");
  EXPECT_NE(unit.find("User=quibo\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ExecStart=/usr/lib/quibo/quibo --home /var/lib/quibo --headless\n"), std::string::npos);
  std::string postinst;
  ASSERT_EQ(RunProgram({"dpkg-deb", "--info", package.string(), "postinst"}, &postinst), 0);
  EXPECT_NE(postinst.find("adduser --system --group --home /var/lib/quibo"), std::string::npos) << postinst;
  std::string control;
  RunProgram({"dpkg-deb", "--field", package.string(), "Depends"}, &control);
  EXPECT_EQ(control.find("qt6"), std::string::npos) << control;      // a server needs no Qt
  EXPECT_NE(control.find("libcurl4"), std::string::npos) << control; // the rspamd clients of the filter and HCheck

  // The installed binary runs from its own place with a program folder of the test's.
  const fs::path home = work.path() / "home";
  fs::create_directories(home);
  WriteFile(home / "quibo.ini", ListenIni(0));
  const pid_t filter = StartProgram({(root / "usr/lib/quibo/quibo").string(), "--home", home.string(), "--headless"},
                                    home / "stdout.txt", home / "stderr.txt");
  ASSERT_GT(filter, 0);
  int port = 0;
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = ReadFile(home / "log" / "Quibo.log");
    const auto at = log.find(" port ");
    if (at != std::string::npos) port = std::atoi(log.c_str() + at + 6);
    return port > 0;
  })) << ReadFile(home / "stderr.txt");
  TRawSmtpClient client(port);
  EXPECT_EQ(client.Reply(), kGreeting);
  ::kill(filter, SIGTERM);
  int status = 0;
  ::waitpid(filter, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
