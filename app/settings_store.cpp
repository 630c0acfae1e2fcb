#include "app/settings_store.h"

#include <sys/stat.h>

#include "app/file_replace.h"
#include "app/settings_file.h"
#include "app/settings_values.h"

namespace quillfern {
namespace {

// The per-user configuration folder is private to its user.
constexpr mode_t ConfigFolderMode = 0700;

std::string FileForm(const SettingDefinition& definition, int32_t integer, std::string_view text) {
  if (definition.type == SettingType::Integer) return FormatSettingInteger(integer);
  return std::string(text);
}

}  // namespace

std::optional<std::string> StorableText(Setting setting, std::string_view text) {
  return FitSettingText(text, setting == Setting::RootPath);
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
  if (file_.empty()) return SettingsFileResult::NoFile;
  std::string bytes;
  if (ReadWholeFile(file_, bytes, errorText_) == FileReadResult::Failed) {
    return SettingsFileResult::ReadFailed;
  }
  SettingsFileText text(std::move(bytes));
  bool keysAdded = false;
  for (size_t i = 0; i < SettingCount; ++i) {
    const SettingDefinition& definition = SettingsTable[i];
    Entry& entry = entries_[i];
    const auto value = text.Value(SettingsSection, definition.key);
    if (!value) {
      if (addMissingKeys) {
        text.SetValue(SettingsSection, definition.key,
                      FileForm(definition, entry.integer, entry.text));
        keysAdded = true;
      }
      continue;
    }
    if (definition.type == SettingType::Integer) {
      entry.integer = ParseSettingInteger(*value).value_or(definition.defaultInteger);
    } else {
      entry.text = StorableText(static_cast<Setting>(i), *value)
                       .value_or(std::string(definition.defaultText));
    }
  }
  return keysAdded ? Write(text.Bytes()) : SettingsFileResult::Done;
}

bool SettingsStore::SetSetting(Setting setting, int32_t value) {
  Entry& entry = entries_[Index(setting)];
  if (DefinitionOf(setting).type != SettingType::Integer || entry.integer == value) return false;
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
  if (ReadWholeFile(file_, bytes, errorText_) == FileReadResult::Failed) {
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
