#include "platform/linux/comm_device.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "platform/linux/dcb_termios.h"
#include "platform/linux/io_thread.h"
#include "platform/linux/overlapped_status.h"
#include "platform/linux/termios2_speed.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

// What the pty driver would not keep and the device keeps for it instead.
constexpr tcflag_t kPtyFramingFlags = CSIZE | PARENB | PARODD | CMSPAR;
// Every event SetCommMask knows, up to EV_EVENT2.
constexpr DWORD kKnownEvents = 0x1FFF;
constexpr DWORD kPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// How far a device may round a rate and still count as keeping it: about
// the error a UART tolerates before it misreads frames.
constexpr std::uint64_t kRateToleranceDivisor = 50;  // 2 %

std::atomic<std::uint64_t> nextDeviceId{1};

void Begin(OVERLAPPED* overlapped, EventObject* event) {
  overlapped->InternalHigh = 0;
  StoreStatus(overlapped, kStatusPending);
  if (event != nullptr) event->Reset();
}

// Publishes an operation's outcome. After the status is stored the record
// belongs to its owner again and is not touched; the event is signalled
// through the operation's own reference to it.
void Finish(OVERLAPPED* overlapped, const std::shared_ptr<EventObject>& event, DWORD error,
            DWORD count) {
  overlapped->InternalHigh = count;
  StoreStatus(overlapped, error);
  AnnounceCompletion(event.get());
}

bool RateKept(DWORD requested, DWORD actual) {
  const std::uint64_t difference = requested > actual ? requested - actual : actual - requested;
  return difference * kRateToleranceDivisor <= requested;
}

// A hung-up or unplugged line: read() answered 0 or EIO, or ENXIO/ENODEV
// for a device that is no longer there.
bool MeansGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

}  // namespace

CommDevice::CommDevice(int fd, TtyKind kind, DWORD access)
    : KernelObject(ObjectKind::kDevice),
      id_(nextDeviceId.fetch_add(1)),
      kind_(kind),
      access_(access),
      fd_(fd) {
  settings_.DCBlength = sizeof(DCB);
  settings_.fBinary = 1;
  // Opening a tty raises DTR and RTS.
  settings_.fDtrControl = DTR_CONTROL_ENABLE;
  settings_.fRtsControl = RTS_CONTROL_ENABLE;
  termios current{};
  if (tcgetattr(fd_, &current) == 0) ptyFraming_ = current.c_cflag & kPtyFramingFlags;
}

CommDevice::~CommDevice() {
  // Only a device that never got a handle still has its descriptor here.
  // Exclusive mode is taken back first: on a pty whose master stays open it
  // would otherwise outlive this open and keep later ones out.
  if (fd_ >= 0) {
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }
}

bool CommDevice::Watch(int epollFd) {
  std::lock_guard<std::mutex> lock(mutex_);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = id_;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd_, &event) != 0) return false;
  epollFd_ = epollFd;
  watching_ = true;
  interest_ = EPOLLIN;
  return true;
}

void CommDevice::OnHandleClosed() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    AbortReads(ERROR_OPERATION_ABORTED);
    AbortWrites(ERROR_OPERATION_ABORTED);
    AbortWait(ERROR_OPERATION_ABORTED);
    UpdateInterest();
  }
  // Not under the device's mutex: this may join the I/O thread, which may be
  // waiting for that mutex right now.
  IoThread::Process().Remove(id_);
  std::lock_guard<std::mutex> lock(mutex_);
  // Exclusive mode is taken back so that nothing of this open outlives it
  // (on a pty whose master stays open the flag would); a hung-up line
  // refuses the request, which is fine.
  ioctl(fd_, TIOCNXCL);
  close(fd_);
  fd_ = -1;
}

void CommDevice::OnReady(std::uint32_t events) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || gone_) return;
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) PumpInput();
  if (!gone_ && (events & EPOLLOUT) != 0) FlushOutput();
  // A hang-up is reported even while input is not wanted (the queue is
  // full); the line is then gone all the same, and epoll must hear no more
  // of it or it would report the hang-up for ever.
  if (!gone_ && (events & (EPOLLHUP | EPOLLERR)) != 0) MarkGone();
}

DWORD CommDevice::Read(void* buffer, DWORD count, OVERLAPPED* overlapped,
                       std::shared_ptr<EventObject> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  Begin(overlapped, event.get());
  if (count == 0) {
    Finish(overlapped, event, ERROR_SUCCESS, 0);
    return ERROR_SUCCESS;
  }
  reads_.push_back({overlapped, static_cast<unsigned char*>(buffer), count, 0, std::move(event)});
  if (gone_) {
    // What was queued before the line went is still delivered; beyond that
    // the read fails.
    ServeReads();
    AbortReads(ERROR_DEVICE_NOT_CONNECTED);
  } else {
    PumpInput();
  }
  const auto status = static_cast<DWORD>(LoadStatus(overlapped));
  return status == kStatusPending ? ERROR_IO_PENDING : status;
}

