#include "platform/thread.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>
#include <system_error>

#include "platform/debug.h"
#include "platform/event_loop.h"

namespace quillfern {

TThread::~TThread() {
  // The owner should have waited; joining here at least never leaves a
  // running std::thread behind.
  if (thread_.joinable()) thread_.join();
}

bool TThread::Start() {
  if (thread_.joinable() || finished_.load()) return false;
  try {
    thread_ = std::thread(&TThread::Body, this);
  } catch (const std::system_error& error) {
    DebugPrintf("thread creation failed: %s", error.what());
    return false;
  }
  return true;
}

void TThread::Body() {
  // Every write on a worker answers a peer that has gone with EPIPE; but
  // sendfile cannot be told not to raise SIGPIPE as well, so the signal is
  // held back on these threads instead of ending the process.
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
  try {
    Execute();
  } catch (const std::exception& error) {
    DebugPrintf("thread ended by an exception: %s", error.what());
  }
  finished_ = true;
  if (loop_ != nullptr) loop_->Wake();
}

void TThread::WaitFor() {
  if (!thread_.joinable()) return;
  if (loop_ != nullptr && loop_->IsLoopThread()) {
    loop_->ServeHandOversUntil([this] { return finished_.load(); });
  }
  thread_.join();
}

}  // namespace quillfern
