#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The user's settings, held in memory and kept in the "Settings" section of the
// settings file. The store is passive: whoever starts a service reads the values and
// hands them over; nothing reads the store from another thread.
namespace quillfern {

// Positions in the table below: the order in which entries are loaded and saved, and so
// the order of the keys in a newly created file.
enum class Setting : uint8_t {
  AutoStart,               // started at the user's log-on (mirrors the autostart entry)
  AutoStartOP,             // switch Bluetooth Object Push on at start
  AutoStartFB,             // switch Bluetooth Folder Browsing on at start
  AutoStartTCP,            // switch TCP/IP on at start
  AllowAccessHiddenFiles,  // sessions may reach hidden files and folders
  BalloonNotification,     // a notification when a client connects or disconnects
  UseIPv6,                 // the TCP server listens on IPv6 instead of IPv4
  TcpPort,                 // TCP listening port; 0 lets the system choose
  RootPath,                // the exchange folder
  OPServiceName,           // name in the Object Push service record
  FBServiceName,           // name in the Folder Browsing service record
  ReceivedNotification,    // a notification with actions when a pushed object arrives
  ObjectPushReplaces,      // a push of an existing name replaces it (else "name (1).ext")
  PushPolicy,              // 0 accept every push, 1 ask for devices not chosen, 2 chosen only
  AlwaysAcceptDevices,     // device addresses the user chose (push and browse), by spaces
  ListenAddress,           // the TCP service's address literal; empty: every address
};
inline constexpr size_t SettingCount = 16;

enum class SettingType : uint8_t { Integer, Text };

struct SettingDefinition {
  std::string_view key;  // its name in the file
  SettingType type;
  int32_t defaultInteger;
  std::string_view defaultText;
};

inline constexpr std::string_view SettingsSection = "Settings";

inline constexpr std::array<SettingDefinition, SettingCount> SettingsTable = {{
    {"AutoStart", SettingType::Integer, 0, {}},
    {"AutoStartOP", SettingType::Integer, 0, {}},
    {"AutoStartFB", SettingType::Integer, 0, {}},
    {"AutoStartTCP", SettingType::Integer, 0, {}},
    {"AllowAccessHiddenFiles", SettingType::Integer, 0, {}},
    {"BalloonNotification", SettingType::Integer, 1, {}},
    {"UseIPv6", SettingType::Integer, 0, {}},
    {"TcpPort", SettingType::Integer, 650, {}},
    {"RootPath", SettingType::Text, 0, {}},
    {"OPServiceName", SettingType::Text, 0, "OBEX Object Push"},
    {"FBServiceName", SettingType::Text, 0, "OBEX Folder Browsing"},
    {"ReceivedNotification", SettingType::Integer, 1, {}},
    {"ObjectPushReplaces", SettingType::Integer, 0, {}},
    {"PushPolicy", SettingType::Integer, 1, {}},
    {"AlwaysAcceptDevices", SettingType::Text, 0, {}},
    {"ListenAddress", SettingType::Text, 0, {}},
}};

constexpr const SettingDefinition& DefinitionOf(Setting setting) {
  return SettingsTable[static_cast<size_t>(setting)];
}

// What a settings file operation came to. Each value means one thing.
enum class SettingsFileResult : uint8_t {
  Done,         // the file was read (and written, where needed)
  NoFile,       // the store has no file path (no per-user folder is known)
  ReadFailed,   // the file exists but cannot be read; it was left alone
  WriteFailed,  // the file or its folder could not be written
};

// What SetSetting may store in a text entry: the text cut to the file's limits, or
// nothing when it cannot be stored (not UTF-8, a NUL or a line break, or an exchange
// folder over the limits, which a cut would turn into another folder). A settings
// dialog can ask this before it accepts a value.
std::optional<std::string> StorableText(Setting setting, std::string_view text);

class SettingsStore {
 public:
  // Every entry starts at its default. An empty path gives a store without a file:
  // loading and saving then change nothing and report NoFile.
  explicit SettingsStore(std::filesystem::path file);

  const std::filesystem::path& FilePath() const { return file_; }

  // Reads every entry from the file, in table order. A key that is missing is added to
  // the file with its default (the first start thus creates the file, and its folder,
  // with every key in table order); a value that cannot be read gives the default
  // and its line stays as it is. Every entry has its file value or its default
  // afterwards, whatever the result, and no entry is marked changed. A file that exists
  // but cannot be read is never written.
  SettingsFileResult LoadSettings();

  // The same reading, without adding anything to the file: for a process that only
  // takes the user's settings as its starting point (the headless service, whose
  // command-line flags then override them).
  SettingsFileResult ReadSettings();

  int32_t Integer(Setting setting) const { return entries_[Index(setting)].integer; }
  bool IsOn(Setting setting) const { return Integer(setting) != 0; }
  const std::string& Text(Setting setting) const { return entries_[Index(setting)].text; }
  bool IsChanged(Setting setting) const { return entries_[Index(setting)].changed; }

  // Stores the value and marks the entry changed when it differs from the current one
  // (a text after StorableText's cut) and returns true; otherwise changes nothing and
  // returns false. False too for a value of the wrong type and for a text that cannot be
  // stored. Setting a value and then its previous value leaves the entry marked, so the
  // file gets the final value.
  bool SetSetting(Setting setting, int32_t value);
  bool SetSetting(Setting setting, std::string_view value);

  // Writes every changed entry to the file, in table order, and clears its mark. The
  // file is read again first, so lines changed by hand since loading survive; entries
  // not changed are not written. With nothing changed the file is not touched. On
  // failure the file is as it was and every mark stays for the next save.
  SettingsFileResult SaveSettings();

  // The system's reason for the last ReadFailed or WriteFailed, for a log line.
  const std::string& ErrorText() const { return errorText_; }

 private:
  struct Entry {
    int32_t integer = 0;
    std::string text;
    bool changed = false;
  };
  static size_t Index(Setting setting) { return static_cast<size_t>(setting); }
  SettingsFileResult Read(bool addMissingKeys);
  SettingsFileResult Write(const std::string& bytes);

  // All fields: UI thread only. The store has no lock; every call comes from there.
  const std::filesystem::path file_;  // fixed at construction
  std::array<Entry, SettingCount> entries_;
  std::string errorText_;
};

}  // namespace quillfern
