// Reads a file descriptor (standard input, the keyboard) on a thread of its
// own and hands the bytes to the thread that drives the port.
//
// SerialCtl is driven from one host thread, so kavrel-term's main thread does
// every port operation and waits on a kavrel::MessageQueue. The pump posts
// kInputMessage to that queue for each block it has read (the block waits in
// the pump until Take), kInputEndedMessage at end of input, and
// kSignalMessage when one of the signals it watches arrives: the same queue
// carries the library's data-ready notification, so the main thread has one
// place to wait.
#ifndef KAVREL_TERM_INPUT_PUMP_H
#define KAVREL_TERM_INPUT_PUMP_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "kavrel/host.h"

namespace kavrel_term {

class InputPump {
 public:
  // blockSize: the most read at once; maxBuffered: the pump stops reading
  // while this many bytes wait for Take, so a slow port holds the input back
  // instead of the pump filling memory.
  InputPump(int fd, kavrel::Window& window, std::size_t blockSize, std::size_t maxBuffered);
  ~InputPump();
  InputPump(const InputPump&) = delete;
  InputPump& operator=(const InputPump&) = delete;

  // Starts the thread. signalFd (a signalfd, or -1) is watched as well.
  // False when the thread or its wake-up descriptor cannot be had.
  bool Start(int signalFd);
  // Takes the oldest waiting block; false when none waits.
  bool Take(std::vector<unsigned char>& block);
  // Ends the thread and returns once it has finished. Safe to call twice.
  void Stop();

 private:
  void Run();
  bool WaitForRoom();

  const int fd_;
  kavrel::Window& window_;
  const std::size_t blockSize_;
  const std::size_t maxBuffered_;
  int signalFd_ = -1;
  int wakeFd_ = -1;  // eventfd: Stop makes the thread's poll return

  std::mutex mutex_;
  std::condition_variable roomOrStop_;
  std::deque<std::vector<unsigned char>> blocks_;  // guarded by mutex_
  std::size_t buffered_ = 0;                       // guarded by mutex_
  bool stopping_ = false;                          // guarded by mutex_
  std::thread thread_;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_INPUT_PUMP_H
