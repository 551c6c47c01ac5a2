#include "UListEditor.h"

#include "UPage.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace quibo {
namespace {

bool EditedInPlace(TPolicyList list) { return list == TPolicyList::LocalDomains || list == TPolicyList::LocalIps; }

} // namespace

TListEditor::TListEditor(TForm1& form, TPolicyList list, const TListNames& names, const QString& hint, QWidget* parent)
    : QWidget(parent), Form(form), Kind(list), Entries(Named(new QListWidget, names.List, hint)),
      Entry(Named(new QLineEdit, names.Entry)) {
  auto* add = Named(new QPushButton("Add"), names.Add);
  auto* remove = Named(new QPushButton(names.DeleteCaption), names.Delete);
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Entries, 0, 0, 1, 3);
  layout->addWidget(Entry, 1, 0);
  layout->addWidget(add, 1, 1);
  layout->addWidget(remove, 1, 2);
  connect(add, &QPushButton::clicked, this, [this] { Form.Guarded([this] { Add(); }); });
  connect(remove, &QPushButton::clicked, this, [this] { Form.Guarded([this] { Delete(); }); });
  if (EditedInPlace(Kind)) {
    connect(Entries, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) { Entry->setText(item->text()); });
    connect(Entry, &QLineEdit::textEdited, this, [this](const QString& text) { Form.Guarded([&] { Typed(text); }); });
  }
  Load();
}

void TListEditor::Load() {
  Entries->clear();
  for (const auto& entry : Form.PolicyLists().Entries(Kind))
    Entries->addItem(QString::fromStdString(entry));
  Entries->setCurrentRow(-1);
}

void TListEditor::Add() {
  Form.PolicyLists().Add(Kind, Entry->text().toStdString());
  Load();
}

void TListEditor::Delete() {
  Form.PolicyLists().Delete(Kind, Entries->currentRow());
  Load();
}

void TListEditor::Typed(const QString& text) {
  const int row = Entries->currentRow();
  if (row < 0) return; // with no entry selected typing changes nothing
  Form.PolicyLists().Rewrite(Kind, row, text.toStdString());
  Entries->item(row)->setText(text);
}

} // namespace quibo
