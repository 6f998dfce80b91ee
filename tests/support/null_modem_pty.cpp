// The null-modem pair on Linux: a pseudo-terminal.
#include <sys/ioctl.h>

#include "support/null_modem.h"
#include "support/pty_pair.h"

namespace kavrel_test {

struct NullModemPair::Impl {
  PtyPair pty;
};

NullModemPair::NullModemPair() : impl_(new Impl) {}
NullModemPair::~NullModemPair() = default;

bool NullModemPair::ok() const { return impl_->pty.ok(); }
std::string NullModemPair::portName() const { return impl_->pty.name(); }

bool NullModemPair::PeerWrite(const void* data, std::size_t size,
                              std::chrono::milliseconds deadline) {
  return impl_->pty.WriteAll(data, size, deadline);
}

std::vector<unsigned char> NullModemPair::PeerReadExactly(std::size_t size,
                                                          std::chrono::milliseconds deadline) {
  return impl_->pty.ReadExactly(size, deadline);
}

std::vector<unsigned char> NullModemPair::PeerReadUntilQuiet(std::chrono::milliseconds quiet) {
  return impl_->pty.ReadUntilQuiet(quiet);
}

void NullModemPair::PeerHangUp() { impl_->pty.HangUp(); }

bool NullModemPair::PeerHasModemLines() {
  int lines = 0;
  return ok() && ioctl(impl_->pty.master(), TIOCMGET, &lines) == 0;
}

bool NullModemPair::PeerSetLines(bool dtr, bool rts) {
  const int lines = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  return ioctl(impl_->pty.master(), TIOCMSET, &lines) == 0;
}

bool NullModemPair::PeerSeesPortLines(bool* dtr, bool* rts) {
  int lines = 0;
  if (ioctl(impl_->pty.master(), TIOCMGET, &lines) != 0) return false;
  *dtr = (lines & TIOCM_DSR) != 0;
  *rts = (lines & TIOCM_CTS) != 0;
  return true;
}

}  // namespace kavrel_test
