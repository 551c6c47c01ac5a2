// The console's page: its HTML, script and style sheet, compiled into the
// program from src/console/page/ by the build (UConsolePage.cpp.in). Served
// by TConsole; constant data, any thread.
#pragma once

#include <string>
#include <string_view>

namespace quibo {

struct TConsoleAsset {
  std::string_view Body;
  const char* ContentType;
};

// The asset served at a path ("/", "/console.js", "/console.css"); nullptr for any other.
const TConsoleAsset* ConsoleAsset(const std::string& path);

} // namespace quibo
