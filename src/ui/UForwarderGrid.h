// TForwarderGrid: the Mail page's forwarding table DistributeGrid with its
// "Add forwarder" and "Delete forwarder" buttons. Row 1 shows the default
// destination ("*", the outgoing server and port) and cannot be edited; the
// rows below are the destinations of the settings record, which take effect
// at the next "Save". The server cell offers the servers already in use.
// Window thread only.
#pragma once

#include "UControlBindings.h"
#include "UMain.h"

#include <QWidget>

class QTableWidget;

namespace quibo {

class TForwarderGrid : public QWidget {
public:
  TForwarderGrid(TForm1& form, TControlBindings& bindings, QWidget* parent = nullptr);
  void Load();
  void ShowDefaultRow(); // row 1 after the outgoing server or port changed

private:
  void CellEdited(int row, int column);

  TForm1& Form;
  TControlBindings& Bindings;
  QTableWidget* Grid;
  bool Filling = false;
};

} // namespace quibo
