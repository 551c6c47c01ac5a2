#include "UControlBindings.h"

#include "UMain.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>

namespace quibo {

template <class TValue>
void TControlBindings::Changed(TValue TSettings::*field, TValue value, const TAction& afterChange) {
  if (InLoad) return;
  Form.Editable().*field = std::move(value);
  Edited();
  if (afterChange) afterChange();
}

void TControlBindings::Edited() {
  Form.SettingsModel().PublishEditable();
  RunRules();
}

void TControlBindings::Bind(QLineEdit* edit, std::string TSettings::*field, TAction afterChange) {
  QObject::connect(edit, &QLineEdit::textChanged, [this, field, afterChange](const QString& text) {
    Changed(field, text.toStdString(), afterChange);
  });
  OnLoad([this, edit, field] { edit->setText(QString::fromStdString(Form.Editable().*field)); });
}

void TControlBindings::Bind(QAbstractButton* box, bool TSettings::*field, TAction afterChange) {
  QObject::connect(box, &QAbstractButton::toggled,
                   [this, field, afterChange](bool checked) { Changed(field, checked, afterChange); });
  OnLoad([this, box, field] { box->setChecked(Form.Editable().*field); });
}

void TControlBindings::Bind(QSpinBox* spin, int TSettings::*field, TAction afterChange) {
  QObject::connect(spin, &QSpinBox::valueChanged,
                   [this, field, afterChange](int value) { Changed(field, value, afterChange); });
  OnLoad([this, spin, field] { spin->setValue(Form.Editable().*field); });
}

void TControlBindings::Bind(QComboBox* choice, std::string TSettings::*field, TAction afterChange) {
  QObject::connect(choice, &QComboBox::currentTextChanged, [this, field, afterChange](const QString& text) {
    Changed(field, text.toStdString(), afterChange);
  });
  // A value that is not among the choices leaves none selected.
  OnLoad([this, choice, field] {
    choice->setCurrentIndex(choice->findText(QString::fromStdString(Form.Editable().*field)));
  });
}

void TControlBindings::Load() {
  InLoad = true;
  for (const auto& loader : Loaders)
    loader();
  InLoad = false;
  RunRules();
}

void TControlBindings::RunRules() {
  for (const auto& rule : Rules)
    rule();
}

} // namespace quibo
