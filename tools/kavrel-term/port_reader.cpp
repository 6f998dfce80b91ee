#include "port_reader.h"

#include <cerrno>
#include <utility>

namespace kavrel_term {

using Clock = std::chrono::steady_clock;

PortReader::PortReader(SerialCtl& port, DataReadyWindow& window, SharedOutput& output,
                       SessionLog& log, const Interrupt& interrupt, SessionEvents& events,
                       Shown shown)
    : port_(port),
      window_(window),
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

void PortReader::Run() {
  for (;;) {
    const DataReadyWindow::Wake wake = window_.Wait();
    if (wake == DataReadyWindow::Wake::kStop || !Deliver()) return;
    if (wake == DataReadyWindow::Wake::kFinish) {
      events_.Report(EventKind::kReaderFinished);
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
    const auto size = static_cast<std::size_t>(count);
    lastTraffic_.store(Clock::now().time_since_epoch().count());
    if (!log_.Received(buffer_.data(), size)) {
      events_.Report(EventKind::kLogFailed, errno);
      return false;
    }
    const IoResult written =
        shown_ ? output_.Write(shown_(buffer_.data(), size)) : output_.Write(buffer_.data(), size);
    if (written == IoResult::kFailed) events_.Report(EventKind::kOutputFailed, errno);
    if (written != IoResult::kDone) return false;
    // A full read may have left more behind.
    if (size < SerialCtl::kStagingSize) return true;
  }
}

}  // namespace kavrel_term
