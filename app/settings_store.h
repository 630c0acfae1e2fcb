#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings_values.h"

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
  BluetoothL2cap,          // the Bluetooth services also listen on L2CAP (OBEX over L2CAP)
};
inline constexpr size_t SettingCount = 17;

enum class SettingType : uint8_t { Integer, Text };

// One entry of the table: its key, type and default, and how it reads a value from the file.
// A value the entry cannot take (text that is no integer in its file form, a number out of
// its range, a text that cannot be stored) is never guessed at: the entry takes the value
// given for that case and the store says so in a warning. For an entry whose wrong reading
// would let someone in, that value is the strictest one, which lets in the fewest.
struct SettingDefinition {
  std::string_view key;  // its name in the file
  SettingType type;
  int32_t defaultInteger;
  std::string_view defaultText;
  // Integers: the values the entry can take, minimum to maximum.
  int32_t minimum = 0;
  int32_t maximum = 0;
  // Integers: the value taken in place of one the entry cannot take, and what it means
  // (for texts too).
  int32_t unreadable = 0;
  std::string_view unreadableMeans;
  // Texts: what a text over the file's limits becomes, and the text taken in place of
  // one the entry cannot hold at all.
  TextLimit textLimit = TextLimit::Cut;
  std::string_view unreadableText = defaultText;
};

inline constexpr std::string_view SettingsSection = "Settings";

// A settings file larger than this is not read: a few kilobytes hold every key, and a
// thousand always-accepted devices take 18 KiB.
inline constexpr size_t SettingsFileMaxBytes = 1024 * 1024;

inline constexpr std::array<SettingDefinition, SettingCount> SettingsTable = {{
    {"AutoStart", SettingType::Integer, 0, {}, 0, 1, 0, "off"},
    {"AutoStartOP", SettingType::Integer, 0, {}, 0, 1, 0, "off"},
    {"AutoStartFB", SettingType::Integer, 0, {}, 0, 1, 0, "off"},
    {"AutoStartTCP", SettingType::Integer, 0, {}, 0, 1, 0, "off"},
    {"AllowAccessHiddenFiles", SettingType::Integer, 0, {}, 0, 1, 0, "off"},
    {"BalloonNotification", SettingType::Integer, 1, {}, 0, 1, 1, "on"},
    {"UseIPv6", SettingType::Integer, 0, {}, 0, 1, 0, "off"},
    {"TcpPort", SettingType::Integer, 650, {}, 0, 65535, 650, {}},
    {"RootPath", SettingType::Text, 0, {}, 0, 0, 0, {}, TextLimit::Refuse},
    {"OPServiceName", SettingType::Text, 0, "OBEX Object Push"},
    {"FBServiceName", SettingType::Text, 0, "OBEX Folder Browsing"},
    {"ReceivedNotification", SettingType::Integer, 1, {}, 0, 1, 1, "on"},
    {"ObjectPushReplaces", SettingType::Integer, 0, {}, 0, 1, 0, "off"},
    {"PushPolicy", SettingType::Integer, 1, {}, 0, 2, 2, "only chosen devices may push"},
    {"AlwaysAcceptDevices", SettingType::Text, 0, {}, 0, 0, 0, {}, TextLimit::None},
    // An address that cannot be held must not become "every address".
    {"ListenAddress",
     SettingType::Text,
     0,
     {},
     0,
     0,
     0,
     "only this computer may connect",
     TextLimit::Refuse,
     "127.0.0.1"},
    // Lets in nobody that RFCOMM does not (same slots, same checks), so no reading is
    // stricter than another; but only someone who wants it off writes this key, so a value
    // that cannot be read is taken as their "off", which still serves every client.
    {"BluetoothL2cap", SettingType::Integer, 1, {}, 0, 1, 0, "off"},
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
// folder over the limits, which a cut would turn into another folder). The list of
// always-accepted devices has no limit. A settings dialog can ask this before it accepts
// a value.
std::optional<std::string> StorableText(Setting setting, std::string_view text);

class SettingsStore {
 public:
  // Every entry starts at its default. An empty path gives a store without a file:
  // loading and saving then change nothing and report NoFile.
  explicit SettingsStore(std::filesystem::path file);

  const std::filesystem::path& FilePath() const { return file_; }

  // Reads every entry from the file, in table order. A key that is missing is added to
  // the file with its default (the first start thus creates the file, and its folder,
  // with every key in table order); a value the entry cannot take gives the entry's
  // value for that case (see SettingDefinition) and a warning, and its line stays as it
  // is. A file that exists but cannot be read (not a regular file, larger than
  // SettingsFileMaxBytes, or refused by the system) is never written; every entry then
  // takes the value it takes for a value it cannot read, and a warning says so. No
  // entry is marked changed.
  SettingsFileResult LoadSettings();

  // The same reading, without adding anything to the file: for a process that only
  // takes the user's settings as its starting point (the headless service, whose
  // command-line flags then override them).
  SettingsFileResult ReadSettings();

  // What the last reading found that could not be used as written, one sentence each,
  // for the user: a file that cannot be read, a value an entry cannot take, a text cut
  // to the file's limits.
  const std::vector<std::string>& Warnings() const { return warnings_; }

  int32_t Integer(Setting setting) const { return entries_[Index(setting)].integer; }
  bool IsOn(Setting setting) const { return Integer(setting) != 0; }
  const std::string& Text(Setting setting) const { return entries_[Index(setting)].text; }
  bool IsChanged(Setting setting) const { return entries_[Index(setting)].changed; }

  // Stores the value and marks the entry changed when it differs from the current one
  // (a text after StorableText's cut) and returns true; otherwise changes nothing and
  // returns false. False too for a value of the wrong type, a text that cannot be
  // stored, or a number out of the entry's range. Setting a value and then its previous
  // value leaves the entry marked, so the file gets the final value.
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
  // Takes the file's value into the entry, or says why it cannot.
  void ReadValue(size_t index, const std::string& value);
  SettingsFileResult Write(const std::string& bytes);

  // All fields: UI thread only. The store has no lock; every call comes from there.
  const std::filesystem::path file_;  // fixed at construction
  std::array<Entry, SettingCount> entries_;
  std::string errorText_;
  std::vector<std::string> warnings_;
};

}  // namespace quillfern
