// TMainWindow: the operator's window over the running TForm1: the ten pages,
// "Save", "Cancel", "Close" ("Hide" in service mode) and "About" below them,
// a status bar that names the operations running in the background, the
// hidden update picture, and the tray icon. It is TForm1's view: the show,
// hide and service events and the weekly update check reach it, and Refresh
// runs whenever the window thread has handled posted work. Window thread only.
#pragma once

#include "UControlBindings.h"
#include "UMain.h"
#include "UPage.h"

#include <QMainWindow>
#include <vector>

class QTabWidget;
class QToolButton;

namespace quibo {

class TPage;
class TTrayIcon;

class TMainWindow : public QMainWindow, public TFormView {
public:
  // Without dialogs the window asks and informs with message boxes.
  explicit TMainWindow(TForm1& form, TDialogs dialogs = {});
  ~TMainWindow() override;

  void Refresh();
  void About();
  TTrayIcon& Tray() const { return *TrayIcon; }

  void ShowWindow() override;
  void HideWindow() override;
  void ServiceStateChanged(long state) override;
  void WeeklyUpdateCheck() override;

protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void Save();
  void Cancel();
  void CloseOrHide();
  QString RunningText() const;

  TForm1& Form;
  TDialogs Dialogs;
  TControlBindings Bindings;
  TPageContext Context;
  QTabWidget* Pages;
  std::vector<TPage*> PageList;
  QToolButton* UpdateAvailable;
  TTrayIcon* TrayIcon;
  uint64_t SeenLoads;
};

} // namespace quibo
