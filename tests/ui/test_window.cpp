#include "TFakeDns.h"
#include "TFakeNextHop.h"
#include "TWindowFixture.h"
#include "UTrayIcon.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTest>
#include <sys/stat.h>

using namespace quibo;
using namespace quibo::test;

namespace {

// The page a control lives on.
QWidget* PageOf(QWidget* control) {
  while (control && !dynamic_cast<TPage*>(control))
    control = control->parentWidget();
  return control;
}

// A session up to its MAIL command; returns the reply to MAIL.
std::string MailFrom(int port, const std::string& sender = "someone@example.net") {
  TRawSmtpClient client(port);
  client.Reply();
  client.Command("HELO client.test");
  return client.Command("MAIL FROM:<" + sender + ">");
}

// Near the left edge, where a check box or radio button has its indicator.
void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2)); }

void Type(QLineEdit* edit, const QString& text) {
  edit->clear();
  QTest::keyClicks(edit, text);
}

} // namespace

TEST_F(Window, ListEntriesActOnTheRunningFilterAtOnce) {
  Start(kLoopback);
  ShowPage("Blacklist");
  Click(Find<QRadioButton>("RBReject"));
  Type(Find<QLineEdit>("EManualBlacklistNew"), "127.0.0.1");
  Click(Find<QPushButton>("BAddManualBlacklist"));
  EXPECT_EQ(Find<QListWidget>("LBManualBlacklist")->count(), 1);
  EXPECT_EQ(MailFrom(Form->ListeningPort()).substr(0, 4), "521 ");

  Find<QListWidget>("LBManualBlacklist")->setCurrentRow(0);
  Click(Find<QPushButton>("BDelManualBlacklist"));
  EXPECT_EQ(Find<QListWidget>("LBManualBlacklist")->count(), 0);
  EXPECT_EQ(MailFrom(Form->ListeningPort()), "250 someone@example.net Address Okay\r\n");

  // A delete with nothing selected is the error of the lists that act at once.
  Click(Find<QPushButton>("BDelManualBlacklist"));
  EXPECT_NE(MainLog().find("Unhandled Exception: List index out of bounds (-1)"), std::string::npos);
}

TEST_F(Window, RelayListsWaitForSaveAndAreEditedInPlace) {
  Start(kLoopback + "[LocalDomains]\n0=old.example\n");
  ShowPage("Relaying");
  auto* list = Find<QListWidget>("LBLocalDomain");
  auto* entry = Find<QLineEdit>("ELocalDomain");
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
  EXPECT_EQ(entry->text(), "old.example");
  QTest::keyClicks(entry, "s");
  EXPECT_EQ(list->item(0)->text(), "old.examples");
  EXPECT_EQ(Form->Applied()->LocalDomains, std::vector<std::string>{"old.example"});
  Click(Find<QPushButton>("BSave"));
  EXPECT_EQ(Form->Applied()->LocalDomains, std::vector<std::string>{"old.examples"});
  EXPECT_NE(Ini().find("[LocalDomains]\n0=old.examples\n"), std::string::npos);
}

TEST_F(Window, SaveWritesTheFileAndAppliesIt) {
  Start(kLoopback + "OutgoingPort=26\n");
  const int newPort = FreePort();
  ShowPage("Mail");
  Type(Find<QLineEdit>("EOutgoingPort"), "2626");
  Type(Find<QLineEdit>("EListenPort"), QString::number(newPort));
  ShowPage("Filtering");
  Type(Find<QLineEdit>("ESpamThreshold"), "4,5"); // always enabled, also with filtering off
  EXPECT_EQ(Form->Applied()->OutgoingPort, 26);
  Click(Find<QPushButton>("BSave"));
  EXPECT_NE(Ini().find("OutgoingPort=2626\n"), std::string::npos);
  EXPECT_NE(Ini().find("Threshold=4,5\n"), std::string::npos);
  EXPECT_EQ(Form->Applied()->OutgoingPort, 2626);
  EXPECT_EQ(Form->Applied()->Threshold, 4.5);
  EXPECT_EQ(Find<QLineEdit>("ESpamThreshold")->text(), "4.5");
  EXPECT_EQ(Form->ListeningPort(), newPort); // the listener was restarted on the new port
  TRawSmtpClient client(newPort);
  EXPECT_EQ(client.Reply().substr(0, 4), "220 ");
}

