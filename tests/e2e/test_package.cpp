// The Debian package: built with CPack from this build, unpacked into a
// throw-away root with dpkg-deb, and the installed filter started there; its
// unit rated by systemd-analyze, and its maintainer script run over copies of
// /etc and /var.
#include "TPackage.h"
#include "TRelayFixture.h"

#include <csignal>
#include <sys/wait.h>

using namespace quibo::test;
namespace fs = std::filesystem;

namespace {

// The maintainer script run twice (an install, then an upgrade after an administrator's dpkg-statoverride) in a
// mount namespace of its own where /etc and /var are overlays over the real ones, written into work; prints
// "path owner:group mode" of what it sets.
const char* kPostinstInOverlays = R"sh(
set -e
root=$1 work=$2
for folder in etc var; do
  mkdir -p "$work/$folder-upper" "$work/$folder-work"
  mount -t overlay overlay -o "lowerdir=/$folder,upperdir=$work/$folder-upper,workdir=$work/$folder-work" "/$folder"
done
cp -a "$root/etc/quibo" /etc/
cp -a "$root/var/lib/quibo" /var/lib/
sh "$work/postinst" configure
stat -c '%n %U:%G %a' /etc/quibo /etc/quibo/quibo.ini /etc/quibo/tls /var/lib/quibo
dpkg-statoverride --add root quibo 0640 /etc/quibo/quibo.ini
chmod 0640 /etc/quibo/quibo.ini
sh "$work/postinst" configure
stat -c 'after an override: %n %U:%G %a' /etc/quibo/quibo.ini
)sh";

} // namespace

TEST(Package, UnpackedIntoAThrowAwayRootTheInstalledFilterServes) {
  TTempFolder work;
  std::string out, err;
  const fs::path package = BuiltPackage(work.path(), &out);
  ASSERT_EQ(package.filename().string(), "quibo_1.0.0.1_amd64.deb") << out;
  const fs::path root = UnpackedPackage(package, work.path(), &err);
  ASSERT_FALSE(root.empty()) << err;

  // The program folder of the quibo user links the classifier and the settings in /etc.
  EXPECT_TRUE(fs::exists(root / "usr/lib/quibo/HCheck"));
  EXPECT_EQ(fs::read_symlink(root / "var/lib/quibo/HCheck"), "/usr/lib/quibo/HCheck");
  EXPECT_EQ(fs::read_symlink(root / "var/lib/quibo/quibo.ini"), "/etc/quibo/quibo.ini");
  EXPECT_NE(ReadFile(root / "etc/quibo/quibo.ini").find("[Settings]"), std::string::npos);
  const fs::path unitFile = root / "usr/lib/systemd/system/QuiboSvc.service";
  const std::string unit = ReadFile(unitFile);
  EXPECT_NE(unit.find("User=quibo\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ExecStart=/usr/lib/quibo/quibo --home /var/lib/quibo --headless\n"), std::string::npos);
  EXPECT_LE(ExposureLevel(unitFile), 1.5);
  std::string postinst;
  ASSERT_EQ(RunProgram({"dpkg-deb", "--info", package.string(), "postinst"}, &postinst), 0);
  EXPECT_NE(postinst.find("adduser --system --group --home /var/lib/quibo"), std::string::npos) << postinst;
  std::string control;
  RunProgram({"dpkg-deb", "--field", package.string(), "Depends"}, &control);
  EXPECT_EQ(control.find("qt6"), std::string::npos) << control;      // a server needs no Qt
  EXPECT_NE(control.find("libcurl4"), std::string::npos) << control; // the rspamd clients of the filter and HCheck
  RunProgram({"dpkg-deb", "--field", package.string(), "Recommends"}, &control);
  EXPECT_EQ(control, "rspamd, redis-server, clamav-daemon\n");

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

TEST(Package, TheMaintainerScriptLetsOnlyRootAndTheServiceReadTheSettings) {
  if (::geteuid() != 0) GTEST_SKIP() << "the maintainer script sets owners: root only";
  TTempFolder work;
  std::string out, err;
  const fs::path package = BuiltPackage(work.path(), &out);
  const fs::path root = UnpackedPackage(package, work.path(), &out);
  ASSERT_FALSE(root.empty()) << out;
  ASSERT_EQ(RunProgram({"dpkg-deb", "--control", package.string(), (work.path() / "control").string()}), 0);
  fs::copy_file(work.path() / "control" / "postinst", work.path() / "postinst");
  ASSERT_EQ(RunProgram({"unshare", "--mount", "--propagation", "private", "sh", "-c", kPostinstInOverlays, "postinst",
                        root.string(), work.path().string()},
                       &out, &err),
            0)
      << out << err;
  EXPECT_EQ(out, "/etc/quibo root:quibo 770\n/etc/quibo/quibo.ini root:quibo 660\n/etc/quibo/tls root:quibo 750\n"
                 "/var/lib/quibo quibo:quibo 750\nafter an override: /etc/quibo/quibo.ini root:quibo 640\n")
      << err;
}
