#include "server/event_queue.h"

#include <algorithm>
#include <exception>

#include "platform/debug.h"

namespace quillfern {
namespace {

// Private to the queue's own window.
constexpr uint32_t EventsPendingMessage = 0x0401;

}  // namespace

std::string EventsLostText(uint64_t count) {
  return std::to_string(count) + " log lines lost: the events came faster than they were handled";
}

ServerEventQueue::ServerEventQueue(EventLoop& loop, ServerEventHandler deliver, size_t logLimit)
    : loop_(loop), deliver_(std::move(deliver)), logLimit_(logLimit) {
  window_ = loop_.AllocateMessageWindow(
      "QuillfernServerEvents_" + std::to_string(reinterpret_cast<uintptr_t>(this)),
      [this](Message& message) {
        if (message.message == EventsPendingMessage) DeliverPending();
      });
}

ServerEventQueue::~ServerEventQueue() {
  loop_.ReleaseMessageWindow(window_);
}

void ServerEventQueue::Push(ServerEvent event) {
  bool wasEmpty;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = pending_.empty();
    if (event.kind == ServerEventKind::Progress) {
      PushProgress(std::move(event));
    } else if (event.kind != ServerEventKind::Log) {
      pending_.push_back(std::move(event));
    } else if (pendingLogLines_ < logLimit_ &&
               pendingLogBytes_ + event.text.size() <= EventQueueLogByteLimit) {
      ++pendingLogLines_;
      pendingLogBytes_ += event.text.size();
      pending_.push_back(std::move(event));
    } else {
      ++lost_;
      if (!wasEmpty && pending_.back().kind == ServerEventKind::LinesLost) {
        ServerEvent& loss = pending_.back();
        loss.text = EventsLostText(++loss.lost);
      } else {
        ServerEvent loss;
        loss.kind = ServerEventKind::LinesLost;
        loss.serverKind = event.serverKind;
        loss.time = event.time;
        loss.lost = 1;
        loss.text = EventsLostText(1);
        pending_.push_back(std::move(loss));
      }
    }
  }
  // Posted outside the lock; whichever push finds the queue empty posts, so
  // a wake-up always follows the last event the main thread has not taken.
  if (wasEmpty) loop_.PostMessage(window_, Message{EventsPendingMessage});
}

void ServerEventQueue::PushProgress(ServerEvent event) {
  const auto waiting =
      std::find_if(unfinishedProgress_.begin(), unfinishedProgress_.end(),
                   [&event](const auto& entry) { return entry.first == event.slot; });
  if (waiting != unfinishedProgress_.end()) {
    // The newer state says all the older one did; it keeps the older one's
    // place, which no other event of that slot can have passed, since a
    // slot's transfer tells nothing else while it runs.
    const size_t at = waiting->second;
    const bool finished = event.finished;
    pending_[at] = std::move(event);
    if (finished) unfinishedProgress_.erase(waiting);
    return;
  }
  if (!event.finished) unfinishedProgress_.emplace_back(event.slot, pending_.size());
  pending_.push_back(std::move(event));
}

void ServerEventQueue::DeliverPending() {
  for (;;) {
    if (delivering_.empty()) {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) return;
      delivering_.swap(pending_);
      unfinishedProgress_.clear();
      pendingLogLines_ = 0;
      pendingLogBytes_ = 0;
    }
    const ServerEvent event = std::move(delivering_.front());
    delivering_.pop_front();
    try {
      if (deliver_) deliver_(event);
    } catch (const std::exception& error) {
      // A receiver's failure must not cost the events after it.
      DebugPrintf("server event handler failed: %s", error.what());
    }
  }
}

uint64_t ServerEventQueue::LostCount() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

}  // namespace quillfern
