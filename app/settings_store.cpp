#include "app/settings_store.h"

#include <sys/stat.h>

#include <algorithm>

#include "app/file_replace.h"
#include "app/settings_file.h"
#include "app/settings_values.h"
#include "platform/text.h"

namespace quillfern {
namespace {

// The per-user configuration folder is private to its user.
constexpr mode_t ConfigFolderMode = 0700;

std::string FileForm(const SettingDefinition& definition, int32_t integer, std::string_view text) {
  if (definition.type == SettingType::Integer) return FormatSettingInteger(integer);
  return std::string(text);
}

// The file's value as a warning quotes it: the file may hold anything.
std::string Quoted(std::string_view value) {
  return "\"" + ShownText(value) + "\"";
}

// "0 or 1", "0 to 65535".
std::string RangeText(const SettingDefinition& definition) {
  return std::to_string(definition.minimum) +
         (definition.maximum - definition.minimum == 1 ? " or " : " to ") +
         std::to_string(definition.maximum);
}

// "2: only chosen devices may push", "650", "off": how an entry reads a value it cannot
// take.
std::string IntegerReadInstead(const SettingDefinition& definition) {
  if (definition.maximum == 1) return std::string(definition.unreadableMeans);
  std::string text = std::to_string(definition.unreadable);
  if (!definition.unreadableMeans.empty()) text += ": " + std::string(definition.unreadableMeans);
  return text;
}

// "\"127.0.0.1\": only this computer may connect": how a text entry reads a text it cannot
// hold.
std::string TextReadInstead(const SettingDefinition& definition) {
  std::string text = Quoted(definition.unreadableText);
  if (!definition.unreadableMeans.empty()) text += ": " + std::string(definition.unreadableMeans);
  return text;
}

// The entries that read a file they cannot read otherwise than their default says.
std::string StricterThanDefaults() {
  std::string text;
  for (const SettingDefinition& definition : SettingsTable) {
    const bool integer = definition.type == SettingType::Integer;
    if (integer ? definition.unreadable != definition.defaultInteger
                : definition.unreadableText != definition.defaultText) {
      text += (text.empty() ? ", except " : ", ") + std::string(definition.key) + ", read as " +
              (integer ? IntegerReadInstead(definition) : TextReadInstead(definition));
    }
  }
  return text;
}

}  // namespace

std::optional<std::string> StorableText(Setting setting, std::string_view text) {
  return FitSettingText(text, DefinitionOf(setting).textLimit);
}

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {
  for (size_t i = 0; i < SettingCount; ++i) {
    entries_[i].integer = SettingsTable[i].defaultInteger;
    entries_[i].text = SettingsTable[i].defaultText;
  }
}

SettingsFileResult SettingsStore::LoadSettings() {
  return Read(true);
}

SettingsFileResult SettingsStore::ReadSettings() {
  return Read(false);
}

SettingsFileResult SettingsStore::Read(bool addMissingKeys) {
  for (size_t i = 0; i < SettingCount; ++i) {
    entries_[i] =
        Entry{SettingsTable[i].defaultInteger, std::string(SettingsTable[i].defaultText), false};
  }
  warnings_.clear();
  if (file_.empty()) return SettingsFileResult::NoFile;
  std::string bytes;
  if (ReadWholeFile(file_, bytes, errorText_, SettingsFileMaxBytes) == FileReadResult::Failed) {
    // Whatever the file says is unknown, so nothing it might have closed is opened.
    for (size_t i = 0; i < SettingCount; ++i) {
      entries_[i].integer = SettingsTable[i].unreadable;
      entries_[i].text = SettingsTable[i].unreadableText;
    }
    warnings_.push_back("Cannot read the settings file " + file_.string() + ": " + errorText_ +
                        "; the built-in defaults are used" + StricterThanDefaults());
    return SettingsFileResult::ReadFailed;
  }
  SettingsFileText text(std::move(bytes));
  bool keysAdded = false;
  for (size_t i = 0; i < SettingCount; ++i) {
    const SettingDefinition& definition = SettingsTable[i];
    Entry& entry = entries_[i];
    const std::vector<std::string> values = text.Values(SettingsSection, definition.key);
    if (values.empty()) {
      if (addMissingKeys) {
        text.SetValue(SettingsSection, definition.key,
                      FileForm(definition, entry.integer, entry.text));
        keysAdded = true;
      }
      continue;
    }
    if (std::ranges::all_of(values, [&](const std::string& v) { return v == values[0]; })) {
      ReadValue(i, values[0]);
    } else {
      ReadDisagreeingValues(i, values);
    }
  }
  return keysAdded ? Write(text.Bytes()) : SettingsFileResult::Done;
}

void SettingsStore::ReadValue(size_t index, const std::string& value) {
  const SettingDefinition& definition = SettingsTable[index];
  Entry& entry = entries_[index];
  const std::string given =
      "The settings give " + std::string(definition.key) + " " + Quoted(value);
  if (definition.type == SettingType::Integer) {
    const auto integer = ParseSettingInteger(value);
    if (integer && *integer >= definition.minimum && *integer <= definition.maximum) {
      entry.integer = *integer;
      return;
    }
    entry.integer = definition.unreadable;
    warnings_.push_back(given + ", which it cannot take (" + RangeText(definition) +
                        "); it is read as " + IntegerReadInstead(definition));
    return;
  }
  auto storable = StorableText(static_cast<Setting>(index), value);
  if (!storable) {
    entry.text = definition.unreadableText;
    warnings_.push_back(given + ", which it cannot hold; it is read as " +
                        TextReadInstead(definition));
    return;
  }
  if (storable->size() < value.size()) {
    warnings_.push_back(given + ", which is longer than it can be; it is read as " +
                        Quoted(*storable));
  }
  entry.text = std::move(*storable);
}

void SettingsStore::ReadDisagreeingValues(size_t index, const std::vector<std::string>& values) {
  const SettingDefinition& definition = SettingsTable[index];
  Entry& entry = entries_[index];
  std::string given;
  for (const std::string& value : values) given += (given.empty() ? "" : ", ") + Quoted(value);
  std::string readAs;
  if (definition.type == SettingType::Integer) {
    entry.integer = definition.unreadable;
    readAs = IntegerReadInstead(definition);
  } else {
    entry.text = definition.unreadableText;
    readAs = TextReadInstead(definition);
  }
  warnings_.push_back("The settings give " + std::string(definition.key) + " " +
                      std::to_string(values.size()) + " times, as " + given +
                      "; as it cannot tell which is meant, it is read as " + readAs);
}

bool SettingsStore::SetSetting(Setting setting, int32_t value) {
  const SettingDefinition& definition = DefinitionOf(setting);
  Entry& entry = entries_[Index(setting)];
  if (definition.type != SettingType::Integer || value < definition.minimum ||
      value > definition.maximum || entry.integer == value) {
    return false;
  }
  entry.integer = value;
  entry.changed = true;
  return true;
}

bool SettingsStore::SetSetting(Setting setting, std::string_view value) {
  if (DefinitionOf(setting).type != SettingType::Text) return false;
  auto storable = StorableText(setting, value);
  Entry& entry = entries_[Index(setting)];
  if (!storable || entry.text == *storable) return false;
  entry.text = std::move(*storable);
  entry.changed = true;
  return true;
}

SettingsFileResult SettingsStore::SaveSettings() {
  bool anyChanged = false;
  for (const Entry& entry : entries_) anyChanged = anyChanged || entry.changed;
  if (!anyChanged) return SettingsFileResult::Done;
  if (file_.empty()) return SettingsFileResult::NoFile;
  std::string bytes;
  if (ReadWholeFile(file_, bytes, errorText_, SettingsFileMaxBytes) == FileReadResult::Failed) {
    return SettingsFileResult::ReadFailed;
  }
  SettingsFileText text(std::move(bytes));
  for (size_t i = 0; i < SettingCount; ++i) {
    const Entry& entry = entries_[i];
    if (!entry.changed) continue;
    text.SetValue(SettingsSection, SettingsTable[i].key,
                  FileForm(SettingsTable[i], entry.integer, entry.text));
  }
  const SettingsFileResult result = Write(text.Bytes());
  if (result == SettingsFileResult::Done) {
    for (Entry& entry : entries_) entry.changed = false;
  }
  return result;
}

SettingsFileResult SettingsStore::Write(const std::string& bytes) {
  if (file_.has_parent_path() &&
      !CreateFolders(file_.parent_path(), ConfigFolderMode, errorText_)) {
    return SettingsFileResult::WriteFailed;
  }
  if (!ReplaceFile(file_, bytes, errorText_)) return SettingsFileResult::WriteFailed;
  return SettingsFileResult::Done;
}

}  // namespace quillfern
