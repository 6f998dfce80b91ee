#include "port_reader.h"

#include <cerrno>
#include <utility>

#include "session.h"

namespace kavrel_term {

using Clock = std::chrono::steady_clock;

PortReader::PortReader(SerialCtl& port, DataReadyWindow* window, std::chrono::milliseconds readWait,
                       SharedOutput& output, SessionLog& log, const Interrupt& interrupt,
                       SessionEvents& events, Shown shown)
    : port_(port),
      window_(window),
      readWait_(readWait),
      output_(output),
      log_(log),
      interrupt_(interrupt),
      events_(events),
      shown_(std::move(shown)),
      buffer_(SerialCtl::kStagingSize),
      lastTraffic_(Clock::now().time_since_epoch().count()) {}

Clock::time_point PortReader::lastTraffic() const {
  return Clock::time_point(Clock::duration(lastTraffic_.load()));
}

void PortReader::Finish() {
  finishing_.store(true);
  if (window_ != nullptr) window_->Finish();
}

void PortReader::Run() {
  if (window_ != nullptr) {
    RunOnNotifications();
  } else {
    RunOnReadWait();
  }
}

void PortReader::RunOnNotifications() {
  for (;;) {
    const DataReadyWindow::Wake wake = window_->Wait();
    if (wake == DataReadyWindow::Wake::kStop || !Deliver()) return;
    if (wake == DataReadyWindow::Wake::kFinish) {
      events_.Report(EventKind::kReaderFinished);
      return;
    }
  }
}

void PortReader::RunOnReadWait() {
  while (!interrupt_.raised()) {
    const bool finishing = finishing_.load();
    const Clock::time_point started = Clock::now();
    int count = 0;
    port_.ReadSerial(buffer_.data(), count);
    if (count > 0) {
      if (!Show(count)) return;
      continue;
    }
    // Nothing came within the wait: what was queued at the finish is out.
    if (finishing) {
      events_.Report(EventKind::kReaderFinished);
      return;
    }
    // A read that returns nothing before its wait is over did not wait: it
    // failed (the device hung up or went away), and its reason says why.
    if (Clock::now() - started < readWait_ / 2) {
      events_.Report(EventKind::kReadFailed, 0, LibraryReason());
      return;
    }
  }
}

bool PortReader::Deliver() {
  for (;;) {
    if (interrupt_.raised()) return false;
    int count = 0;
    port_.ReadSerial(buffer_.data(), count);
    if (count <= 0) return true;
    if (!Show(count)) return false;
    // A full read may have left more behind.
    if (static_cast<std::size_t>(count) < SerialCtl::kStagingSize) return true;
  }
}

bool PortReader::Show(int count) {
  const auto size = static_cast<std::size_t>(count);
  lastTraffic_.store(Clock::now().time_since_epoch().count());
  if (!log_.Received(buffer_.data(), size)) {
    events_.Report(EventKind::kLogFailed, errno);
    return false;
  }
  const IoResult written =
      shown_ ? output_.Write(shown_(buffer_.data(), size)) : output_.Write(buffer_.data(), size);
  if (written == IoResult::kFailed) events_.Report(EventKind::kOutputFailed, errno);
  return written == IoResult::kDone;
}

}  // namespace kavrel_term
