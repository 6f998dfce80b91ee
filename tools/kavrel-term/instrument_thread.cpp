#include "instrument_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace kavrel_term {

namespace {
using Clock = std::chrono::steady_clock;
}

InstrumentThread::InstrumentThread(int fd, std::chrono::milliseconds statusPeriod)
    : fd_(fd), statusPeriod_(statusPeriod) {}

InstrumentThread::~InstrumentThread() {
  Stop();
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool InstrumentThread::Start(std::string& error) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  try {
    thread_ = std::thread(&InstrumentThread::Run, this);
  } catch (const std::system_error& failure) {
    error = std::string("cannot start the instrument thread: ") + failure.what();
    return false;
  }
  return true;
}

void InstrumentThread::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
  thread_.join();
}

InstrumentThread::Transcript InstrumentThread::transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_;
}

bool InstrumentThread::Send(const std::string& text) {
  // One write per line where the pty takes it whole, so a reply and a status
  // line never interleave.
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd_, text.data() + done, text.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EAGAIN) {
      pollfd ready[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
      poll(ready, 2, -1);
      if (ready[1].revents != 0) return false;
      continue;
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  transcript_.sent += text;
  return true;
}

void InstrumentThread::Run() {
  const auto started = Clock::now();
  auto nextStatus = started + statusPeriod_;
  std::string failure;
  char buffer[4096];
  for (;;) {
    const auto untilStatus =
        std::chrono::duration_cast<std::chrono::milliseconds>(nextStatus - Clock::now());
    pollfd watched[2] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    const int ready =
        poll(watched, 2, untilStatus.count() > 0 ? static_cast<int>(untilStatus.count()) : 0);
    if (ready < 0 && errno != EINTR) {
      failure = std::string("poll: ") + std::strerror(errno);
      break;
    }
    if (watched[0].revents != 0) break;  // Stop

    if (watched[1].revents != 0) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got > 0) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          transcript_.received.append(buffer, static_cast<std::size_t>(got));
        }
        commands_.Feed(buffer, static_cast<std::size_t>(got));
        std::string command;
        while (commands_.Next(command)) {
          const std::string reply = model_.Answer(command);
          if (reply.empty()) continue;
          if (!Send(reply)) break;
          std::lock_guard<std::mutex> lock(mutex_);
          transcript_.replies.push_back(reply.substr(0, reply.size() - 2));
        }
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The near end hung up: nobody is left to talk to, and polling a
        // hung-up master would only spin.
        failure = "the port side of the virtual pair closed";
        break;
      }
    }

    if (Clock::now() >= nextStatus) {
      const double uptime = std::chrono::duration<double>(Clock::now() - started).count();
      if (!Send(model_.StatusLine(uptime))) break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++transcript_.statusLines;
      }
      nextStatus += statusPeriod_;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    transcript_.failure = failure;
    ended_ = true;
  }
  endedChanged_.notify_all();
}

bool InstrumentThread::WaitUntilEnded(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return endedChanged_.wait_for(lock, timeout, [this] { return ended_; });
}

}  // namespace kavrel_term