TEST_F(Window, CancelReloadsTheFile) {
  Start(kLoopback + "NewSubject=From the file\n");
  auto* subject = Find<QLineEdit>("ESubject");
  Type(subject, "Edited");
  EXPECT_EQ(Form->Settings()->ESubject, "Edited"); // read at the moment of use: it acts before "Save"
  Click(Find<QPushButton>("BCancel"));
  EXPECT_EQ(subject->text(), "From the file");
  EXPECT_EQ(Form->Settings()->ESubject, "From the file");
}

TEST_F(Window, ControlsAreEnabledByTheirSwitches) {
  Start(kLoopback);
  struct TRule {
    const char* Switch;
    const char* Follower;
  };
  const TRule rules[] = {{"CBMultiMail", "GBDistribute"},
                         {"CBHeurastic", "SEHeurasticMaxSize"},
                         {"CBHeurasticSubject", "EHeurasticSubject"},
                         {"CBDropScore", "SEDropThreshold"},
                         {"CBHeurasticForward", "EHeurasticForward"},
                         {"CBVirusScan", "EVirusProgram"},
                         {"CBVirusScan", "SEVirusErrorlevel"},
                         {"CBVirusScan", "BVirusCheck"},
                         {"CBRelayLocalDomain", "CBRelayLocalIp"},
                         {"CBRelayLocalDomain", "LBLocalDomain"},
                         {"CBRelayLocalIp", "LBLocalIP"}};
  Find<QCheckBox>("CBHeurastic")->setChecked(true);
  for (const auto& rule : rules) {
    auto* box = Find<QCheckBox>(rule.Switch);
    Find<QTabWidget>("PageControl1")->setCurrentWidget(PageOf(box));
    auto* follower = Find<QWidget>(rule.Follower);
    for (int round = 0; round < 2; ++round) {
      Click(box);
      EXPECT_EQ(follower->isEnabled(), box->isChecked()) << rule.Switch << " -> " << rule.Follower;
    }
  }
  // The local addresses need both relay switches.
  Find<QCheckBox>("CBRelayLocalIp")->setChecked(true);
  Find<QCheckBox>("CBRelayLocalDomain")->setChecked(false);
  EXPECT_FALSE(Find<QWidget>("LBLocalIP")->isEnabled());

  auto* copy = Find<QCheckBox>("CBCopyIfBlacklisted");
  ShowPage("Blacklist");
  Click(Find<QRadioButton>("RBReject"));
  EXPECT_FALSE(copy->isEnabled());
  EXPECT_TRUE(Form->Settings()->RBReject());
  Click(Find<QRadioButton>("RBForward"));
  EXPECT_TRUE(copy->isEnabled());
  EXPECT_TRUE(Form->Settings()->RBForward);
  EXPECT_FALSE(Form->Settings()->RBPass);
}

TEST_F(Window, TheDebugBoxShowsOnlyAtDebugLevelThree) {
  Start(kLoopback + "[Debug]\nDebug=3\n");
  ShowPage("Status");
  EXPECT_TRUE(Find<QCheckBox>("CBDebug")->isVisibleTo(Main.get()));
  Click(Find<QCheckBox>("CBDebug"));
  EXPECT_TRUE(Form->Log().Switches().DebugBox.load());
  WriteFile(Home.path() / "quibo.ini", kLoopback + "[Debug]\nDebug=1\n");
  Click(Find<QPushButton>("BCancel"));
  EXPECT_FALSE(Find<QCheckBox>("CBDebug")->isVisibleTo(Main.get()));
}

