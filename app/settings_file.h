#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The settings file as text: INI sections of "key=value" lines. Section and key names
// match without regard to ASCII case, and the sections of one name are one section. Only
// the lines that are set change; every other
// byte of the file (comments, other sections, unknown keys, a UTF-8 byte order mark,
// each line's own line end, bytes that are not UTF-8) is kept as it was.
namespace quillfern {

class SettingsFileText {
 public:
  SettingsFileText() = default;
  explicit SettingsFileText(std::string bytes) : bytes_(std::move(bytes)) {}

  // The whole file, as it is to be written.
  const std::string& Bytes() const { return bytes_; }

  // The value of every line with this key in the sections of this name, in file order
  // (none when the key is missing; a key written twice, as by a hand-edit appended to the
  // file, gives two): the text after the first "=", without blanks around it and without
  // one pair of double quotes enclosing it. Lines before the first section belong to no
  // section.
  std::vector<std::string> Values(std::string_view section, std::string_view key) const;

  // Replaces the value of the key's first line, keeping the line's key and its line end as
  // written, and removes the key's other lines, so that the file gives the key one value;
  // without such a line, adds "key=value" after the first section's last line that is not
  // blank; without the section, adds it at the end of the file. The value is quoted when
  // reading it back would otherwise lose blanks or quotes at its ends. Added lines end
  // like the file's first line (CRLF or LF). The value must hold no line break.
  void SetValue(std::string_view section, std::string_view key, std::string_view value);

 private:
  struct Line {
    size_t start;     // first byte of the line
    size_t end;       // first byte of its line end (or of the file's end)
    size_t nextLine;  // first byte after its line end
  };
  struct Found {
    std::vector<Line> keyLines;          // the lines with the key, in file order
    std::optional<Line> lastFilledLine;  // the first section's last line that is not blank
  };
  std::optional<Line> LineAt(size_t position) const;
  std::optional<Found> Find(std::string_view section, std::string_view key) const;
  std::string_view LineEnd() const;

  std::string bytes_;
};

}  // namespace quillfern
