// The contract between the program and its desktop window module
// (libquibo_desktop.so beside the executable, loaded only in desktop mode so
// that a headless server never needs the window's libraries). The module's
// entry runs the GUI loop over the created TForm1 on the calling (window)
// thread until the window closes or TForm1 is told to quit; it returns "" then,
// or the reason why no window could be shown, before anything was shown.
#pragma once

#include <string>

namespace quibo {

class TForm1;

inline constexpr const char* kDesktopModule = "libquibo_desktop.so";
inline constexpr const char* kRunDesktopSymbol = "QuiboRunDesktop";
using TRunDesktop = std::string(TForm1& form, int argc, char** argv);

} // namespace quibo
