// The window over a real TForm1 in a fresh home folder, drawn offscreen, with
// the GUI thread as the window thread (as in the desktop program) and
// scripted dialogs. Controls are found by their object names; Pump lets the
// GUI loop run until a condition holds.
#pragma once

#include "TRawSmtpClient.h"
#include "TTempFolder.h"
#include "UEventBridge.h"
#include "UMainWindow.h"

#include <QApplication>
#include <QStringList>
#include <QTabWidget>
#include <gtest/gtest.h>
#include <memory>

namespace quibo::test {

class Window : public ::testing::Test {
protected:
  void Start(const std::string& ini, bool serviceMode = false) {
    WriteFile(Home.path() / "quibo.ini", ini);
    Form = std::make_unique<TForm1>(TForm1::TOptions{Home.path(), "quibo", serviceMode, nullptr});
    Form->Create();
    TDialogs dialogs;
    dialogs.Ask = [this](const QString& question) {
      Questions << question;
      return Answer;
    };
    dialogs.Inform = [this](const QString& text) { Informed << text; };
    dialogs.PickFile = [this] { return PickedFile; };
    Main = std::make_unique<TMainWindow>(*Form, dialogs);
    Bridge = std::make_unique<TEventBridge>(*Form, [this] { Main->Refresh(); });
    Main->show();
  }
  void TearDown() override {
    Bridge.reset();
    Main.reset();
    if (Form) Form->Close();
    Form.reset();
  }
  template <class TWidget> TWidget* Find(const char* name) {
    auto* widget = Main->findChild<TWidget*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  void ShowPage(const char* name) {
    auto* pages = Find<QTabWidget>("PageControl1");
    pages->setCurrentWidget(Find<QWidget>(name));
  }
  // Runs the GUI loop until the condition holds (at most ten seconds).
  bool Pump(const std::function<bool()>& condition) {
    return WaitFor([&] {
      QApplication::processEvents(QEventLoop::AllEvents, 20);
      return condition();
    });
  }
  std::string MainLog() const { return ReadFile(Home.path() / "log" / "Quibo.log"); }
  std::string Ini() const { return ReadFile(Home.path() / "quibo.ini"); }

  TTempFolder Home;
  std::unique_ptr<TForm1> Form;
  std::unique_ptr<TMainWindow> Main;
  std::unique_ptr<TEventBridge> Bridge;
  QStringList Questions;
  QStringList Informed;
  bool Answer = true;
  QString PickedFile;
};

inline const std::string kLoopback = "[Settings]\nListenIP=127.0.0.1\nListenPort=0\n";

} // namespace quibo::test
