#include "UPage.h"

#include <QGroupBox>
#include <QLayout>

namespace quibo {

QGroupBox* Group(const QString& title, QLayout* layout) {
  auto* group = new QGroupBox(title);
  group->setLayout(layout);
  return group;
}

QString Counted(const char* caption, long value) { return QString(caption) + QString::number(value); }

} // namespace quibo
