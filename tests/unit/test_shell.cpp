#include "TTempFolder.h"
#include "UCommandLine.h"
#include "UEventQueue.h"
#include "ULineChannel.h"
#include "UService.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quibo;
using namespace quibo::test;

TEST(CommandLine, SwitchesAndOptions) {
  const TCommandLine install = ParseCommandLine({"--home", "/srv/q", "/Install", "-SILENT"});
  EXPECT_TRUE(install.Install);
  EXPECT_TRUE(install.Silent);
  EXPECT_EQ(install.Home, "/srv/q");
  EXPECT_TRUE(ParseCommandLine({"uninstall"}).Uninstall);
  EXPECT_FALSE(ParseCommandLine({"--bogus"}).Error.empty());
  EXPECT_FALSE(ParseCommandLine({"INSTALL", "UNINSTALL"}).Error.empty());
  EXPECT_FALSE(ParseCommandLine({"--home"}).Error.empty());
  EXPECT_TRUE(ParseCommandLine({"--version"}).Version);
  EXPECT_TRUE(ParseCommandLine({"--home", "/srv/q", "--headless"}).Headless);
}

TEST(Service, ControlGroupTellsTheMode) {
  EXPECT_TRUE(IsServiceCgroup("0::/system.slice/QuiboSvc.service\n"));
  EXPECT_FALSE(IsServiceCgroup("0::/user.slice/user-0.slice/session-1.scope\n"));
  EXPECT_FALSE(IsServiceCgroup("0::/system.slice/OtherQuiboSvc.service.d\n"));
  EXPECT_FALSE(IsServiceCgroup(""));
  const std::string unit = ServiceUnitText("/opt/quibo/quibo", "/var/lib/quibo");
  EXPECT_NE(unit.find("ExecStart=\"/opt/quibo/quibo\" --home \"/var/lib/quibo\"\n"), std::string::npos);
  EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos);
  EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
}

TEST(EventQueue, EventsTasksAndTimersInOrder) {
  TEventQueue queue;
  std::vector<std::string> seen;
  const auto timer = queue.AddTimer(std::chrono::milliseconds(10), [&] {
    seen.push_back("tick");
    queue.Quit();
  });
  const auto named = [](int number, long argument, long argument2) {
    return std::to_string(number) + "/" + std::to_string(argument) + "/" + std::to_string(argument2);
  };
  queue.Post(EvConnection, ServerConnect);
  queue.PostTask([&] { seen.push_back("task"); });
  queue.Post(EvStatistic, static_cast<long>(TStatEvent::DnsLookupStarted), 2);
  queue.RunPending([&](const TEvent& event) { seen.push_back(named(event.Number, event.Argument, event.Argument2)); });
  EXPECT_EQ(seen, (std::vector<std::string>{named(EvConnection, ServerConnect, 0), "task",
                                            named(EvStatistic, static_cast<long>(TStatEvent::DnsLookupStarted), 2)}));
  queue.EnableTimer(timer, true);
  queue.Run([](const TEvent&) {}, [](const std::string&) {});
  EXPECT_EQ(seen.back(), "tick");
}

TEST(EventQueue, HandlerFailuresAreReportedAndTheLoopGoesOn) {
  TEventQueue queue;
  std::vector<std::string> errors;
  queue.PostTask([] { throw std::runtime_error("boom"); });
  queue.PostTask([&] { queue.Quit(); });
  queue.Run([](const TEvent&) {}, [&](const std::string& message) { errors.push_back(message); });
  EXPECT_EQ(errors, std::vector<std::string>{"boom"});
}

TEST(EventQueue, WhatWasPostedBeforeTheEndIsStillHandled) {
  TEventQueue queue;
  int counted = 0;
  queue.Post(EvConnection, 1);
  queue.Quit();
  queue.Post(EvConnection, 4);
  queue.Run([&](const TEvent& event) { counted += static_cast<int>(event.Argument); }, [](const std::string&) {});
  EXPECT_EQ(counted, 5);
}

TEST(SocketChannel, LinesAcrossChunksTimeoutsAndLimits) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  TSocketChannel channel(pair[0], nullptr);
  std::string tapped;
  channel.SetTap([&](bool sent, std::string_view chunk) { tapped += (sent ? ">" : "<") + std::string(chunk); });
  channel.SetTimeout(200);
  const std::string first = "HELO a\r\nbare\nsplit";
  ::send(pair[1], first.data(), first.size(), 0);
  std::string line;
  EXPECT_EQ(channel.ReadLine(line).EndedWithCrLf, true);
  EXPECT_EQ(line, "HELO a");
  EXPECT_EQ(channel.ReadLine(line).EndedWithCrLf, false);
  EXPECT_EQ(line, "bare");
  EXPECT_EQ(channel.ReadLine(line).Status, TReadStatus::Timeout);
  ::send(pair[1], " line\r\n", 7, 0);
  EXPECT_EQ(channel.ReadLine(line).Status, TReadStatus::Line);
  EXPECT_EQ(line, "split line");
  EXPECT_TRUE(channel.Write("250 Ok\r\n"));
  EXPECT_TRUE(channel.Flush());
  EXPECT_EQ(tapped, "<HELO a\r\nbare\nsplit< line\r\n>250 Ok\r\n");

  const std::string exact(kMaxLineLength, 'x');
  ::send(pair[1], (exact + "\r\n").data(), exact.size() + 2, 0);
  EXPECT_EQ(channel.ReadLine(line).Status, TReadStatus::Line);
  EXPECT_EQ(line.size(), kMaxLineLength);
  const std::string tooLong(kMaxLineLength + 1, 'y');
  ::send(pair[1], tooLong.data(), tooLong.size(), 0);
  EXPECT_EQ(channel.ReadLine(line).Status, TReadStatus::TooLong);
  ::close(pair[1]);
  channel.Close();
  EXPECT_FALSE(channel.Write("x"));
  ::close(pair[0]);
}

