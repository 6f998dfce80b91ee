#include "session_events.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace kavrel_term {

SessionEvents::SessionEvents() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SessionEvents::~SessionEvents() {
  if (fd_ >= 0) close(fd_);
}

void SessionEvents::Report(EventKind kind, int error, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({kind, error, text});
  }
  const std::uint64_t one = 1;
  (void)!write(fd_, &one, sizeof one);
}

std::vector<SessionEvent> SessionEvents::Take() {
  std::uint64_t count = 0;
  (void)!read(fd_, &count, sizeof count);
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SessionEvent> taken;
  taken.swap(events_);
  return taken;
}

}  // namespace kavrel_term
