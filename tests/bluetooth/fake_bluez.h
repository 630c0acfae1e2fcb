#pragma once

#include <systemd/sd-bus.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillfern::testing {

// A small stand-in for bluetoothd on a private bus, served by a thread of its own: it
// answers GetManagedObjects with the adapters given, keeps what RegisterProfile and
// UnregisterProfile are told, answers Device1's Name, Paired, Bonded and Trusted, and never
// answers for a device marked silent. It takes the name org.bluez only when told to.
class FakeBluez {
 public:
  struct Adapter {
    std::string path = "/org/bluez/hci0";
    std::string address = "00:11:22:33:44:55";
    bool powered = true;
    std::string powerState = "on";
    std::vector<std::string> uuids;
  };
  struct Device {
    std::optional<std::string> name;
    bool paired = false;
    std::optional<bool> bonded;
    bool trusted = false;
    bool silent = false;  // Properties.Get on it is never answered
  };
  struct Registration {
    std::string sender;  // the unique bus name of the program that registered
    std::string path;
    std::string uuid;
    std::vector<std::string> optionNames;            // in the order given
    std::map<std::string, std::string> textOptions;  // the options that are strings
  };

  explicit FakeBluez(const std::string& busAddress);
  ~FakeBluez();
  FakeBluez(const FakeBluez&) = delete;
  FakeBluez& operator=(const FakeBluez&) = delete;

  bool Connected() const { return bus_ != nullptr; }
  // Takes or gives up the name org.bluez; true when done.
  bool Own();
  bool Disown();

  void SetAdapters(std::vector<Adapter> adapters);
  // device path, e.g. /org/bluez/hci0/dev_00_1A_7D_DA_71_13
  void SetDevice(const std::string& path, Device device);
  std::vector<Registration> Registered() const;
  std::vector<std::string> Unregistered() const;
  // How many Properties.Get calls went unanswered.
  int SilentCalls() const;
  // A busy bluetoothd: each RegisterProfile is taken up only after this long, and
  // nothing else is served meanwhile; calls that came after it follow in order.
  void SetRegisterStall(uint64_t milliseconds);

  // Signals about an adapter: Powered false (with PowerState off, or off-blocked when
  // blocked), and the adapter's removal.
  void EmitSwitchedOff(const std::string& path, bool blocked);
  void EmitRemoved(const std::string& path);

  // Calls a registered profile's Profile1 object as bluetoothd would, without waiting:
  // NewConnection with fd (and a phone's device path), or Release when fd is negative.
  // Returns the call's id for Answer.
  int CallProfile(const Registration& profile, int fd);
  // The error name the call got ("" for success), or nullopt while it waits.
  std::optional<std::string> Answer(int call) const;

 private:
  static int Handle(sd_bus_message* message, void* self, sd_bus_error* error);
  int HandleLocked(sd_bus_message* message, sd_bus_error* error);
  int ReplyManagedObjects(sd_bus_message* message);
  int ReplyProperty(sd_bus_message* message, sd_bus_error* error);
  // Runs work on the fake's thread and waits for it.
  void Run(const std::function<void(sd_bus*)>& work);
  void Serve();

  sd_bus* bus_ = nullptr;            // used on the fake's thread only, once it runs
  sd_bus_slot* slot_ = nullptr;      // /org/bluez and below
  sd_bus_slot* rootSlot_ = nullptr;  // /
  std::thread thread_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable done_;
  std::deque<std::pair<const std::function<void(sd_bus*)>*, bool*>> work_;
  bool stop_ = false;
  std::vector<Adapter> adapters_;
  std::map<std::string, Device> devices_;
  std::vector<Registration> registered_;
  std::vector<std::string> unregistered_;
  std::vector<std::string> dropped_;         // profiles forgotten when the name was given up
  std::vector<sd_bus_message*> unanswered_;  // held so that they are never answered
  uint64_t registerStallMs_ = 0;
  std::map<int, std::optional<std::string>> answers_;
  struct PendingCall {
    FakeBluez* fake;
    int id;
  };
  std::deque<PendingCall> pending_;  // the fake's thread only; stable for the replies
  int nextCall_ = 1;
};

}  // namespace quillfern::testing