TEST(SocketChannel, RepliesToAPipelinedGroupGoOutInOneWriteWhenTheInputRunsDry) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  TSocketChannel channel(pair[0], nullptr);
  std::vector<std::string> writes;
  channel.SetTap([&](bool sent, std::string_view chunk) {
    if (sent) writes.emplace_back(chunk);
  });
  channel.SetTimeout(200);
  const std::string group = "MAIL FROM:<a@b.cd>\r\nRCPT TO:<c@d.ef>\r\n";
  ::send(pair[1], group.data(), group.size(), 0);
  std::string line;
  ASSERT_EQ(channel.ReadLine(line).Status, TReadStatus::Line);
  channel.Write("250 first\r\n");
  ASSERT_EQ(channel.ReadLine(line).Status, TReadStatus::Line); // still buffered: nothing goes out yet
  channel.Write("250 second\r\n");
  EXPECT_TRUE(writes.empty());
  EXPECT_EQ(channel.ReadLine(line).Status, TReadStatus::Timeout); // the input ran dry
  EXPECT_EQ(writes, std::vector<std::string>{"250 first\r\n250 second\r\n"});
  char received[64] = {};
  const ssize_t got = ::recv(pair[1], received, sizeof received, MSG_DONTWAIT);
  EXPECT_EQ(std::string(received, static_cast<size_t>(std::max<ssize_t>(0, got))), "250 first\r\n250 second\r\n");
  // Closing sends what is left.
  channel.Write("221 bye\r\n");
  channel.Close();
  EXPECT_EQ(writes.back(), "221 bye\r\n");
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST(SocketChannel, TheTimeOutBoundsWholeLinesAndWrites) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  TSocketChannel channel(pair[0], nullptr);
  channel.SetTimeout(300);
  // A byte every 50 ms never completes a line within its time.
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    while (!stop) {
      ::send(pair[1], "x", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  std::string line;
  EXPECT_EQ(channel.ReadLine(line).Status, TReadStatus::Timeout);
  stop = true;
  trickle.join();
  // A peer that never reads cannot hold a write forever.
  EXPECT_FALSE(channel.Write(std::string(16 << 20, 'y')));
  ::close(pair[0]);
  ::close(pair[1]);
}

// A host loop (the desktop's GUI loop) watches the queue's descriptor and runs its timers.
TEST(EventQueue, HostedByAnotherLoop) {
  TEventQueue queue;
  int ticks = 0;
  const auto timer = queue.AddTimer(std::chrono::milliseconds(3000), [&] { ++ticks; });
  queue.EnableTimer(timer, true);
  std::vector<std::string> timerStates;
  const int wake = queue.AttachHost([&](TEventQueue::TTimerId id, bool enabled, std::chrono::milliseconds interval) {
    timerStates.push_back(std::to_string(id) + (enabled ? " on " : " off ") + std::to_string(interval.count()));
  });
  EXPECT_EQ(timerStates, std::vector<std::string>{"0 on 3000"});
  const auto readable = [wake](int waitMs) {
    pollfd watch{wake, POLLIN, 0};
    return ::poll(&watch, 1, waitMs) == 1;
  };
  EXPECT_FALSE(readable(0));

  std::vector<long> seen;
  const auto handle = [&](const TEvent& event) { seen.push_back(event.Argument); };
  queue.Post(EvShowWindow, 7); // what the operator sees wakes the host at once
  EXPECT_TRUE(readable(5000));
  queue.TakeWake();
  queue.RunPending(handle);
  EXPECT_EQ(seen, std::vector<long>{7});
  EXPECT_FALSE(readable(0));
  queue.Post(EvConnection, 1); // counters within a tick
  EXPECT_TRUE(readable(5000));
  queue.TakeWake();
  queue.RunPending(handle);
  EXPECT_EQ(seen.back(), 1);

  queue.FireTimer(timer);
  EXPECT_EQ(ticks, 1);
  queue.EnableTimer(timer, false);
  EXPECT_EQ(timerStates.back(), "0 off 3000");
  queue.FireTimer(timer); // a host timer that fired after the disable
  EXPECT_EQ(ticks, 1);

  EXPECT_FALSE(queue.Quitting());
  queue.Quit();
  EXPECT_TRUE(readable(5000));
  EXPECT_TRUE(queue.Quitting());
  queue.DetachHost();
}
