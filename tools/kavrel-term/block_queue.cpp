#include "block_queue.h"

#include <utility>

namespace kavrel_term {

bool BlockQueue::Push(std::string block) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stopped_ || maxWaiting_ == 0 || waiting_ < maxWaiting_; });
  if (stopped_) return false;
  waiting_ += block.size();
  blocks_.push_back(std::move(block));
  changed_.notify_all();
  return true;
}

void BlockQueue::EndInput() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

bool BlockQueue::Pop(std::string& block) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stopped_ || ended_ || !blocks_.empty(); });
  if (stopped_ || blocks_.empty()) return false;
  block = std::move(blocks_.front());
  blocks_.pop_front();
  waiting_ -= block.size();
  changed_.notify_all();
  return true;
}

void BlockQueue::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  blocks_.clear();
  waiting_ = 0;
  changed_.notify_all();
}

}  // namespace kavrel_term
