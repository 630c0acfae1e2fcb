#pragma once

#include <atomic>
#include <thread>

namespace quillfern {

class EventLoop;

// A thread object created suspended; Start() runs Execute() on a new thread.
// The owner calls WaitFor() before the object is destroyed, so that
// Execute() never outlives the derived object it belongs to.
class TThread {
 public:
  // When a loop is given, the thread wakes it as it ends, and WaitFor() on
  // the loop's thread keeps serving hand-overs while it waits.
  explicit TThread(EventLoop* loop = nullptr) : loop_(loop) {}
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  bool Start();  // false when the thread could not be created
  bool Started() const { return thread_.joinable() || finished_.load(); }
  bool Finished() const { return finished_.load(); }
  void WaitFor();

 protected:
  virtual void Execute() = 0;

 private:
  void Body();

  EventLoop* loop_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

}  // namespace quillfern
