#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace quillfern {

// How much written-but-unread output the headless runner keeps.
inline constexpr size_t DefaultOutputLimit = 1024 * 1024;

// The line that stands where output lines were dropped.
std::string OutputLostText(uint64_t count);

// The headless runner's standard output, written from the main thread
// without ever blocking it: a paused terminal or a slow reader must not hold
// the loop, and through it the service's accepts and its end on SIGTERM.
//
// The descriptor is shared with whoever started us, so it is never switched
// to non-blocking. A terminal or a pipe is opened once more through /proc,
// which gives this program a non-blocking description of its own; where
// that fails, a pipe is written only when poll() reports room, and then at
// most PIPE_BUF bytes, which the kernel guarantees to take without waiting
// (a terminal promises no such thing). A socket is written with
// MSG_DONTWAIT; a regular file or a device without readiness (/dev/null)
// never waits for a reader and is written directly. While output waits, the descriptor is
// registered with the loop for writability.
//
// What waits is bounded by the limit. A line that does not fit is dropped and
// counted; once the waiting output has fallen to half the limit, a line
// saying how many were lost is written where they would have been.
class HeadlessOutput {
 public:
  HeadlessOutput(EventLoop& loop, int fd, size_t limit = DefaultOutputLimit);
  ~HeadlessOutput();
  HeadlessOutput(const HeadlessOutput&) = delete;
  HeadlessOutput& operator=(const HeadlessOutput&) = delete;

  // Queues one line (the newline is added) and writes what the descriptor
  // takes now. False when the line was dropped.
  bool WriteLine(const std::string& line);
  // At the end: writes what the reader takes within the time given and
  // returns how many lines could not be written (dropped ones not yet
  // reported included). Never waits longer than the time given.
  uint64_t Finish(uint64_t timeoutMs);

  size_t Waiting() const { return buffer_.size() - head_; }
  uint64_t LostCount() const { return lost_; }  // every line dropped so far

 private:
  enum class Kind { Pipe, Socket, Direct, NonBlocking };

  void Flush();
  // Writes until the descriptor would wait; true when nothing waits any more.
  bool WriteWaiting();
  uint64_t WaitingLines() const;
  // Writes one chunk if the descriptor takes it without waiting: the count
  // written, 0 when it would wait, negative when the output is gone.
  ssize_t WriteChunk();
  void Append(const std::string& line);
  void ReportLossIfRoom();
  void WatchWritable(bool watch);

  // All main thread only.
  EventLoop& loop_;
  UniqueFd own_;  // the non-blocking description, where one could be opened
  int fd_;
  const size_t limit_;
  Kind kind_ = Kind::Pipe;
  WindowHandle window_ = NoWindow;
  bool watching_ = false;  // registered with the loop for writability
  bool gone_ = false;      // the reader went away; nothing more is written
  std::string buffer_;     // waiting output from head_ on
  size_t head_ = 0;
  uint64_t unreported_ = 0;  // dropped since the last loss line
  uint64_t lost_ = 0;
};

}  // namespace quillfern