TEST_F(Window, ForwarderGridRoundTrip) {
  Start(kLoopback + "OutgoingIP=127.0.0.1\nOutgoingPort=2626\nMultipleMailForwarding=1\n");
  ShowPage("Mail");
  auto* grid = Find<QTableWidget>("DistributeGrid");
  ASSERT_EQ(grid->rowCount(), 1);
  EXPECT_EQ(grid->item(0, 0)->text(), "*");
  EXPECT_EQ(grid->item(0, 1)->text(), "127.0.0.1");
  EXPECT_EQ(grid->item(0, 2)->text(), "2626");
  EXPECT_FALSE(grid->item(0, 1)->flags() & Qt::ItemIsEditable);
  Type(Find<QLineEdit>("EOutgoingIP"), "127.0.0.9");
  EXPECT_EQ(grid->item(0, 1)->text(), "127.0.0.9");

  Click(Find<QPushButton>("BAddForwarder"));
  Click(Find<QPushButton>("BAddForwarder"));
  ASSERT_EQ(grid->rowCount(), 3);
  const char* cells[2][3] = {{"example.org", "127.0.0.2", "25"}, {"example.net", "mail.example.net", "25"}};
  for (int row = 0; row < 2; ++row)
    for (int column = 0; column < 3; ++column)
      grid->item(row + 1, column)->setText(cells[row][column]);
  Click(Find<QPushButton>("BSave"));
  EXPECT_NE(Ini().find("[Forward]\n2=example.org,127.0.0.2,25\n"), std::string::npos);
  EXPECT_EQ(Ini().find("mail.example.net"), std::string::npos); // not an IPv4 address: not written
  EXPECT_NE(MainLog().find("Invalid Ip number: mail.example.net"), std::string::npos);
  EXPECT_EQ(Form->Generation()->Forwarders->Servers().size(), 1u);

  Click(Find<QPushButton>("BCancel"));
  ASSERT_EQ(grid->rowCount(), 2);
  EXPECT_EQ(grid->item(1, 0)->text(), "example.org");
  grid->setCurrentCell(0, 0);
  Click(Find<QPushButton>("BDeleteForwarder"));
  EXPECT_EQ(grid->rowCount(), 2); // the default row stays
  grid->setCurrentCell(1, 0);
  Click(Find<QPushButton>("BDeleteForwarder"));
  EXPECT_EQ(grid->rowCount(), 1);
  EXPECT_TRUE(Form->Editable().DistributeGrid.empty());
}

TEST_F(Window, CloseAsksItsQuestions) {
  Start(kLoopback);
  Answer = false;
  Click(Find<QPushButton>("BClose"));
  EXPECT_EQ(Questions, QStringList{"Are you sure?"});
  EXPECT_TRUE(Main->isVisible());
  EXPECT_NE(MainLog().find("Aborted closing..."), std::string::npos);

  TRawSmtpClient client(Form->ListeningPort());
  client.Reply();
  ASSERT_TRUE(Pump([&] { return Form->Connections().Count() == 1; }));
  Questions.clear();
  Answer = true;
  Click(Find<QPushButton>("BClose"));
  EXPECT_EQ(Questions, (QStringList{"Are you sure?", "There are 1 active threads. Terminate anyway?"}));
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_FALSE(Main->isVisible());
}

TEST_F(Window, InServiceModeCloseOnlyHides) {
  Start(kLoopback, true);
  auto* close = Find<QPushButton>("BClose");
  EXPECT_EQ(close->text(), "Hide");
  const auto actions = Main->Tray().Icon()->contextMenu()->actions();
  ASSERT_EQ(actions.size(), 5);
  EXPECT_EQ(actions[4]->text(), "Close");
  EXPECT_FALSE(actions[4]->isEnabled());
  Click(close);
  ASSERT_TRUE(Pump([&] { return !Main->isVisible(); }));
  EXPECT_TRUE(Questions.isEmpty());
  EXPECT_EQ(MailFrom(Form->ListeningPort()).substr(0, 4), "250 "); // still filtering
}

TEST_F(Window, ShowHideAndServiceEventsReachTheWindowAndTheTray) {
  Start(kLoopback);
  Main->Tray().Icon()->contextMenu()->actions()[1]->trigger(); // "Hide"
  ASSERT_TRUE(Pump([&] { return !Main->isVisible(); }));
  Form->EventQueue().Post(EvShowWindow); // as a second start does
  ASSERT_TRUE(Pump([&] { return Main->isVisible(); }));
  Main->showMinimized();
  ASSERT_TRUE(Pump([&] { return !Main->isVisible(); }));
  Form->EventQueue().Post(EvServiceState, 1);
  Form->EventQueue().Post(EvShowWindow);
  ASSERT_TRUE(Pump([&] { return Main->isVisible(); }));
  EXPECT_TRUE(Main->Tray().Icon()->isVisible());
  Form->EventQueue().Post(EvServiceState, 0);
  ASSERT_TRUE(Pump([&] { return !Main->Tray().Icon()->isVisible(); }));
}

