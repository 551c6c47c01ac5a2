#include "TFakeHttpServer.h"
#include "TWindowFixture.h"
#include "UAboutBox.h"
#include "UUpdateCheck.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace quibo;
using namespace quibo::test;

TEST(UpdateCheck, RequestCarriesVersionInfoAndCheck) {
  TFakeHttpServer server;
  server.Answer("Version 1.0.0.1 is current");
  EXPECT_EQ(RequestUpdateInfo(server.Url() + "/", "1.0 beta&x", "weekly"), "Version 1.0.0.1 is current");
  const std::string request = server.LastRequest();
  EXPECT_EQ(request.substr(0, request.find("\r\n")),
            "GET /cgi-bin/update.pl?version=1.0%20beta%26x&info=Quibo%20dederazu%20on%20Linux&check=weekly HTTP/1.1");
  EXPECT_NE(request.find("\r\nUser-Agent: Quibo Update Checker\r\n"), std::string::npos);
  EXPECT_NE(request.find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
}

TEST(UpdateCheck, RepliesAreCutAndFailuresReported) {
  TFakeHttpServer server;
  server.Answer(std::string(1500, 'x'));
  EXPECT_EQ(RequestUpdateInfo(server.Url(), "1", ""), std::string(kMaxUpdateReply, 'x'));
  server.Answer(std::string("new\0hidden", 10));
  EXPECT_EQ(RequestUpdateInfo(server.Url(), "1", ""), "new");
  server.Answer("an update is available", 404); // an error page is no answer
  EXPECT_EQ(RequestUpdateInfo(server.Url(), "1", ""), kUnableToRetrieve);
  EXPECT_EQ(RequestUpdateInfo("", "1", ""), kUnableToRetrieve);
  EXPECT_EQ(RequestUpdateInfo("http://127.0.0.1:" + std::to_string(FreePort()), "1", ""), kUnableToRetrieve);
  EXPECT_TRUE(ReportsUpdate("Version 2 is available"));
  EXPECT_FALSE(ReportsUpdate("Available: version 2"));
}

// The weekly check runs at the seventh hourly tick after the start, and every
// 168th after that; "Reset " on the Status page counts as a tick.
TEST_F(Window, WeeklyCheckShowsTheUpdatePicture) {
  TFakeHttpServer server;
  server.Answer("Version 2 is available");
  Start(kLoopback + "UpdateServer=" + server.Url() + "\n");
  auto* picture = Find<QToolButton>("IUpdateAvailable");
  auto* reset = Find<QPushButton>("Button3");
  EXPECT_FALSE(picture->isVisibleTo(Main.get()));
  for (int tick = 0; tick < 6; ++tick)
    QTest::mouseClick(reset, Qt::LeftButton);
  EXPECT_EQ(server.LastRequest(), "");
  QTest::mouseClick(reset, Qt::LeftButton);
  EXPECT_NE(server.LastRequest().find("&check=weekly "), std::string::npos);
  EXPECT_TRUE(picture->isVisibleTo(Main.get()));
  QTest::mouseClick(picture, Qt::LeftButton);
  EXPECT_EQ(Informed.last(), "Update available!");

  server.Answer("Available: version 3"); // the rule is case-sensitive
  for (int tick = 0; tick < 168; ++tick)
    QTest::mouseClick(reset, Qt::LeftButton);
  EXPECT_FALSE(picture->isVisibleTo(Main.get()));
  EXPECT_EQ(Form->WeeklyCounter(), 0);
}

TEST_F(Window, AboutBoxShowsTheVersionAndChecksForUpdates) {
  TFakeHttpServer server;
  server.Answer("No update for 1.0.0.1");
  Start(kLoopback + "UpdateServer=" + server.Url() + "\n");
  TDialogs dialogs{nullptr, [this](const QString& text) { Informed << text; }, nullptr};
  TAboutBox about(*Form, dialogs, Main.get());
  EXPECT_EQ(about.windowTitle(), "About Quibo");
  auto* version = about.findChild<QLabel*>("Version");
  EXPECT_EQ(version->text(), "Version 1.0.0.1");
  EXPECT_EQ(version->toolTip(), "Version 1.0.0.1");
  EXPECT_NE(about.findChild<QLabel*>("Link")->text().indexOf(kMakerAddress), -1);
  QTest::mouseClick(about.findChild<QPushButton*>("BCheckUpdates"), Qt::LeftButton);
  EXPECT_EQ(Informed.last(), "No update for 1.0.0.1");
  EXPECT_NE(server.LastRequest().find("&check= HTTP/1.1"), std::string::npos);
}
