// TAboutBox: "About Quibo", with the program's picture, its name, the version
// line (its hint says the same), the maker's address as a link, "OK" and
// "Check updates", which asks the update server and shows its reply. Modal,
// on the window thread; the update request waits at most kUpdateTimeout.
#pragma once

#include "UPage.h"

#include <QDialog>

namespace quibo {

inline constexpr const char* kMakerAddress = "https://www.quibo.example/";

class TAboutBox : public QDialog {
public:
  TAboutBox(TForm1& form, TDialogs& dialogs, QWidget* parent);
  void CheckUpdates();

private:
  TForm1& Form;
  TDialogs& Dialogs;
};

} // namespace quibo
