// The pictures of the desktop program, drawn at run time so no image files
// have to be shipped: the program's icon (tray, window, about box) and the
// "update available" picture. Window thread (they need the GUI); never fail.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace quibo {

QIcon QuiboIcon();
QPixmap UpdatePicture(int size);

} // namespace quibo
