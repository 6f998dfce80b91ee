#include "session_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace kavrel_term {

std::string LogTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%06lldZ",
                static_cast<long long>(micros % 1000000));
  return text;
}

SessionLog::~SessionLog() { Close(); }

bool SessionLog::Open(const std::string& path, const std::string& port,
                      const std::string& settings) {
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  if (!Write("open " + port + " " + settings, nullptr, 0)) {
    const int error = errno;
    close(fd_);
    fd_ = -1;
    errno = error;
    return false;
  }
  return true;
}

bool SessionLog::Sent(const void* data, std::size_t size) {
  return Write("tx " + std::to_string(size), data, size);
}

bool SessionLog::Received(const void* data, std::size_t size) {
  return Write("rx " + std::to_string(size), data, size);
}

void SessionLog::Close() {
  Write("close", nullptr, 0);
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool SessionLog::Write(const std::string& kind, const void* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return true;
  // The time is taken under the lock, so records appear in time order; one
  // append per record keeps it whole beside another writer of the file.
  std::string record = LogTimestamp() + " " + kind + "\n";
  if (data != nullptr) {
    record.append(static_cast<const char*>(data), size);
    record += '\n';
  }
  std::size_t done = 0;
  while (done < record.size()) {
    const ssize_t written = write(fd_, record.data() + done, record.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace kavrel_term
