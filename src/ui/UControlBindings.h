// TControlBindings: ties the window's controls to the fields of the editable
// settings record of TForm1. A change of a control writes its field and
// publishes the record (TForm1::SettingsEdited), so settings read at the moment
// of use act at once; Load sets every control from the record without
// writing back. Rules (which controls are enabled) run after a load and after
// every change. Window thread only; never fails.
#pragma once

#include "USettings.h"

#include <functional>
#include <vector>

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

namespace quibo {

class TForm1;

class TControlBindings {
public:
  using TAction = std::function<void()>;
  explicit TControlBindings(TForm1& form) : Form(form) {}

  // afterChange runs after an operator's change has been published.
  void Bind(QLineEdit* edit, std::string TSettings::*field, TAction afterChange = {});
  void Bind(QAbstractButton* box, bool TSettings::*field, TAction afterChange = {});
  void Bind(QSpinBox* spin, int TSettings::*field, TAction afterChange = {});
  void Bind(QComboBox* choice, std::string TSettings::*field, TAction afterChange = {});
  // A control that is loaded by hand (lists, the grid, the radio buttons).
  void OnLoad(TAction loader) { Loaders.push_back(std::move(loader)); }
  void AddRule(TAction rule) { Rules.push_back(std::move(rule)); }

  void Load();
  void RunRules();
  bool Loading() const { return InLoad; }
  // Publishes an operator's change made outside a bound control, then runs the rules.
  void Edited();

private:
  template <class TValue> void Changed(TValue TSettings::*field, TValue value, const TAction& afterChange);

  TForm1& Form;
  std::vector<TAction> Loaders;
  std::vector<TAction> Rules;
  bool InLoad = false;
};

} // namespace quibo
