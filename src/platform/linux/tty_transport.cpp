#include "platform/linux/tty_transport.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <utility>

#include "platform/linux/exclusive_open.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/system_errors.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

termios LineAtOpen(int fd) {
  termios line{};
  RetryOnInterrupt([&] { return tcgetattr(fd, &line); });
  return line;
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// What a failed modem-line request means: a line without modem lines (a pty
// answers ENOTTY, some adapters EINVAL) or a line that is gone.
DWORD ModemRequestError(int error) {
  return error == ENOTTY || error == EINVAL ? ERROR_NOT_SUPPORTED : ErrorOnOpenDevice(error);
}

}  // namespace

DWORD TtyTransport::Open(const DeviceNode& node, std::unique_ptr<Transport>* transport,
                         std::string* why) {
  // A fork() meanwhile waits until the new descriptor is tracked, so that no
  // child keeps a copy it does not know of (and with it the port's lock).
  ForkHeldOff heldOff;
  int fd = -1;
  UucpLock lock;
  LineSnapshot atOpen{};
  const DWORD error = OpenExclusive(node, &fd, &lock, why, &atOpen);
  if (error != ERROR_SUCCESS) return error;
  transport->reset(new (std::nothrow) TtyTransport(fd, node.kind, std::move(lock), atOpen));
  if (*transport == nullptr) {
    ioctl(fd, TIOCNXCL);
    close(fd);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

TtyTransport::TtyTransport(int fd, TtyKind kind, UucpLock lock, const LineSnapshot& atOpen)
    : fd_(fd), kind_(kind), atOpen_(atOpen), line_(kind, LineAtOpen(fd)), lock_(std::move(lock)) {
  tracked_.Track(fd);
}

TtyTransport::~TtyTransport() {
  ForkHeldOff heldOff;
  tracked_.Untrack();
  // Exclusive mode is taken back so that nothing of this open outlives it
  // (on a pty whose master stays open the flag would keep later opens out);
  // a hung-up line refuses the request, which is fine.
  ioctl(fd_, TIOCNXCL);
  close(fd_);
}

Transfer TtyTransport::Receive(unsigned char* buffer, std::size_t room) {
  Transfer result;
  const ssize_t got = RetryOnInterrupt([&] { return read(fd_, buffer, room); });
  if (got > 0) {
    result.bytes = static_cast<std::size_t>(got);
    // A tty answers short only when it had no more: asking again would cost
    // a system call just to hear EAGAIN. Epoll reports any bytes that come
    // after this.
    result.end = result.bytes < room ? TransferEnd::kWouldBlock : TransferEnd::kMayContinue;
  } else if (got < 0 && WouldBlock(errno)) {
    result.end = TransferEnd::kWouldBlock;
  } else {
    // read() answers 0 only on a hung-up line: raw mode with VMIN 1 and
    // O_NONBLOCK answers EAGAIN when there is merely nothing to read. Any
    // other failure leaves a line that polls readable and can never be read,
    // which is as good as gone.
    result.end = TransferEnd::kGone;
  }
  return result;
}

Transfer TtyTransport::Send(const unsigned char* data, std::size_t size) {
  Transfer result;
  const ssize_t taken = RetryOnInterrupt([&] { return write(fd_, data, size); });
  if (taken > 0) {
    result.bytes = static_cast<std::size_t>(taken);
    // A short write means the tty's buffer is full; epoll says when it has
    // room again.
    result.end = result.bytes < size ? TransferEnd::kWouldBlock : TransferEnd::kMayContinue;
  } else if (taken < 0 && WouldBlock(errno)) {
    result.end = TransferEnd::kWouldBlock;
  } else {
    // Any other answer means the device cannot take output any more.
    result.end = TransferEnd::kGone;
  }
  return result;
}

std::size_t TtyTransport::InputWaiting() {
  int held = 0;
  if (ioctl(fd_, FIONREAD, &held) != 0 || held < 0) return 0;
  return static_cast<std::size_t>(held);
}

void TtyTransport::DiscardInput() { tcflush(fd_, TCIFLUSH); }

DWORD TtyTransport::ReadModemLines(ModemLines* lines) {
  int bits = 0;
  if (ioctl(fd_, TIOCMGET, &bits) != 0) return ModemRequestError(errno);
  lines->status =
      ((bits & TIOCM_CTS) != 0 ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) != 0 ? MS_DSR_ON : 0) |
      ((bits & TIOCM_RNG) != 0 ? MS_RING_ON : 0) | ((bits & TIOCM_CAR) != 0 ? MS_RLSD_ON : 0);
  // Not every driver counts changes; its lines are then compared by state.
  serial_icounter_struct counts{};
  lines->counted = ioctl(fd_, TIOCGICOUNT, &counts) == 0;
  if (lines->counted) {
    lines->ctsChanges = static_cast<std::uint32_t>(counts.cts);
    lines->dsrChanges = static_cast<std::uint32_t>(counts.dsr);
    lines->ringChanges = static_cast<std::uint32_t>(counts.rng);
    lines->dcdChanges = static_cast<std::uint32_t>(counts.dcd);
  }
  return ERROR_SUCCESS;
}

DWORD TtyTransport::ReadSettings(DCB* dcb) { return line_.Read(fd_, dcb); }

DWORD TtyTransport::ApplySettings(const DCB& dcb) {
  const DWORD error = line_.Apply(fd_, dcb);
  if (error == ERROR_SUCCESS) DriveModemLines(dcb);
  return error;
}

DWORD TtyTransport::DriveModemLine(ModemOutput line, bool raised) {
  int bit = line == ModemOutput::kDtr ? TIOCM_DTR : TIOCM_RTS;
  if (ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &bit) != 0) return ModemRequestError(errno);
  return ERROR_SUCCESS;
}

DWORD TtyTransport::DriveBreak(bool on) {
  // A pty carries no break and accepts the request without effect, as a
  // virtual wire would.
  if (ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) return ErrorOnOpenDevice(errno);
  return ERROR_SUCCESS;
}

DWORD TtyTransport::RestoreSettingsAtOpen() {
  if (!RestoreLine(fd_, atOpen_)) return ErrorOnOpenDevice(errno);
  return ERROR_SUCCESS;
}

DWORD TtyTransport::Drain() {
  // A pty's driver holds nothing once written: its bytes are in the peer's
  // input already, so this returns at once there.
  if (RetryOnInterrupt([&] { return tcdrain(fd_); }) != 0) return ErrorOnOpenDevice(errno);
  return ERROR_SUCCESS;
}

void TtyTransport::InterruptDrain() {
  // A drain waits for the kernel's output buffer to empty, which flow
  // control can hold up for ever; emptying it ends the wait. Never on a pty,
  // whose drain does not wait and whose output flush would empty the peer's
  // input instead.
  if (kind_ != TtyKind::kPtySlave) tcflush(fd_, TCOFLUSH);
}

void TtyTransport::DriveModemLines(const DCB& dcb) {
  // A pty has no modem lines, and some USB adapters lack the requests; the
  // DCB keeps the choice either way, so a refusal here is not an error.
  int line = TIOCM_DTR;
  ioctl(fd_, dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &line);
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    line = TIOCM_RTS;
    ioctl(fd_, dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &line);
  }
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
