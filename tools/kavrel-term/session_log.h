// --log FILE: a timestamped record of a session's raw traffic, both
// directions, appended to FILE.
//
// Each record is one header line, "TIME KIND [details]", where TIME is UTC
// to the microsecond ("2026-03-01T10:00:00.123456Z"). KIND is:
//   open PORT SETTINGS   the session began ("open ttyUSB0 115200 8N1")
//   tx COUNT             COUNT bytes the device took from kavrel-term
//   rx COUNT             COUNT bytes received from the device
//   close                the session ended
// After a tx or rx header come exactly COUNT raw bytes and then "\n", so a
// reader takes the bytes by their count and text traffic stays readable.
#ifndef KAVREL_TERM_SESSION_LOG_H
#define KAVREL_TERM_SESSION_LOG_H

#include <cstddef>
#include <mutex>
#include <string>

namespace kavrel_term {

class SessionLog {
 public:
  SessionLog() = default;
  ~SessionLog();
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  // Opens path for appending (creating it) and writes the open record.
  // False, with errno set, when it cannot.
  bool Open(const std::string& path, const std::string& port, const std::string& settings);
  bool active() const { return fd_ >= 0; }

  // Thread-safe. False, with errno set, when the record could not be
  // written whole.
  bool Sent(const void* data, std::size_t size);
  bool Received(const void* data, std::size_t size);
  // Writes the close record and closes the file.
  void Close();

 private:
  bool Write(const std::string& kind, const void* data, std::size_t size);

  std::mutex mutex_;  // keeps records whole and their times in order
  int fd_ = -1;
};

// The current time as a log record shows it.
std::string LogTimestamp();

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SESSION_LOG_H
