#include "UIniFile.h"

#include "UFunctions.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

namespace quibo {

namespace {

// "[name]" lines give the section name; anything else gives nothing.
std::optional<std::string> SectionName(const std::string& line) {
  const std::string text = Trimmed(line);
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return std::nullopt;
  return Trimmed(text.substr(1, text.size() - 2));
}

bool IsComment(const std::string& text) { return !text.empty() && (text[0] == ';' || text[0] == '#'); }

// Splits "key=value"; false for comments and lines without "=".
bool SplitEntry(const std::string& line, std::string& key, std::string& value) {
  const std::string text = Trimmed(line);
  if (text.empty() || IsComment(text)) return false;
  const auto equals = text.find('=');
  if (equals == std::string::npos) return false;
  key = Trimmed(text.substr(0, equals));
  value = Trimmed(text.substr(equals + 1));
  return !key.empty();
}

// Where a chain of links ends (at most 8 of them); the path itself when it is no link.
std::filesystem::path LinkTarget(std::filesystem::path file) {
  std::error_code error;
  for (int hops = 0; hops < 8 && std::filesystem::is_symlink(file, error); ++hops) {
    const std::filesystem::path target = std::filesystem::read_symlink(file, error);
    if (error) break;
    file = target.is_absolute() ? target : file.parent_path() / target;
  }
  return file;
}

} // namespace

TIniDocument TIniDocument::Parse(const std::string& text) {
  TIniDocument document;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    document.Lines.push_back(line);
  }
  return document;
}

TIniDocument TIniDocument::Load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str());
}

std::string TIniDocument::Text() const {
  std::string text;
  for (const auto& line : Lines)
    text += line + "\n";
  return text;
}

void TIniDocument::Save(const std::filesystem::path& path) const {
  // A link stays a link (the package's program folder links its settings in /etc): its target is replaced.
  const std::filesystem::path file = LinkTarget(path);
  // Write beside the file and rename, so a failed write never leaves half a file. The new file is given the old
  // one's mode before anything is written to it, so that settings only some may read never show to others.
  const std::filesystem::path temporary = file.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    std::error_code unknown;
    const auto mode = std::filesystem::status(file, unknown).permissions();
    if (out && !unknown) std::filesystem::permissions(temporary, mode, unknown);
    out << Text();
    out.flush();
    if (!out) throw std::system_error(errno, std::generic_category(), "Cannot write " + temporary.string());
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) throw std::system_error(error, "Cannot replace " + file.string());
}

std::vector<TIniDocument::TRange> TIniDocument::Sections(const std::string& name) const {
  std::vector<TRange> found;
  for (size_t i = 0; i < Lines.size(); ++i) {
    const auto section = SectionName(Lines[i]);
    if (!found.empty() && found.back().End == Lines.size() && section) found.back().End = i;
    if (section && SameText(*section, name)) found.push_back({i, Lines.size()});
  }
  return found;
}

std::optional<std::string> TIniDocument::Read(const std::string& section, const std::string& key) const {
  std::string entryKey, value;
  for (const auto& range : Sections(section))
    for (size_t i = range.Header + 1; i < range.End; ++i)
      if (SplitEntry(Lines[i], entryKey, value) && SameText(entryKey, key)) return value;
  return std::nullopt;
}

std::vector<std::string> TIniDocument::SectionValues(const std::string& section) const {
  std::vector<std::string> values;
  std::string key, value;
  for (const auto& range : Sections(section))
    for (size_t i = range.Header + 1; i < range.End; ++i)
      if (SplitEntry(Lines[i], key, value)) values.push_back(value);
  return values;
}

void TIniDocument::Write(const std::string& section, const std::string& key, const std::string& value) {
  const std::string entry = key + "=" + value;
  const auto ranges = Sections(section);
  std::string entryKey, oldValue;
  for (const auto& range : ranges)
    for (size_t i = range.Header + 1; i < range.End; ++i)
      if (SplitEntry(Lines[i], entryKey, oldValue) && SameText(entryKey, key)) {
        Lines[i] = entry;
        return;
      }
  if (ranges.empty()) {
    if (!Lines.empty() && !Trimmed(Lines.back()).empty()) Lines.emplace_back();
    Lines.push_back("[" + section + "]");
    Lines.push_back(entry);
    return;
  }
  // After the last entry of the first section of that name, before trailing blanks.
  size_t at = ranges.front().End;
  while (at > ranges.front().Header + 1 && Trimmed(Lines[at - 1]).empty())
    --at;
  Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
}

void TIniDocument::EraseSection(const std::string& section) {
  auto ranges = Sections(section);
  for (auto range = ranges.rbegin(); range != ranges.rend(); ++range)
    Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(range->Header),
                Lines.begin() + static_cast<std::ptrdiff_t>(range->End));
}

} // namespace quibo
