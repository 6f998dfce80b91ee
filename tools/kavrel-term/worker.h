// A thread of a session whose end can be awaited for a bounded time: a
// session gives its threads a grace to end by themselves before it cuts
// short what still holds one (a write the device does not take).
#ifndef KAVREL_TERM_WORKER_H
#define KAVREL_TERM_WORKER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kavrel_term {

class Worker {
 public:
  Worker() = default;
  // Joins the thread.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs body on a new thread. False when no thread can be had.
  bool Start(std::function<void()> body);
  // Waits until the body has returned, at most until deadline, and joins
  // the thread if so. True once the thread is joined (or never started).
  bool JoinBy(std::chrono::steady_clock::time_point deadline);
  // Waits until the body has returned and joins the thread.
  void Join();

 private:
  std::mutex mutex_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_WORKER_H
