#include "UForwarderGrid.h"

#include "UPage.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QVBoxLayout>

namespace quibo {
namespace {

constexpr int kServerColumn = 1;

// An editable choice of the servers the forwarding table already uses.
class TServerChoiceDelegate : public QStyledItemDelegate {
public:
  TServerChoiceDelegate(TForm1& form, QObject* parent) : QStyledItemDelegate(parent), Form(form) {}
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
    auto* choice = new QComboBox(parent);
    choice->setEditable(true);
    for (const auto& server : Form.SettingsModel().ForwardServerChoices())
      choice->addItem(QString::fromStdString(server));
    return choice;
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    static_cast<QComboBox*>(editor)->setCurrentText(index.data().toString());
  }
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
    model->setData(index, static_cast<QComboBox*>(editor)->currentText());
  }

private:
  TForm1& Form;
};

QTableWidgetItem* Cell(const std::string& text, bool editable) {
  auto* item = new QTableWidgetItem(QString::fromStdString(text));
  if (!editable) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
  return item;
}

} // namespace

TForwarderGrid::TForwarderGrid(TForm1& form, TControlBindings& bindings, QWidget* parent)
    : QWidget(parent), Form(form), Bindings(bindings), Grid(Named(new QTableWidget(0, 3), "DistributeGrid")) {
  Grid->setHorizontalHeaderLabels({"Domain", "Forward to mailserver", "Port"});
  Grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  Grid->verticalHeader()->setDefaultSectionSize(Grid->fontMetrics().height() + 8);
  Grid->setItemDelegateForColumn(kServerColumn, new TServerChoiceDelegate(form, Grid));
  auto* add = Named(new QPushButton("Add forwarder"), "BAddForwarder");
  auto* remove = Named(new QPushButton("Delete forwarder"), "BDeleteForwarder");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Grid);
  layout->addLayout(buttons);

  connect(Grid, &QTableWidget::cellChanged, this, [this](int row, int column) {
    if (!Filling) CellEdited(row, column);
  });
  connect(add, &QPushButton::clicked, this, [this] {
    Form.Editable().DistributeGrid.push_back({});
    Bindings.Edited();
    Load();
  });
  connect(remove, &QPushButton::clicked, this, [this] {
    const int row = Grid->currentRow();
    auto& rows = Form.Editable().DistributeGrid;
    if (row < 1 || static_cast<size_t>(row) > rows.size()) return; // row 1 is not a destination
    rows.erase(rows.begin() + (row - 1));
    Bindings.Edited();
    Load();
  });
  Bindings.OnLoad([this] { Load(); });
}

void TForwarderGrid::Load() {
  Filling = true;
  const auto& rows = Form.Editable().DistributeGrid;
  Grid->setRowCount(static_cast<int>(rows.size()) + 1);
  for (size_t i = 0; i < rows.size(); ++i) {
    const int row = static_cast<int>(i) + 1;
    Grid->setItem(row, 0, Cell(rows[i].Domain, true));
    Grid->setItem(row, 1, Cell(rows[i].Server, true));
    Grid->setItem(row, 2, Cell(rows[i].Port, true));
  }
  Filling = false;
  ShowDefaultRow();
}

void TForwarderGrid::ShowDefaultRow() {
  Filling = true;
  const TSettings& settings = Form.Editable();
  Grid->setItem(0, 0, Cell("*", false));
  Grid->setItem(0, 1, Cell(settings.EOutgoingIP, false));
  Grid->setItem(0, 2, Cell(std::to_string(ToIntDef(settings.EOutgoingPort, 26)), false));
  Filling = false;
}

void TForwarderGrid::CellEdited(int row, int column) {
  auto& rows = Form.Editable().DistributeGrid;
  if (row < 1 || static_cast<size_t>(row) > rows.size()) return;
  TForwardRow& destination = rows[static_cast<size_t>(row) - 1];
  const std::string text = Grid->item(row, column)->text().toStdString();
  (column == 0 ? destination.Domain : column == 1 ? destination.Server : destination.Port) = text;
  Bindings.Edited();
}

} // namespace quibo
