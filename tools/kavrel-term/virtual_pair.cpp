#include "virtual_pair.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kavrel_term {

VirtualPair::VirtualPair() {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error_ = std::string("posix_openpt: ") + std::strerror(errno);
    return;
  }
  char path[64];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, path, sizeof path) != 0) {
    error_ = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
    close(fd);
    return;
  }
  if (std::strncmp(path, "/dev/", 5) != 0) {
    error_ = std::string("unexpected pseudo-terminal path ") + path;
    close(fd);
    return;
  }
  // Raw on the master too, so the far end sees exactly the bytes sent.
  termios settings{};
  if (tcgetattr(fd, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
  }
  master_ = fd;
  portName_ = path + 5;
}

VirtualPair::~VirtualPair() {
  if (master_ >= 0) close(master_);
}

}  // namespace kavrel_term
