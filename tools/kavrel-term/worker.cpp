#include "worker.h"

#include <system_error>
#include <utility>

namespace kavrel_term {

Worker::~Worker() {
  if (thread_.joinable()) thread_.join();
}

bool Worker::Start(std::function<void()> body) {
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      body();
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
      finishedChanged_.notify_all();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool Worker::JoinBy(std::chrono::steady_clock::time_point deadline) {
  if (!thread_.joinable()) return true;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!finishedChanged_.wait_until(lock, deadline, [this] { return finished_; })) return false;
  }
  thread_.join();
  return true;
}

void Worker::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace kavrel_term
