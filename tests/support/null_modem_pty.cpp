// The null-modem pair on Linux: a pseudo-terminal.
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

}  // namespace kavrel_test