DWORD CommDevice::Write(const void* buffer, DWORD count, OVERLAPPED* overlapped,
                        std::shared_ptr<EventObject> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  Begin(overlapped, event.get());
  if (gone_) {
    Finish(overlapped, event, ERROR_DEVICE_NOT_CONNECTED, 0);
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  if (count == 0) {
    Finish(overlapped, event, ERROR_SUCCESS, 0);
    return ERROR_SUCCESS;
  }
  // The caller's buffer is held, not copied: like a Win32 overlapped write,
  // it must stay valid until the write has finished.
  writes_.push_back(
      {overlapped, static_cast<const unsigned char*>(buffer), count, 0, std::move(event)});
  // With nothing ahead of it the write goes straight to the device from the
  // caller's thread; the I/O thread takes over only what does not fit.
  if (writes_.size() == 1) FlushOutput();
  UpdateInterest();
  const auto status = static_cast<DWORD>(LoadStatus(overlapped));
  return status == kStatusPending ? ERROR_IO_PENDING : status;
}

DWORD CommDevice::WaitEvent(DWORD* mask, OVERLAPPED* overlapped,
                            std::shared_ptr<EventObject> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if (wait_.has_value() || eventMask_ == 0) return ERROR_INVALID_PARAMETER;
  Begin(overlapped, event.get());
  if (gone_) {
    Finish(overlapped, event, ERROR_DEVICE_NOT_CONNECTED, 0);
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  // Events that came while no wait was pending finish it at once, as a
  // Windows driver does; otherwise only events from now on count. Bytes that
  // arrived while the mask did not ask for EV_RXCHAR never do.
  if (history_ != 0) {
    *mask = history_;
    history_ = 0;
    Finish(overlapped, event, ERROR_SUCCESS, sizeof(DWORD));
    return ERROR_SUCCESS;
  }
  wait_ = PendingWait{overlapped, mask, std::move(event)};
  return ERROR_IO_PENDING;
}

DWORD CommDevice::SetEventMask(DWORD mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if ((mask & ~kKnownEvents) != 0) return ERROR_INVALID_PARAMETER;
  eventMask_ = mask;
  // Recorded events the new mask still asks for are kept, as a Windows
  // driver keeps them: a listener that sets its mask again after the bytes
  // came still hears of them.
  history_ &= mask;
  // A new mask ends a pending wait successfully, reporting no event.
  if (wait_.has_value()) {
    *wait_->mask = 0;
    Finish(wait_->overlapped, wait_->event, ERROR_SUCCESS, sizeof(DWORD));
    wait_.reset();
  }
  return ERROR_SUCCESS;
}

DWORD CommDevice::Purge(DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if ((flags & ~kPurgeFlags) != 0) return ERROR_INVALID_PARAMETER;
  // What the emulation holds for output is exactly the unwritten part of
  // the pending writes, so clearing it ends them. The device's own output
  // buffer is never flushed: on a pty slave that would empty the peer's
  // input and lose bytes whose writes have already finished.
  if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0) AbortWrites(ERROR_OPERATION_ABORTED);
  if ((flags & PURGE_RXABORT) != 0) AbortReads(ERROR_OPERATION_ABORTED);
  if ((flags & PURGE_RXCLEAR) != 0) {
    input_.Clear();
    if (!gone_) tcflush(fd_, TCIFLUSH);
  }
  UpdateInterest();
  return ERROR_SUCCESS;
}

DWORD CommDevice::SetQueueSizes(DWORD inQueue, DWORD /*outQueue*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  // The output side holds the callers' own buffers, so it needs no storage
  // and its size has nothing to bound.
  if (inQueue != 0 && inQueue != input_.capacity()) {
    try {
      input_.Resize(inQueue);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (!gone_) PumpInput();
  return ERROR_SUCCESS;
}

DWORD CommDevice::GetState(DCB* dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  termios current{};
  DWORD rate = 0;
  if (tcgetattr(fd_, &current) != 0 || !ReadOutputRate(fd_, &rate)) return ERROR_GEN_FAILURE;

  DCB reported = settings_;
  termios framing = current;
  if (kind_ == TtyKind::kPtySlave) {
    framing.c_cflag = (current.c_cflag & ~kPtyFramingFlags) | ptyFraming_;
  }
  LineControlFromTermios(framing, &reported);
  FlowControlFromTermios(current, &reported);
  SpecialCharsFromTermios(current, &reported);
  reported.BaudRate = (requestedRate_ != 0 && rate == deviceRate_) ? requestedRate_ : rate;
  reported.DCBlength = sizeof(DCB);
  reported.fBinary = 1;
  *dcb = reported;
  return ERROR_SUCCESS;
}

DWORD CommDevice::SetState(const DCB& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;

  termios wanted{};
  if (tcgetattr(fd_, &wanted) != 0) return ERROR_GEN_FAILURE;
  if (!LineControlToTermios(dcb, &wanted) || !FlowControlToTermios(dcb, &wanted) ||
      !SpecialCharsToTermios(dcb, &wanted)) {
    return ERROR_INVALID_PARAMETER;
  }
  LineSnapshot before{};
  if (!SaveLine(fd_, &before)) return ERROR_GEN_FAILURE;

  // A separate input rate left over from earlier settings would otherwise
  // survive the change.
  wanted.c_cflag &= ~CIBAUD;
  // The C library's tcsetattr reports failure when a request changed
  // nothing the device shows, which is what a pty answers to data bits and
  // parity it overrides; and it reports success when any part took. Neither
  // answer says whether the line now runs as asked, so only the device's own
  // account read back below decides.
  const speed_t code = StandardSpeedCode(dcb.BaudRate);
  if (code != B0) {
    cfsetispeed(&wanted, code);
    cfsetospeed(&wanted, code);
    tcsetattr(fd_, TCSANOW, &wanted);
  } else {
    LineFields fields;
    fields.iflag = wanted.c_iflag;
    fields.oflag = wanted.c_oflag;
    fields.cflag = wanted.c_cflag;
    fields.lflag = wanted.c_lflag;
    fields.line = wanted.c_line;
    std::memcpy(fields.cc, wanted.c_cc, sizeof fields.cc);
    ApplyWithCustomSpeed(fd_, fields, dcb.BaudRate);
  }

  termios actual{};
  DWORD rate = 0;
  const tcflag_t forced = kind_ == TtyKind::kPtySlave ? kPtyForcedControlFlags : 0;
  const bool kept = tcgetattr(fd_, &actual) == 0 && ReadOutputRate(fd_, &rate) &&
                    DeviceKept(wanted, actual, forced) && RateKept(dcb.BaudRate, rate);
  if (!kept) {
    RestoreLine(fd_, before);
    return ERROR_INVALID_PARAMETER;
  }

  if (kind_ == TtyKind::kPtySlave) ptyFraming_ = wanted.c_cflag & kPtyFramingFlags;
  requestedRate_ = dcb.BaudRate;
  deviceRate_ = rate;
  settings_ = dcb;
  settings_.DCBlength = sizeof(DCB);
  settings_.fBinary = 1;
  DriveModemLines(dcb);
  return ERROR_SUCCESS;
}

DWORD CommDevice::GetStatus(DWORD* errors, COMSTAT* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  // Errors are not tracked: the emulated queue never overruns, because it
  // stops reading before it is full.
  if (errors != nullptr) *errors = 0;
  if (status == nullptr) return ERROR_SUCCESS;
  // Taking in what the kernel holds first makes the count exact; only
  // when the queue is full does the kernel still hold bytes afterwards.
  std::uint64_t inQueue = input_.size();
  if (!gone_) {
    PumpInput();
    inQueue = input_.size();
    int held = 0;
    if (!gone_ && ioctl(fd_, FIONREAD, &held) == 0 && held > 0) inQueue += held;
  }
  std::memset(status, 0, sizeof *status);
  status->cbInQue =
      static_cast<DWORD>(std::min<std::uint64_t>(inQueue, std::numeric_limits<DWORD>::max()));
  status->cbOutQue = BytesHeldForOutput();
  return ERROR_SUCCESS;
}

DWORD CommDevice::Cancel(const OVERLAPPED* overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  bool found = false;
  for (auto read = reads_.begin(); read != reads_.end();) {
    if (overlapped == nullptr || read->overlapped == overlapped) {
      Finish(read->overlapped, read->event, ERROR_OPERATION_ABORTED, read->done);
      read = reads_.erase(read);
      found = true;
    } else {
      ++read;
    }
  }
  for (auto write = writes_.begin(); write != writes_.end();) {
    if (overlapped == nullptr || write->overlapped == overlapped) {
      Finish(write->overlapped, write->event, ERROR_OPERATION_ABORTED, write->done);
      write = writes_.erase(write);
      found = true;
    } else {
      ++write;
    }
  }
  if (wait_.has_value() && (overlapped == nullptr || wait_->overlapped == overlapped)) {
    AbortWait(ERROR_OPERATION_ABORTED);
    found = true;
  }
  UpdateInterest();
  return found ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

void CommDevice::ServeReads() {
  while (!reads_.empty() && input_.size() > 0) {
    PendingRead& read = reads_.front();
    read.done += static_cast<DWORD>(input_.Take(read.buffer + read.done, read.count - read.done));
    if (read.done == read.count) {
      Finish(read.overlapped, read.event, ERROR_SUCCESS, read.count);
      reads_.pop_front();
    }
  }
}

void CommDevice::PumpInput() {
  bool received = false;
  bool hungUp = false;
  for (;;) {
    ServeReads();
    std::size_t room = 0;
    unsigned char* space = input_.FreeSpan(&room);
    if (room == 0) break;
    const ssize_t got = read(fd_, space, room);
    if (got > 0) {
      input_.Commit(static_cast<std::size_t>(got));
      received = true;
      // A tty answers short only when it had no more: asking again would
      // cost a system call per chunk just to hear EAGAIN. Epoll reports any
      // bytes that come after this.
      if (static_cast<std::size_t>(got) < room) break;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // read() answers 0 only on a hung-up line: raw mode with VMIN 1 and
    // O_NONBLOCK answers EAGAIN when there is merely nothing to read.
    if (got == 0 || MeansGone(errno)) hungUp = true;
    break;
  }
  ServeReads();
  if (received) RaiseEvents(EV_RXCHAR);
  if (hungUp) {
    MarkGone();
  } else {
    UpdateInterest();
  }
}

void CommDevice::FlushOutput() {
  bool finished = false;
  while (!writes_.empty()) {
    PendingWrite& write = writes_.front();
    const ssize_t taken = ::write(fd_, write.buffer + write.done, write.count - write.done);
    if (taken > 0) {
      write.done += static_cast<DWORD>(taken);
      if (write.done == write.count) {
        Finish(write.overlapped, write.event, ERROR_SUCCESS, write.count);
        writes_.pop_front();
        finished = true;
      }
      continue;
    }
    if (taken < 0 && errno == EINTR) continue;
    if (taken < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // Any other answer means the device cannot take output any more.
    MarkGone();
    return;
  }
  if (finished && writes_.empty()) RaiseEvents(EV_TXEMPTY);
  UpdateInterest();
}

void CommDevice::RaiseEvents(DWORD bits) {
  const DWORD hit = bits & eventMask_;
  if (hit == 0) return;
  if (!wait_.has_value()) {
    history_ |= hit;
    return;
  }
  // The mask is written before the status is published, so whoever sees
  // the wait finished also sees which events finished it.
  *wait_->mask = hit;
  Finish(wait_->overlapped, wait_->event, ERROR_SUCCESS, sizeof(DWORD));
  wait_.reset();
}

void CommDevice::MarkGone() {
  gone_ = true;
  ServeReads();
  AbortReads(ERROR_DEVICE_NOT_CONNECTED);
  AbortWrites(ERROR_DEVICE_NOT_CONNECTED);
  AbortWait(ERROR_DEVICE_NOT_CONNECTED);
  UpdateInterest();
}

void CommDevice::AbortReads(DWORD error) {
  for (PendingRead& read : reads_) Finish(read.overlapped, read.event, error, read.done);
  reads_.clear();
}

void CommDevice::AbortWrites(DWORD error) {
  for (PendingWrite& write : writes_) Finish(write.overlapped, write.event, error, write.done);
  writes_.clear();
}

void CommDevice::AbortWait(DWORD error) {
  if (!wait_.has_value()) return;
  Finish(wait_->overlapped, wait_->event, error, 0);
  wait_.reset();
}

void CommDevice::UpdateInterest() {
  if (!watching_) return;
  if (closed_ || gone_) {
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    watching_ = false;
    return;
  }
  std::uint32_t wanted = 0;
  if (input_.room() > 0) wanted |= EPOLLIN;
  if (!writes_.empty()) wanted |= EPOLLOUT;
  if (wanted == interest_) return;
  epoll_event event{};
  event.events = wanted;
  event.data.u64 = id_;
  if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &event) == 0) interest_ = wanted;
}

void CommDevice::DriveModemLines(const DCB& dcb) {
  // A pty has no modem lines, and some USB adapters lack the requests; the
  // DCB keeps the choice either way.
  if (kind_ == TtyKind::kPtySlave) return;
  int line = TIOCM_DTR;
  ioctl(fd_, dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &line);
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    line = TIOCM_RTS;
    ioctl(fd_, dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &line);
  }
}

DWORD CommDevice::BytesHeldForOutput() const {
  std::uint64_t held = 0;
  for (const PendingWrite& write : writes_) held += write.count - write.done;
  return static_cast<DWORD>(std::min<std::uint64_t>(held, std::numeric_limits<DWORD>::max()));
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
