#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "server/server_event.h"

namespace quillfern {

// How many log lines may wait for the main thread; connects and disconnects
// are always kept besides them.
inline constexpr size_t DefaultEventQueueLogLimit = 4096;
// And how many bytes of text they may hold: a peer's names can make a line
// long.
inline constexpr size_t EventQueueLogByteLimit = 4 * 1024 * 1024;

// The text of the record that stands where log lines were dropped.
std::string EventsLostText(uint64_t count);

// The hand-over of server events from the workers to the main thread. A
// worker only copies its event in under a short lock and never waits for
// the main thread or for whoever reads the events; the first event into an
// empty queue posts one wake-up to the loop, whose thread then hands every
// waiting event, in the order pushed, to the delivery function.
//
// The queue is bounded: a log line that finds the limit reached is dropped
// and counted in a LinesLost record at the place of the loss, and the next
// drops add to that record while it is still the last one waiting. A connect
// or disconnect is never dropped (a window's lamp would stay lit); they need
// the main thread to accept their peers, so few of them can pile up.
//
// Progress events are no log lines and never pile up: one that finds an
// unfinished Progress of the same slot still waiting takes its place, so a
// slot has at most one unfinished Progress waiting. A finished one is never
// replaced or dropped, and neither is a Received event: each ends a transfer,
// which costs the peer at least one exchange of packets.
class ServerEventQueue {
 public:
  ServerEventQueue(EventLoop& loop, ServerEventHandler deliver,
                   size_t logLimit = DefaultEventQueueLogLimit);
  ~ServerEventQueue();
  ServerEventQueue(const ServerEventQueue&) = delete;
  ServerEventQueue& operator=(const ServerEventQueue&) = delete;

  void Push(ServerEvent event);  // any thread
  // Loop thread: delivers what is waiting now. A delivery function that runs
  // a nested loop still sees every event once and in order.
  void DeliverPending();
  uint64_t LostCount() const;  // any thread: log lines dropped so far

 private:
  // Under mutex_: queues a Progress, in place of its slot's unfinished one.
  void PushProgress(ServerEvent event);

  EventLoop& loop_;
  const ServerEventHandler deliver_;  // fixed at construction
  const size_t logLimit_;
  WindowHandle window_ = NoWindow;  // fixed at construction

  mutable std::mutex mutex_;
  std::deque<ServerEvent> pending_;  // guarded by mutex_
  size_t pendingLogLines_ = 0;       // guarded by mutex_: the Log events in pending_
  size_t pendingLogBytes_ = 0;       // guarded by mutex_: their text
  uint64_t lost_ = 0;                // guarded by mutex_
  // guarded by mutex_: per slot, where in pending_ its unfinished Progress waits
  std::vector<std::pair<uint16_t, size_t>> unfinishedProgress_;

  std::deque<ServerEvent> delivering_;  // loop thread only: taken, not yet delivered
};

}  // namespace quillfern
