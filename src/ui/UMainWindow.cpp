#include "UMainWindow.h"

#include "UAboutBox.h"
#include "UIcons.h"
#include "UPages.h"
#include "UTrayIcon.h"
#include "UUpdateCheck.h"
#include "UVersion.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace quibo {
namespace {

const char* const kTitle = "Quibo dederazu";

// Message boxes for what the tests script.
TDialogs MessageBoxes(QWidget* parent, TDialogs given) {
  if (!given.Ask)
    given.Ask = [parent](const QString& question) {
      return QMessageBox::question(parent, kTitle, question, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
  if (!given.Inform)
    given.Inform = [parent](const QString& text) { QMessageBox::information(parent, kTitle, text, QMessageBox::Ok); };
  if (!given.PickFile) given.PickFile = [parent] { return QFileDialog::getOpenFileName(parent, "VirusCheckTest"); };
  return given;
}

} // namespace

TMainWindow::TMainWindow(TForm1& form, TDialogs dialogs)
    : Form(form), Dialogs(MessageBoxes(this, std::move(dialogs))), Bindings(form), Context{form, Bindings, Dialogs},
      Pages(Named(new QTabWidget, "PageControl1")), UpdateAvailable(Named(new QToolButton, "IUpdateAvailable")),
      SeenLoads(form.SettingsModel().LoadCount()) {
  setObjectName("Form1");
  setWindowTitle(kTitle);
  setWindowIcon(QuiboIcon());
  setMinimumSize(489, 486);
  resize(760, 640);

  PageList = {new TStatusPage(Context),     new TMailPage(Context),      new TBlacklistPage(Context),
              new TWhitelistPage(Context),  new TFilteringPage(Context), new TRelayingPage(Context),
              new TVirusCheckPage(Context), new TDebugPage(Context),     new TThreadsPage(Context),
              new TStatisticsPage(Context)};
  for (TPage* page : PageList)
    Pages->addTab(page, page->objectName());
  connect(Pages, &QTabWidget::currentChanged, this,
          [this](int index) { PageList[static_cast<size_t>(index)]->Shown(); });

  auto* save = Named(new QPushButton("Save"), "BSave");
  auto* cancel = Named(new QPushButton("Cancel"), "BCancel");
  auto* close = Named(new QPushButton(Form.ServiceMode() ? "Hide" : "Close"), "BClose");
  auto* about = Named(new QPushButton("About"), "BAbout");
  UpdateAvailable->setIcon(QIcon(UpdatePicture(24)));
  UpdateAvailable->setIconSize(QSize(24, 24));
  UpdateAvailable->setAutoRaise(true);
  UpdateAvailable->setToolTip("Update available!");
  UpdateAvailable->hide();
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(UpdateAvailable);
  buttons->addStretch();
  for (QPushButton* button : {save, cancel, close, about})
    buttons->addWidget(button);
  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(Pages, 1);
  layout->addLayout(buttons);
  setCentralWidget(central);
  statusBar()->setObjectName("StatusBar1");

  connect(save, &QPushButton::clicked, this, [this] { Save(); });
  connect(cancel, &QPushButton::clicked, this, [this] { Cancel(); });
  connect(close, &QPushButton::clicked, this, [this] { CloseOrHide(); });
  connect(about, &QPushButton::clicked, this, [this] { About(); });
  connect(UpdateAvailable, &QToolButton::clicked, this, [this] { Dialogs.Inform("Update available!"); });
  TrayIcon = new TTrayIcon(
      form, [this] { About(); }, [this] { CloseOrHide(); }, this);
  Bindings.Load();
  Refresh();
  Form.SetView(this);
}

TMainWindow::~TMainWindow() { Form.SetView(nullptr); }

void TMainWindow::Refresh() {
  if (Form.SettingsModel().LoadCount() != SeenLoads) { // loaded from the file: "Cancel", the hourly reload, "Reset "
    SeenLoads = Form.SettingsModel().LoadCount();
    Bindings.Load();
  }
  for (TPage* page : PageList)
    page->Refresh();
  statusBar()->showMessage(RunningText());
}

QString TMainWindow::RunningText() const {
  QStringList running;
  if (Form.Jobs().LearningRunning()) running << "learning";
  if (Form.Jobs().StatisticsRunning()) running << "reading the classifier's statistics";
  if (Form.Jobs().VirusCheckRunning()) running << "testing the virus scanner";
  if (Form.Jobs().TestMailRunning()) running << "sending the test mail";
  if (Form.PolicyLists().BlacklistCheckRunning()) running << "checking the blacklists";
  return running.isEmpty() ? QString() : "Busy: " + running.join(", ") + "...";
}

void TMainWindow::Save() {
  Form.Guarded([this] {
    Form.SettingsModel().Save();
    Form.ApplySettings();
  });
  Bindings.Load(); // the applied values: the normalised threshold, the enabled controls
  Refresh();
}

void TMainWindow::Cancel() {
  Form.Guarded([this] { Form.LoadSettings(); });
  Refresh();
}

void TMainWindow::CloseOrHide() {
  if (Form.ServiceMode())
    Form.EventQueue().Post(EvHideWindow);
  else
    close();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  if (Form.ServiceMode()) { // the window only hides
    event->ignore();
    hide();
    return;
  }
  bool closing = false;
  Form.Guarded([&] {
    closing = Form.CloseQuery([this](const std::string& q) { return Dialogs.Ask(QString::fromStdString(q)); });
  });
  if (!closing) {
    event->ignore();
    return;
  }
  event->accept();
  QCoreApplication::exit(0);
}

void TMainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) Form.EventQueue().Post(EvHideWindow);
}

void TMainWindow::About() {
  TAboutBox box(Form, Dialogs, this);
  box.exec();
}

void TMainWindow::ShowWindow() {
  showNormal();
  raise();
  activateWindow();
}

void TMainWindow::HideWindow() { hide(); }

void TMainWindow::ServiceStateChanged(long state) {
  if (state != 1) TrayIcon->Hide();
}

void TMainWindow::WeeklyUpdateCheck() {
  const std::string server = Form.Settings()->UpdateServer;
  if (server.empty()) return; // no update server: no weekly check
  UpdateAvailable->setVisible(ReportsUpdate(RequestUpdateInfo(server, kVersionString, "weekly")));
}

} // namespace quibo
