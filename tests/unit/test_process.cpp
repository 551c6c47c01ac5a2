// The process runner: the filter's command lines, HCheck's input and bounded
// captures, time limits and cancellation that end the whole group, and how a
// run ended as a value.
#include "TRawSmtpClient.h"
#include "TTempFolder.h"
#include "UProcessRunner.h"

#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace quibo;
using namespace quibo::test;

namespace {

// As the filter runs its scanner and classifier: in a folder, the output captured or not.
TRunResult RunInFolder(const std::string& commandLine, bool capture, int timeoutMs, const std::filesystem::path& folder,
                       TCancellation* cancel = nullptr) {
  TRunOptions options;
  options.Folder = folder;
  options.Output = capture ? TChildOutput::Captured : TChildOutput::Discarded;
  options.TimeLimit = std::chrono::milliseconds(timeoutMs);
  options.Cancel = cancel;
  return RunCommandLine(commandLine, options);
}

} // namespace

TEST(ProcessRunner, ExitCodesOutputAndLimits) {
  TTempFolder folder;
  EXPECT_EQ(SplitCommandLine("prog \"a b\" c \"\" d\"e f\""),
            (std::vector<std::string>{"prog", "a b", "c", "", "de f"}));
  const TRunResult echo = RunInFolder("sh -c \"echo 5.5'|'A,B'|'; exit 3\"", true, 5000, folder.path());
  EXPECT_EQ(echo.End, TRunEnd::Exited);
  EXPECT_EQ(echo.ExitCode, 3);
  EXPECT_EQ(echo.Output, "5.5|A,B|\n");
  EXPECT_EQ(RunInFolder("sh -c \"pwd\"", true, 5000, folder.path()).Output, folder.path().string() + "\n");
  const TRunResult slow = RunInFolder("sleep 5", true, 200, folder.path());
  EXPECT_EQ(slow.End, TRunEnd::TimedOut);
  EXPECT_EQ(slow.ExitCode, kTimedOutExitCode);
  const TRunResult missing = RunInFolder("/nonexistent/scanner x", true, 1000, folder.path());
  EXPECT_EQ(missing.End, TRunEnd::NotRun);
  EXPECT_EQ(missing.ExitCode, -1);
  EXPECT_EQ(missing.OutputOrError(), "No such file or directory");
  const TRunResult tooLong = RunInFolder("true " + std::string(kMaxCommandLine, 'x'), false, 1000, folder.path());
  EXPECT_EQ(tooLong.ExitCode, -1);
  EXPECT_EQ(tooLong.Error, "The command line is too long");
  // A child with much to say never blocks on the pipe; what is kept is bounded.
  const TRunResult chatty = RunInFolder("sh -c \"head -c 300000 /dev/zero\"", true, 5000, folder.path());
  EXPECT_EQ(chatty.ExitCode, 0);
  EXPECT_EQ(chatty.Output.size(), 65536u);
  EXPECT_TRUE(chatty.OutputCut);
  const TRunResult killed = RunInFolder("sh -c \"echo said; kill -9 $$\"", true, 5000, folder.path());
  EXPECT_EQ(killed.End, TRunEnd::Killed);
  EXPECT_EQ(killed.ExitCode, -9);
  EXPECT_EQ(killed.Signal(), 9);
  EXPECT_EQ(killed.OutputOrError(), ""); // an ended run said nothing that counts
  EXPECT_EQ(RunInFolder("sh -c \"echo hidden\"", false, 5000, folder.path()).Output, "");
}

TEST(ProcessRunner, TimeOutAndCancellationEndTheWholeGroup) {
  TTempFolder folder;
  const auto child = folder.path() / "child.pid";
  const TRunResult slow = RunInFolder("sh -c \"sleep 30 & echo $! > child.pid; wait\"", true, 300, folder.path());
  EXPECT_EQ(slow.End, TRunEnd::TimedOut);
  EXPECT_TRUE(WaitFor([&] { return !ProcessInFileAlive(child); }));

  TCancellation cancel;
  std::thread cutter([&] {
    WaitFor([&] { return std::filesystem::exists(folder.path() / "started"); });
    cancel.Cancel();
  });
  const TRunResult cut = RunInFolder("sh -c \"touch started; sleep 30\"", false, 0, folder.path(), &cancel);
  cutter.join();
  EXPECT_EQ(cut.End, TRunEnd::Killed);
  EXPECT_EQ(cut.Signal(), 9);
  // Once cancelled, nothing runs to an end for that connection.
  EXPECT_EQ(RunInFolder("sleep 30", false, 0, folder.path(), &cancel).ExitCode, -9);
}

TEST(ProcessRunner, InputErrorsAndTheCallersGroup) {
  TRunOptions options;
  options.Arguments = {"cat"};
  options.Input = TChildInput::Given;
  options.InputBytes = "line one\nline two\n";
  EXPECT_EQ(RunProcess(options).Output, "line one\nline two\n");

  options = {};
  options.Arguments = {"sh", "-c", "head -c 100000 /dev/zero; echo done >&2; echo more >&2"};
  options.Errors = TChildOutput::Captured;
  options.OutputLimit = 1000;
  options.ErrorsLimit = 5;
  const TRunResult flood = RunProcess(options);
  EXPECT_TRUE(flood.Succeeded());
  EXPECT_EQ(flood.Output.size(), 1000u);
  EXPECT_TRUE(flood.OutputCut);
  EXPECT_EQ(flood.Errors, "done\n");
  EXPECT_TRUE(flood.ErrorsCut);

  // The child's own id and its group: its own group by default, else ours.
  options = {};
  options.Arguments = {"sh", "-c", "echo $$; cut -d' ' -f5 /proc/$$/stat"};
  const TRunResult leader = RunProcess(options);
  const auto newline = leader.Output.find('\n');
  ASSERT_NE(newline, std::string::npos);
  EXPECT_EQ(leader.Output.substr(newline + 1), leader.Output.substr(0, newline + 1));
  options.OwnGroup = false;
  const TRunResult member = RunProcess(options);
  EXPECT_EQ(member.Output.substr(member.Output.find('\n') + 1), std::to_string(::getpgrp()) + "\n");
}
