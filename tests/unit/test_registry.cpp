#include "TFixedClock.h"
#include "UThreadController.h"

#include <gtest/gtest.h>

using namespace quibo;
using namespace quibo::test;

namespace {

class TFakePeer final : public TPeerConnection {
public:
  TFakePeer(long thread, std::string ip) : Thread(thread), Ip(std::move(ip)) {}
  long ThreadId() const override { return Thread; }
  const std::string& PeerIp() const override { return Ip; }
  void Disconnect() override { Disconnected = true; }
  bool Running() const override { return !Disconnected; }
  bool WaitEnded(int) override { return Disconnected; }
  bool Disconnected = false;

private:
  long Thread;
  std::string Ip;
};

class TFakeClient final : public TForwardClientHandle {
public:
  void Disconnect() override {}
};

class Registry : public ::testing::Test {
protected:
  Registry() { Clock.Set(LocalTime(2026, 1, 2, 3, 4)); }
  TFixedClock Clock;
  TConnectionRegistry Connections{Clock};
  std::shared_ptr<TFakePeer> First = std::make_shared<TFakePeer>(11, "127.0.0.1");
  std::shared_ptr<TFakePeer> Second = std::make_shared<TFakePeer>(22, "127.0.0.2");
};

} // namespace

TEST_F(Registry, StatusLinesCreateUpdateAndRemove) {
  Connections.RecordStatus(First, "CONNECT", false);
  Connections.RecordStatus(Second, "CONNECT", false);
  Connections.RecordStatus(First, "HELO x", false);
  EXPECT_EQ(Connections.LineTexts(),
            (std::vector<std::string>{"[11] IP: 127.0.0.1 Command: HELO x Time: 2026-01-02 03:04:00",
                                      "[22] IP: 127.0.0.2 Command: CONNECT Time: 2026-01-02 03:04:00"}));
  const auto record = Connections.FindController(First.get());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->History.size(), 2u);
  EXPECT_EQ(record->LastActivity, Clock.Now());
  EXPECT_EQ(Connections.FindControllerIndex(Second.get()), 1);
  Connections.RecordStatus(First, "DISCONNECT", true);
  EXPECT_EQ(Connections.FindControllerIndex(First.get()), -1);
  EXPECT_EQ(Connections.FindController(First.get()), nullptr);
  EXPECT_EQ(Connections.FindControllerIndex(Second.get()), 0);
}

TEST_F(Registry, ThreadsPageOperations) {
  Connections.RecordStatus(First, "CONNECT", false);
  Connections.RecordStatus(Second, "CONNECT", false);
  Connections.FindController(Second.get())->SetForwardClient(std::make_shared<TFakeClient>());
  EXPECT_EQ(Connections.ActiveConnectionsText(), "2 active server connections.\n1 active client connections.");
  EXPECT_EQ(Connections.ThreadDetails(0),
            "ThreadStatus: Running\n\"[11] IP: 127.0.0.1 Command: CONNECT Time: 2026-01-02 03:04:00\"\n");

  std::vector<std::string> debug;
  Connections.Terminate(0, [&](const std::string& text) { debug.push_back(text); });
  EXPECT_TRUE(First->Disconnected);
  EXPECT_EQ(debug, (std::vector<std::string>{"itemindex: 0", "Determining Objectpointer", "Disconnecting.."}));
  EXPECT_EQ(Connections.ThreadDetails(0).substr(0, 22), "ThreadStatus: Stopped\n");
  debug.clear();
  Connections.Terminate(5, [&](const std::string& text) { debug.push_back(text); });
  EXPECT_EQ(debug, std::vector<std::string>{"itemindex: 5"});
}

TEST_F(Registry, TakeAllEmptiesTheListLastLineFirst) {
  Connections.RecordStatus(First, "CONNECT", false);
  Connections.RecordStatus(Second, "CONNECT", false);
  const auto records = Connections.TakeAll();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]->PeerThread, Second);
  EXPECT_EQ(Connections.Count(), 0u);
}

TEST_F(Registry, RecipientDomainOfTheFirstRecipient) {
  TThreadController record(First);
  record.SetRecipientDomain("user@dept@example.org");
  EXPECT_EQ(record.RecipientDomain, "dept@example.org");
  record.SetRecipientDomain("nodomain");
  EXPECT_EQ(record.RecipientDomain, "nodomain");

  TThreadController connection(Second);
  connection.NoteRecipient("user@local.example");
  connection.NoteRecipient("other@far.example");
  EXPECT_EQ(connection.RecipientDomain, "local.example");
}
