#include "interruptible_io.h"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace kavrel_term {

namespace {

// Waits until fd reports one of events, or the interrupt is raised.
IoResult WaitFor(int fd, short events, const Interrupt& interrupt) {
  for (;;) {
    if (interrupt.raised()) return IoResult::kInterrupted;
    pollfd watched[2] = {{fd, events, 0}, {interrupt.fd(), POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return IoResult::kFailed;
    }
    if (watched[1].revents != 0) return IoResult::kInterrupted;
    if (watched[0].revents & POLLNVAL) {
      errno = EBADF;
      return IoResult::kFailed;
    }
    // An error or hang-up is left to the read or write to report.
    if (watched[0].revents != 0) return IoResult::kDone;
  }
}

}  // namespace

Interrupt::Interrupt() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Interrupt::~Interrupt() {
  if (fd_ >= 0) close(fd_);
}

void Interrupt::Raise() {
  raised_.store(true);
  const std::uint64_t one = 1;
  if (fd_ >= 0) (void)!write(fd_, &one, sizeof one);
}

IoResult WaitReadable(int fd, const Interrupt& interrupt) { return WaitFor(fd, POLLIN, interrupt); }

IoResult WriteAll(int fd, const void* data, std::size_t size, const Interrupt& interrupt) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const IoResult ready = WaitFor(fd, POLLOUT, interrupt);
    if (ready != IoResult::kDone) return ready;
    // A pipe with room takes PIPE_BUF bytes without blocking; a larger piece
    // could block in write() where no interrupt reaches.
    const ssize_t written = write(fd, bytes, std::min<std::size_t>(size, PIPE_BUF));
    if (written > 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EINTR && errno != EAGAIN) {
      return IoResult::kFailed;
    }
  }
  return IoResult::kDone;
}

}  // namespace kavrel_term
