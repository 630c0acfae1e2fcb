#include "app/headless_output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"

namespace quillfern {
namespace {

bool Writable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  // An error or hang-up is reported as ready: the write then says what it is.
  return ready > 0;
}

}  // namespace

std::string OutputLostText(uint64_t count) {
  return std::to_string(count) + " log lines lost: the output could not keep up";
}

HeadlessOutput::HeadlessOutput(EventLoop& loop, int fd, size_t limit)
    : loop_(loop), fd_(fd), limit_(limit) {
  struct stat status {};
  if (fstat(fd_, &status) == 0) {
    if (S_ISSOCK(status.st_mode)) {
      kind_ = Kind::Socket;
    } else if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
      kind_ = Kind::Direct;
    } else if (S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode)) {
      // O_NOCTTY: a terminal opened here must not become our controlling one.
      const std::string path = "/proc/self/fd/" + std::to_string(fd_);
      own_.Reset(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      if (own_) {
        fd_ = own_.Get();
        kind_ = Kind::NonBlocking;
      }
    }
  }
  window_ = loop_.AllocateMessageWindow(
      "QuillfernOutput_" + std::to_string(reinterpret_cast<uintptr_t>(this)),
      [this](Message&) { Flush(); });
}

HeadlessOutput::~HeadlessOutput() {
  WatchWritable(false);
  loop_.ReleaseMessageWindow(window_);
}

bool HeadlessOutput::WriteLine(const std::string& line) {
  ReportLossIfRoom();
  if (gone_ || unreported_ > 0 || Waiting() + line.size() + 1 > limit_) {
    ++unreported_;
    ++lost_;
    return false;
  }
  Append(line);
  // While the descriptor is known to be full, its writability notice says
  // when to try again; no need to ask it for every line.
  if (!watching_) Flush();
  return true;
}

void HeadlessOutput::Append(const std::string& line) {
  if (head_ > 0 && head_ >= buffer_.size() / 2) {
    buffer_.erase(0, head_);
    head_ = 0;
  }
  buffer_.append(line).push_back('\n');
}

void HeadlessOutput::ReportLossIfRoom() {
  if (unreported_ == 0 || gone_ || Waiting() > limit_ / 2) return;
  Append(OutputLostText(unreported_));
  unreported_ = 0;
}

ssize_t HeadlessOutput::WriteChunk() {
  const char* data = buffer_.data() + head_;
  const size_t size = Waiting();
  ssize_t written;
  switch (kind_) {
    case Kind::Socket:
      written = send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      break;
    case Kind::Pipe:
      // poll() reporting room in a pipe means a free page: a write of at most
      // PIPE_BUF bytes then completes without waiting.
      if (!Writable(fd_, 0)) return 0;
      written = write(fd_, data, std::min<size_t>(size, PIPE_BUF));
      break;
    case Kind::NonBlocking:
    case Kind::Direct:
    default:
      written = write(fd_, data, size);
      break;
  }
  if (written >= 0) return written;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  return -1;
}

bool HeadlessOutput::WriteWaiting() {
  while (Waiting() > 0 && !gone_) {
    const ssize_t written = WriteChunk();
    if (written == 0) return false;
    if (written < 0) {
      // The reader went away (or the output failed): the service goes on,
      // and what was waiting counts as lost.
      gone_ = true;
      const uint64_t lines = WaitingLines();
      unreported_ += lines;
      lost_ += lines;
      break;
    }
    head_ += static_cast<size_t>(written);
    ReportLossIfRoom();
  }
  buffer_.clear();
  head_ = 0;
  return true;
}

void HeadlessOutput::Flush() {
  WatchWritable(!WriteWaiting());
}

uint64_t HeadlessOutput::WaitingLines() const {
  // A line begun but not ended counts too.
  return static_cast<uint64_t>(
      std::count(buffer_.begin() + static_cast<ptrdiff_t>(head_), buffer_.end(), '\n'));
}

void HeadlessOutput::WatchWritable(bool watch) {
  if (watch == watching_) return;
  if (!watch) {
    loop_.AsyncSelect(fd_, window_, 0);
    watching_ = false;
    return;
  }
  if (loop_.AsyncSelect(fd_, window_, FdWrite) == 0) {
    watching_ = true;
  } else {
    // A descriptor epoll cannot watch never waits for a reader either.
    kind_ = Kind::Direct;
    loop_.PostMessage(window_, Message{});
  }
}

uint64_t HeadlessOutput::Finish(uint64_t timeoutMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  WatchWritable(false);
  for (;;) {
    ReportLossIfRoom();
    const bool allWritten = WriteWaiting();
    if (gone_ || (allWritten && unreported_ == 0)) break;
    const uint64_t now = MonotonicMs();
    if (now >= deadline) break;
    Writable(fd_, static_cast<int>(deadline - now));
  }
  const uint64_t waiting = gone_ ? 0 : WaitingLines();
  lost_ += waiting;
  const uint64_t unwritten = unreported_ + waiting;
  unreported_ = 0;
  buffer_.clear();
  head_ = 0;
  return unwritten;
}

}  // namespace quillfern
