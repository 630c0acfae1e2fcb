#include "app/settings_file.h"

#include <cassert>

namespace quillfern {
namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view Blanks = " \t";

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(Blanks);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(Blanks);
  return text.substr(first, last - first + 1);
}

std::string_view Unquote(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// "[name]", possibly with blanks around; anything after the "]" is ignored.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// The key of a "key=value" line; comment lines (";" or "#") and lines without "=" or
// without a key have none.
std::optional<std::string_view> KeyName(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return std::nullopt;
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  const std::string_view key = Trim(line.substr(0, equals));
  if (key.empty()) return std::nullopt;
  return key;
}

std::string FileForm(std::string_view value) {
  if (Unquote(Trim(value)) == value) return std::string(value);
  std::string quoted = "\"";
  quoted += value;
  quoted += '"';
  return quoted;
}

}  // namespace

std::optional<SettingsFileText::Line> SettingsFileText::LineAt(size_t position) const {
  if (position >= bytes_.size()) return std::nullopt;
  Line line{};
  line.start = position;
  const size_t newline = bytes_.find('\n', position);
  if (newline == std::string::npos) {
    line.end = line.nextLine = bytes_.size();
  } else {
    line.nextLine = newline + 1;
    line.end = newline > position && bytes_[newline - 1] == '\r' ? newline - 1 : newline;
  }
  return line;
}

std::optional<SettingsFileText::Found> SettingsFileText::Find(std::string_view section,
                                                              std::string_view key) const {
  const std::string_view all(bytes_);
  size_t position = all.starts_with(ByteOrderMark) ? ByteOrderMark.size() : 0;
  bool inSection = false;
  int sectionsSeen = 0;
  Found found;
  while (const auto line = LineAt(position)) {
    position = line->nextLine;
    const std::string_view text = all.substr(line->start, line->end - line->start);
    if (const auto name = SectionName(text)) {
      inSection = EqualsIgnoringCase(*name, section);
      if (inSection && ++sectionsSeen == 1) found.lastFilledLine = line;
      continue;
    }
    if (!inSection) continue;
    if (sectionsSeen == 1 && !Trim(text).empty()) found.lastFilledLine = line;
    const auto name = KeyName(text);
    if (name && EqualsIgnoringCase(*name, key)) found.keyLines.push_back(*line);
  }
  if (sectionsSeen == 0) return std::nullopt;
  return found;
}

std::string_view SettingsFileText::LineEnd() const {
  const size_t newline = bytes_.find('\n');
  if (newline != std::string::npos && newline > 0 && bytes_[newline - 1] == '\r') return "\r\n";
  return "\n";
}

std::vector<std::string> SettingsFileText::Values(std::string_view section,
                                                  std::string_view key) const {
  std::vector<std::string> values;
  const auto found = Find(section, key);
  if (!found) return values;
  for (const Line& keyLine : found->keyLines) {
    const std::string_view line =
        std::string_view(bytes_).substr(keyLine.start, keyLine.end - keyLine.start);
    values.emplace_back(Unquote(Trim(line.substr(line.find('=') + 1))));
  }
  return values;
}

void SettingsFileText::SetValue(std::string_view section, std::string_view key,
                                std::string_view value) {
  assert(value.find_first_of("\r\n") == std::string_view::npos);
  const std::string fileForm = FileForm(value);
  const auto found = Find(section, key);
  if (found && !found->keyLines.empty()) {
    // The later lines go first, so that the first line's place stays where it was found.
    for (size_t i = found->keyLines.size() - 1; i > 0; --i) {
      const Line& repeated = found->keyLines[i];
      bytes_.erase(repeated.start, repeated.nextLine - repeated.start);
    }
    const Line& first = found->keyLines.front();
    const size_t valueStart = bytes_.find('=', first.start) + 1;
    bytes_.replace(valueStart, first.end - valueStart, fileForm);
    return;
  }
  const std::string lineEnd(LineEnd());
  std::string added;
  size_t insertAt = bytes_.size();
  if (found) {
    insertAt = found->lastFilledLine->nextLine;
  } else if (!bytes_.empty() && bytes_ != ByteOrderMark) {
    added = lineEnd;  // a blank line between the file's last section and the new one
  }
  // The line before the insertion point may be the file's last, without a line end.
  if (insertAt == bytes_.size() && !bytes_.empty() && bytes_.back() != '\n' &&
      bytes_ != ByteOrderMark) {
    added.insert(0, lineEnd);
  }
  if (!found) {
    added += '[';
    added += section;
    added += ']';
    added += lineEnd;
  }
  added += key;
  added += '=';
  added += fileForm;
  added += lineEnd;
  bytes_.insert(insertAt, added);
}

}  // namespace quillfern
