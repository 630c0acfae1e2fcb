#include "server/receiving_names.h"

#include <mutex>
#include <set>
#include <tuple>
#include <utility>

namespace quillfern {
namespace {

using Key = std::tuple<dev_t, ino_t, std::string>;

// Workers of every session meet here, each for a moment per request.
std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::set<Key, std::less<>>& Registry() {
  static std::set<Key, std::less<>> names;
  return names;
}

}  // namespace

ReceivingName::ReceivingName(ReceivingName&& other) noexcept
    : held_(std::exchange(other.held_, false)),
      device_(other.device_),
      folder_(other.folder_),
      leaf_(std::move(other.leaf_)) {}

ReceivingName& ReceivingName::operator=(ReceivingName&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = std::exchange(other.held_, false);
    device_ = other.device_;
    folder_ = other.folder_;
    leaf_ = std::move(other.leaf_);
  }
  return *this;
}

ReceivingName::~ReceivingName() {
  Release();
}

ReceivingName ReceivingName::Claim(dev_t device, ino_t folder, std::string_view leaf) {
  ReceivingName claim;
  const std::lock_guard lock(RegistryMutex());
  if (!Registry().emplace(device, folder, std::string(leaf)).second) return claim;
  claim.held_ = true;
  claim.device_ = device;
  claim.folder_ = folder;
  claim.leaf_ = leaf;
  return claim;
}

bool ReceivingName::IsClaimed(dev_t device, ino_t folder, std::string_view leaf) {
  const std::lock_guard lock(RegistryMutex());
  return Registry().contains(Key(device, folder, std::string(leaf)));
}

void ReceivingName::Release() {
  if (!held_) return;
  held_ = false;
  const std::lock_guard lock(RegistryMutex());
  Registry().erase(Key(device_, folder_, leaf_));
}

}  // namespace quillfern