TEST_F(Window, TestMailReachesTheNextHopThroughTheListener) {
  TFakeNextHop nextHop;
  Start(kLoopback + "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(nextHop.Port()) +
        "\n[LocalDomains]\n0=example.org\n");
  ShowPage("Debug");
  Type(Find<QLineEdit>("edtSender"), "operator@example.com");
  Type(Find<QLineEdit>("edtRecipient"), "postmaster@example.org");
  Find<QPlainTextEdit>("mmoMessageText")->setPlainText("first line\n.dot line");
  Click(Find<QPushButton>("btnSendMail"));
  ASSERT_TRUE(Pump([&] { return nextHop.Mails().size() == 1 && !Form->Jobs().TestMailRunning(); }));
  const TReceivedMail mail = nextHop.Mails()[0];
  EXPECT_EQ(mail.Recipients, std::vector<std::string>{"<postmaster@example.org>"});
  EXPECT_NE(mail.Data.find("Subject: Quibo test message\r\n"), std::string::npos);
  EXPECT_NE(mail.Data.find("\r\nfirst line\r\n..dot line\r\n"), std::string::npos);
  EXPECT_TRUE(Informed.isEmpty());

  // A recipient the filter does not relay for: the listener's refusal in a message box.
  Type(Find<QLineEdit>("edtRecipient"), "someone@elsewhere.test");
  Click(Find<QPushButton>("btnSendMail"));
  ASSERT_TRUE(Pump([&] { return !Informed.isEmpty(); }));
  EXPECT_EQ(Informed[0].toStdString(),
            "Quibo dederazu says: not local address someone@elsewhere.test, not a gateway Quibo heard: 550");
}

TEST_F(Window, BlacklistCheckAgainstTheDnsServer) {
  TFakeDns dns;
  dns.Script("1.0.0.127.bl.test", {TDnsAnswer::Addresses, {"127.0.0.2"}});
  Start(kLoopback + "DnsIP=127.0.0.1\nDnsPort=" + std::to_string(dns.Port()) + "\n[Blacklists]\n0=bl.test\n");
  ShowPage("Debug");
  EXPECT_EQ(Find<QLabel>("Label10")->text(), "not checked");
  Click(Find<QPushButton>("BCheckBlacklist"));
  ASSERT_TRUE(Pump([&] { return Find<QLabel>("Label10")->text() == "127.0.0.1 listed on 1.0.0.127.bl.test"; }));
  EXPECT_TRUE(Find<QPushButton>("BCheckBlacklist")->isEnabled());
}

TEST_F(Window, ThreadsPageListsLiveConnectionsAndTerminatesThem) {
  Start(kLoopback);
  ShowPage("Threads");
  auto* list = Find<QListWidget>("LBThreads");
  TRawSmtpClient client(Form->ListeningPort());
  client.Reply();
  ASSERT_TRUE(Pump([&] { return list->count() == 1; }));
  EXPECT_NE(list->item(0)->text().indexOf("IP: 127.0.0.1 Command: CONNECT"), -1);
  Click(Find<QPushButton>("Button10"));
  EXPECT_EQ(Informed.last(), "1 active server connections.\n0 active client connections.");
  const QPoint line = list->visualItemRect(list->item(0)).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, line);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, line);
  EXPECT_TRUE(Informed.last().startsWith("ThreadStatus: Running\n\"[")) << Informed.last().toStdString();

  list->setCurrentRow(0);
  Click(Find<QPushButton>("BTerminate"));
  EXPECT_TRUE(client.ClosedByServer());
  ASSERT_TRUE(Pump([&] { return list->count() == 0; }));
}

