// TListEditor: one list of a list page (blacklist servers, manual blacklist,
// allowed hosts and senders, local domains and addresses): the list box, its
// entry field, an add and a delete button. Every change is a TForm1 list
// operation; the four host and sender lists act at once, the relay lists at
// the next "Save". For the relay lists a click copies an entry into the field
// and typing rewrites the selected entry. Window thread only.
#pragma once

#include "UMain.h"

#include <QWidget>

class QLineEdit;
class QListWidget;
class QPushButton;

namespace quibo {

struct TListNames {
  const char* List;  // "LBBlacklists"
  const char* Entry; // "EBlacklistNew"
  const char* Add;
  const char* Delete;
  const char* DeleteCaption; // "Del" or "Remove"
};

class TListEditor : public QWidget {
public:
  TListEditor(TForm1& form, TPolicyList list, const TListNames& names, const QString& hint, QWidget* parent = nullptr);
  void Load(); // the entries as TForm1 has them
  QListWidget* Box() const { return Entries; }

private:
  void Add();
  void Delete();
  void Typed(const QString& text);

  TForm1& Form;
  TPolicyList Kind;
  QListWidget* Entries;
  QLineEdit* Entry;
};

} // namespace quibo
