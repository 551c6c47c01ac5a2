// What every page of the main window shares: the running TForm1, the bindings
// of its controls to the settings model, the dialogs (replaced by scripted
// answers in the tests), and small helpers that name a control after its
// settings field and give it its hint. Window thread only.
#pragma once

#include "UControlBindings.h"
#include "UMain.h"

#include <QString>
#include <QWidget>
#include <functional>

class QGroupBox;
class QLabel;
class QLayout;

namespace quibo {

struct TDialogs {
  std::function<bool(const QString& question)> Ask; // Yes (true) or No
  std::function<void(const QString& text)> Inform;  // an information box with "OK"
  std::function<QString()> PickFile;                // "" when the operator cancels
};

struct TPageContext {
  TForm1& Form;
  TControlBindings& Bindings;
  TDialogs& Dialogs;
};

// A page of the main window. Refresh runs after the window thread has handled
// posted work; Shown when the page becomes the current one.
class TPage : public QWidget {
public:
  TPage(TPageContext& context, const char* name) : Context(context) { setObjectName(name); }
  virtual void Refresh() {}
  virtual void Shown() {}

protected:
  TForm1& Form() { return Context.Form; }
  TControlBindings& Bindings() { return Context.Bindings; }
  TDialogs& Dialogs() { return Context.Dialogs; }
  TPageContext& Context;
};

// The widget with its object name (the control's name) and hint.
template <class TWidget> TWidget* Named(TWidget* widget, const char* name, const QString& hint = {}) {
  widget->setObjectName(name);
  if (!hint.isEmpty()) widget->setToolTip(hint);
  return widget;
}

QGroupBox* Group(const QString& title, QLayout* layout);
// "Connects: " + n and the like: a number after its caption.
QString Counted(const char* caption, long value);

} // namespace quibo
