#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kavrel_test {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point end) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

PtyPair::PtyPair() {
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  if (grantpt(fd) != 0 || unlockpt(fd) != 0) {
    close(fd);
    return;
  }
  char path[64];
  if (ptsname_r(fd, path, sizeof path) != 0 || std::strncmp(path, "/dev/", 5) != 0) {
    close(fd);
    return;
  }
  // The master is raw too, so the test sees exactly the bytes the library sent.
  termios settings{};
  if (tcgetattr(fd, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
  }
  master_ = fd;
  name_ = path + 5;
}

PtyPair::~PtyPair() { HangUp(); }

void PtyPair::HangUp() {
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}

bool PtyPair::WriteAll(const void* data, std::size_t size, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = write(master_, bytes, size);
    if (n > 0) {
      bytes += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{master_, POLLOUT, 0};
    int left = RemainingMs(end);
    if (left == 0) return false;
    poll(&p, 1, left);
  }
  return true;
}

std::vector<unsigned char> PtyPair::ReadExactly(std::size_t size,
                                                std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::vector<unsigned char> out;
  out.reserve(size);
  unsigned char buffer[65536];
  while (out.size() < size) {
    std::size_t want = size - out.size();
    if (want > sizeof buffer) want = sizeof buffer;
    ssize_t n = read(master_, buffer, want);
    if (n > 0) {
      out.insert(out.end(), buffer, buffer + n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd p{master_, POLLIN, 0};
    int left = RemainingMs(end);
    if (left == 0) break;
    poll(&p, 1, left);
  }
  return out;
}

std::vector<unsigned char> PtyPair::ReadUntilQuiet(std::chrono::milliseconds quiet) {
  std::vector<unsigned char> out;
  unsigned char buffer[65536];
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

}  // namespace kavrel_test