TEST_F(Window, StatisticsAndStatusPagesAfterAFewMessages) {
  TFakeNextHop nextHop;
  Start(kLoopback + "OutgoingIP=127.0.0.1\nOutgoingPort=" + std::to_string(nextHop.Port()) +
        "\n[LocalDomains]\n0=example.org\n[Debug]\nAcceptance=1\nLogScreen=1\n");
  for (int message = 0; message < 3; ++message) {
    TRawSmtpClient client(Form->ListeningPort());
    client.Reply();
    client.Command("HELO client.test");
    client.Command("MAIL FROM:<a@example.net>");
    client.Command("RCPT TO:<b@example.org>");
    client.Command("DATA");
    EXPECT_EQ(client.Command("Subject: one\r\n\r\nbody\r\n."), "250 Ok\r\n");
    client.Command("QUIT");
  }
  ASSERT_TRUE(Pump([&] { return Find<QLabel>("LSD")->text() == "Disconnects: 3"; }));
  EXPECT_EQ(Find<QLabel>("LSC")->text(), "Connects: 3");
  EXPECT_EQ(Find<QLabel>("LCC")->text(), "Connects: 3");
  EXPECT_NE(Find<QPlainTextEdit>("Memo1")->toPlainText().indexOf("SMTP Server connect"), -1);

  ShowPage("Statistics");
  EXPECT_EQ(Find<QLabel>("LTotal")->text(), "3");
  EXPECT_EQ(Find<QLabel>("LPassed")->text(), "3");
  EXPECT_EQ(Find<QLabel>("LTTotal")->text(), "3");
  Click(Find<QPushButton>("Button11"));
  EXPECT_EQ(Find<QLabel>("LTotal")->text(), "0");
  EXPECT_EQ(Find<QLabel>("LTTotal")->text(), "3");

  Click(Find<QPushButton>("Button1"));
  EXPECT_TRUE(Find<QPlainTextEdit>("Memo1")->toPlainText().isEmpty());
  Click(Find<QPushButton>("Button3"));
  EXPECT_EQ(Find<QLabel>("LSC")->text(), "Connects: 0");
  EXPECT_EQ(BalloonText(Form->ConnectionCounters()),
            "I've checked 0 incoming connections.\nFrom these 0 messages were passed through.");
}

TEST_F(Window, LearningRunsInTheBackgroundWhileTheWindowWorks) {
  Start(kLoopback + "[Heurastic]\nDeleteFilesAfterLearn=0\n");
  WriteFile(Home.path() / "HCheck", "#!/bin/sh\nwhile [ ! -e release ]; do sleep 0.02; done\necho '2|7|'\n");
  ::chmod((Home.path() / "HCheck").c_str(), 0755);
  ShowPage("Filtering");
  Click(Find<QPushButton>("BLearn"));
  ASSERT_TRUE(Pump([&] { return Find<QLabel>("LblHam")->text() == "Now learning....."; }));
  EXPECT_FALSE(Find<QPushButton>("BLearn")->isEnabled());
  EXPECT_TRUE(Main->statusBar()->currentMessage().contains("learning"));
  Click(Find<QCheckBox>("CBAutoLearn")); // the window answers meanwhile
  EXPECT_FALSE(Form->Settings()->CBAutoLearn);
  WriteFile(Home.path() / "release", "");
  ASSERT_TRUE(Pump([&] { return Find<QPushButton>("BLearn")->isEnabled(); }));
  EXPECT_EQ(Find<QLabel>("LblHam")->text(), "Learned 2 from 7 total");
  EXPECT_EQ(Find<QLabel>("LblSpam")->text(), "Learned 2 from 7 total");
  EXPECT_TRUE(Main->statusBar()->currentMessage().isEmpty());
}

TEST_F(Window, ScannerTestWritesItsVerdictIntoTheTextBox) {
  Start(kLoopback + "[VirusCheck]\nDoVirusCheck=1\nVirusProgram=sh -c \"exit 6\" %s\nResultCode=6\n");
  PickedFile = QString::fromStdString((Home.path() / "quibo.ini").string());
  Click(Find<QPushButton>("BVirusCheck"));
  ASSERT_TRUE(Pump([&] { return !Find<QPlainTextEdit>("Memo2")->toPlainText().isEmpty(); }));
  EXPECT_EQ(Find<QPlainTextEdit>("Memo2")->toPlainText(), "Virus found! (result code: 6)");
}
