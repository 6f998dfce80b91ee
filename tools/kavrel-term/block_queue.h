// The blocks of input on their way to the port: the thread that reads
// standard input or the keyboard pushes them, the thread that writes the
// port pops them. A bound on what waits makes a slow port hold the input
// back instead of filling memory.
#ifndef KAVREL_TERM_BLOCK_QUEUE_H
#define KAVREL_TERM_BLOCK_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace kavrel_term {

class BlockQueue {
 public:
  // maxWaiting: Push waits while this many bytes wait (0: no bound).
  explicit BlockQueue(std::size_t maxWaiting) : maxWaiting_(maxWaiting) {}

  // Adds a block, waiting for room. False once Stop was called.
  bool Push(std::string block);
  // Marks the end of the input: Pop returns false once the rest is taken.
  void EndInput();
  // Takes the oldest block, waiting for one. False at the end of the input
  // or once Stop was called.
  bool Pop(std::string& block);
  // Ends every wait, now and later; what still waits is dropped.
  void Stop();

 private:
  const std::size_t maxWaiting_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> blocks_;  // guarded by mutex_
  std::size_t waiting_ = 0;         // bytes in blocks_; guarded by mutex_
  bool ended_ = false;              // guarded by mutex_
  bool stopped_ = false;            // guarded by mutex_
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_BLOCK_QUEUE_H
