// TIniDocument: an INI file held as its lines, so that saving keeps what the
// program does not own (other sections, file-only keys, comments, order).
// Section and key names match without regard to case; values are trimmed.
// Used by the settings load/save on the window thread. Loading never fails
// (a missing file is an empty document, a broken line is skipped); Save
// throws std::system_error when the file cannot be written.
#pragma once

#include "UFunctions.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quibo {

class TIniDocument {
public:
  static TIniDocument Load(const std::filesystem::path& file);
  static TIniDocument Parse(const std::string& text);
  void Save(const std::filesystem::path& file) const;
  std::string Text() const;

  std::optional<std::string> Read(const std::string& section, const std::string& key) const;
  // The values of every key=value line of a section, in file order.
  std::vector<std::string> SectionValues(const std::string& section) const;
  void Write(const std::string& section, const std::string& key, const std::string& value);
  void EraseSection(const std::string& section);

private:
  struct TRange {
    size_t Header; // index of the "[name]" line
    size_t End;    // one past the last line of the section
  };
  std::vector<TRange> Sections(const std::string& name) const;

  std::vector<std::string> Lines;
};

} // namespace quibo
