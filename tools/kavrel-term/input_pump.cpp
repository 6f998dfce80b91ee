#include "input_pump.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "session.h"

namespace kavrel_term {

InputPump::InputPump(int fd, kavrel::Window& window, std::size_t blockSize,
                     std::size_t maxBuffered)
    : fd_(fd), window_(window), blockSize_(blockSize), maxBuffered_(maxBuffered) {}

InputPump::~InputPump() {
  Stop();
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool InputPump::Start(int signalFd) {
  signalFd_ = signalFd;
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return false;
  try {
    thread_ = std::thread(&InputPump::Run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void InputPump::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  roomOrStop_.notify_all();
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
}

bool InputPump::Take(std::vector<unsigned char>& block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (blocks_.empty()) return false;
    block = std::move(blocks_.front());
    blocks_.pop_front();
    buffered_ -= block.size();
  }
  roomOrStop_.notify_all();
  return true;
}

bool InputPump::WaitForRoom() {
  std::unique_lock<std::mutex> lock(mutex_);
  roomOrStop_.wait(lock, [this] { return stopping_ || buffered_ < maxBuffered_; });
  return !stopping_;
}

void InputPump::Run() {
  std::vector<unsigned char> buffer(blockSize_);
  while (WaitForRoom()) {
    pollfd watched[3] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
    const nfds_t count = signalFd_ >= 0 ? 3 : 2;
    if (poll(watched, count, -1) < 0) {
      if (errno == EINTR) continue;
      window_.Post(kInputEndedMessage, static_cast<kavrel::WPARAM>(errno), 0);
      return;
    }
    if (watched[0].revents != 0) return;  // Stop
    if (count == 3 && (watched[2].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        window_.Post(kSignalMessage, info.ssi_signo, 0);
        return;
      }
    }
    if (watched[1].revents == 0) continue;

    const ssize_t got = read(fd_, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      window_.Post(kInputEndedMessage, got == 0 ? 0 : static_cast<kavrel::WPARAM>(errno), 0);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      blocks_.emplace_back(buffer.begin(), buffer.begin() + got);
      buffered_ += static_cast<std::size_t>(got);
    }
    window_.Post(kInputMessage, 0, 0);
  }
}

}  // namespace kavrel_term
