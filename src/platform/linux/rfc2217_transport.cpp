#include "platform/linux/rfc2217_transport.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/rfc2217_settings.h"
#include "platform/linux/system_errors.h"
#include "platform/linux/tcp_connect.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

namespace r = rfc2217;
using Negotiation = r::ClientSession::Negotiation;

// The most the socket is read per step while reading ahead.
constexpr std::size_t kReadAheadStep = 65536;
// The most the transport keeps of its own output. Replies beyond it are
// dropped: a peer that keeps asking while it reads nothing must not grow
// memory without end.
constexpr std::size_t kOwnOutputLimit = 4096;
// The line-state conditions a server is asked to report.
constexpr std::uint8_t kLineStateMask = r::linestate::kOverrun | r::linestate::kParityError |
                                        r::linestate::kFramingError | r::linestate::kBreak;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Acknowledges what came at once, from now on. A server whose socket holds
// back small segments until the last is acknowledged (Nagle's rule, which
// ser2net keeps) would otherwise wait for the delayed acknowledgement of a
// client that has just sent something, up to 40 ms, before it passes on the
// next bytes of a device's answer. The kernel leaves this mode by itself, so
// it is asked for again after every read.
void AcknowledgeAtOnce(int socketFd) {
  const int on = 1;
  setsockopt(socketFd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

long long Seconds(Rfc2217Transport::Clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

int MillisecondsLeft(Rfc2217Transport::Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Rfc2217Transport::Clock::now());
  // Rounded up, so a wait never ends just short of its deadline and spins.
  return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

DWORD EventsOf(const r::Notifications& notified) {
  namespace l = r::linestate;
  namespace m = r::modemstate;
  DWORD events = 0;
  if ((notified.lineState & l::kBreak) != 0) events |= EV_BREAK;
  if ((notified.lineState & (l::kOverrun | l::kParityError | l::kFramingError)) != 0) {
    events |= EV_ERR;
  }
  if ((notified.modemChanges & m::kCts) != 0) events |= EV_CTS;
  if ((notified.modemChanges & m::kDsr) != 0) events |= EV_DSR;
  if ((notified.modemChanges & m::kCd) != 0) events |= EV_RLSD;
  if ((notified.modemChanges & m::kRing) != 0) events |= EV_RING;
  return events;
}

// size data bytes with each 0xFF doubled into out, which has room for
// 2 * size; the encoded length.
std::size_t Escape(const std::uint8_t* data, std::size_t size, std::uint8_t* out) {
  std::size_t length = 0;
  const std::uint8_t* const end = data + size;
  while (data < end) {
    const auto* iac = static_cast<const std::uint8_t*>(
        std::memchr(data, telnet::kIac, static_cast<std::size_t>(end - data)));
    const std::uint8_t* runEnd = iac == nullptr ? end : iac + 1;
    std::memcpy(out + length, data, static_cast<std::size_t>(runEnd - data));
    length += static_cast<std::size_t>(runEnd - data);
    if (iac != nullptr) out[length++] = telnet::kIac;
    data = runEnd;
  }
  return length;
}

}  // namespace

DWORD Rfc2217Transport::Open(const DeviceNode& node, std::unique_ptr<Transport>* transport,
                             std::string* why) {
  const NetworkEndpoint& endpoint = *node.network;
  // A fork() meanwhile waits until the socket is tracked (or closed again),
  // so that no child keeps a copy of the connection: at most the open's
  // bound.
  ForkHeldOff heldOff;
  const Clock::time_point start = Clock::now();
  std::string reason;
  int socketFd = -1;
  DWORD error = ConnectWithin(endpoint, kOpenBound, &socketFd, &reason);
  if (error == ERROR_SUCCESS) {
    error = Start(socketFd, kOpenBound - (Clock::now() - start), transport, &reason);
  }
  if (error != ERROR_SUCCESS) *why = "rfc2217://" + EndpointText(endpoint) + ": " + reason;
  return error;
}

DWORD Rfc2217Transport::Start(int socketFd, Clock::duration bound,
                              std::unique_ptr<Transport>* transport, std::string* why) {
  const Clock::time_point deadline = Clock::now() + bound;
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int error = errno;
    close(socketFd);
    *why = std::string("cannot make an event descriptor: ") + std::strerror(error);
    return ErrorWhileOpening(error);
  }
  std::unique_ptr<Rfc2217Transport> started(new (std::nothrow) Rfc2217Transport(socketFd, wake));
  if (started == nullptr) {
    close(wake);
    close(socketFd);
    *why = "out of memory";
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD error;
  try {
    started->own_.reserve(kOwnOutputLimit);
    std::unique_lock<std::mutex> lock(started->mutex_);
    error = started->Handshake(lock, deadline, why);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error == ERROR_SUCCESS) *transport = std::move(started);
  return error;
}

Rfc2217Transport::Rfc2217Transport(int socketFd, int wake) : socket_(socketFd), wake_(wake) {
  socketTracked_.Track(socketFd);
  wakeTracked_.Track(wake);
}

Rfc2217Transport::~Rfc2217Transport() {
  ForkHeldOff heldOff;
  wakeTracked_.Untrack();
  socketTracked_.Untrack();
  close(wake_);
  close(socket_);
}

DWORD Rfc2217Transport::Handshake(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                                  std::string* why) {
  const std::string within = " within " + std::to_string(Seconds(kOpenBound)) + " s";
  session_.Start(Clock::now(), deadline - Clock::now(), &own_);
  WaitEnd end = Await(lock, deadline, [this] {
    return session_.negotiation(Clock::now()) != Negotiation::kPending;
  });
  const Negotiation negotiation = session_.negotiation(Clock::now());
  if (negotiation == Negotiation::kRefused) {
    *why = session_.refusal();
    return ERROR_NOT_SUPPORTED;
  }
  if (negotiation != Negotiation::kReady) {
    if (end == WaitEnd::kLost) {
      *why = "the server closed the connection";
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    *why = "no RFC 2217 negotiation" + within + " (is it an RFC 2217 server?)";
    return ERROR_SEM_TIMEOUT;
  }

  // The line settings as the server has them now (a value of 0 asks), flow
  // control last: its answer tells that the others have come.
  const std::uint32_t flowAnswers = session_.server().flowControlAnswers;
  r::AppendSetBaudRate(0, &own_);
  r::AppendCommand(r::Command::kSetDataSize, r::kRequestCurrent, &own_);
  r::AppendCommand(r::Command::kSetParity, r::kRequestCurrent, &own_);
  r::AppendCommand(r::Command::kSetStopSize, r::kRequestCurrent, &own_);
  r::AppendCommand(r::Command::kSetControl, r::control::kRequestOutboundFlow, &own_);
  r::AppendCommand(r::Command::kSetLineStateMask, kLineStateMask, &own_);
  end = Await(lock, deadline, [&] { return session_.server().flowControlAnswers > flowAnswers; });
  if (end == WaitEnd::kLost) {
    *why = "the server closed the connection";
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  if (end == WaitEnd::kTimedOut) {
    *why = "the server did not report its line settings" + within;
    return ERROR_SEM_TIMEOUT;
  }
  atOpen_ = session_.server();
  return ERROR_SUCCESS;
}

template <typename Done>
Rfc2217Transport::WaitEnd Rfc2217Transport::Await(std::unique_lock<std::mutex>& lock,
                                                  Clock::time_point deadline, Done done) {
  lineCallWaiting_ = true;
  WaitEnd end = WaitEnd::kTimedOut;
  for (;;) {
    if (done()) {
      end = WaitEnd::kDone;
      break;
    }
    if (lost_ || !SendOwn()) {
      end = WaitEnd::kLost;
      break;
    }
    // The device reads the socket, and wakes this wait, unless its queue is
    // full; then the answer is read for here, ahead of the device.
    const bool readAhead = deviceStalled_ && readAheadSize() < kReadAheadLimit;
    if (readAhead && ReadAhead()) continue;
    const int wait = MillisecondsLeft(deadline);
    if (wait == 0) break;
    const auto socketEvents =
        static_cast<short>((readAhead ? POLLIN : 0) | (own_.empty() ? 0 : POLLOUT));
    pollfd watched[2] = {{socket_, socketEvents, 0}, {wake_, POLLIN, 0}};
    lock.unlock();
    const int ready = poll(watched, 2, wait);
    lock.lock();
    if (ready <= 0) continue;
    if ((watched[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      (void)!read(wake_, &count, sizeof count);
    }
    // A broken connection polls so for ever; the device's reads take what
    // is left before its end, and this wait is over.
    if (!readAhead && (watched[0].revents & (POLLERR | POLLHUP)) != 0) {
      end = done() ? WaitEnd::kDone : WaitEnd::kLost;
      break;
    }
  }
  lineCallWaiting_ = false;
  return end;
}

std::size_t Rfc2217Transport::Decode(std::uint8_t* in, std::size_t size, std::uint8_t* data) {
  const std::size_t ownBefore = own_.size();
  std::size_t count = 0;
  try {
    count = session_.Receive(in, size, data, &own_);
  } catch (const std::bad_alloc&) {
    // The decoder's place in the stream is gone with the replies it could
    // not keep: the connection cannot be followed any more.
    lost_ = true;
    own_.resize(ownBefore);
    return 0;
  }
  if (own_.size() > kOwnOutputLimit) own_.resize(ownBefore);
  events_ |= EventsOf(session_.TakeNotifications());
  // A server that withdraws BINARY or COM-PORT-OPTION has left the protocol
  // the port speaks: that is the end of the port.
  if (session_.negotiation(Clock::now()) == Negotiation::kRefused) lost_ = true;
  return count;
}

bool Rfc2217Transport::ReadAhead() {
  if (readAheadStart_ > 0) {
    readAhead_.erase(readAhead_.begin(),
                     readAhead_.begin() + static_cast<std::ptrdiff_t>(readAheadStart_));
    readAheadStart_ = 0;
  }
  const std::size_t step = std::min(kReadAheadStep, kReadAheadLimit - readAhead_.size());
  if (step == 0) return false;
  const std::size_t end = readAhead_.size();
  try {
    readAhead_.resize(end + step);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const ssize_t got =
      RetryOnInterrupt([&] { return recv(socket_, readAhead_.data() + end, step, 0); });
  if (got <= 0) {
    readAhead_.resize(end);
    if (got < 0 && WouldBlock(errno)) return false;
    lost_ = true;
    return true;
  }
  AcknowledgeAtOnce(socket_);
  const std::size_t count =
      Decode(readAhead_.data() + end, static_cast<std::size_t>(got), readAhead_.data() + end);
  readAhead_.resize(end + count);
  return true;
}

std::size_t Rfc2217Transport::TakeReadAhead(unsigned char* buffer, std::size_t room) {
  const std::size_t count = std::min(room, readAheadSize());
  if (count == 0) return 0;
  std::memcpy(buffer, readAhead_.data() + readAheadStart_, count);
  readAheadStart_ += count;
  if (readAheadStart_ == readAhead_.size()) {
    // Reading ahead is rare; its memory is not kept.
    std::vector<std::uint8_t>().swap(readAhead_);
    readAheadStart_ = 0;
  }
  return count;
}

bool Rfc2217Transport::SendOwn() {
  std::size_t sent = 0;
  while (!sendBroken_ && sent < own_.size()) {
    const ssize_t taken = RetryOnInterrupt(
        [&] { return send(socket_, own_.data() + sent, own_.size() - sent, MSG_NOSIGNAL); });
    if (taken > 0) {
      sent += static_cast<std::size_t>(taken);
    } else if (taken < 0 && WouldBlock(errno)) {
      break;
    } else {
      sendBroken_ = true;
    }
  }
  own_.erase(own_.begin(), own_.begin() + static_cast<std::ptrdiff_t>(sent));
  return !sendBroken_;
}

void Rfc2217Transport::WakeWaiter() {
  const std::uint64_t one = 1;
  // A counter already far from zero wakes the waiter all the same.
  (void)!write(wake_, &one, sizeof one);
}

Transfer Rfc2217Transport::Receive(unsigned char* buffer, std::size_t room) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transfer result;
  std::size_t delivered = TakeReadAhead(buffer, room);
  result.end = TransferEnd::kMayContinue;
  if (readAheadSize() == 0 && delivered < room && !lost_) {
    // Replies and commands go out whenever the transport gets to run.
    SendOwn();
    const std::size_t space = room - delivered;
    const ssize_t got =
        RetryOnInterrupt([&] { return recv(socket_, buffer + delivered, space, 0); });
    if (got > 0) {
      AcknowledgeAtOnce(socket_);
      delivered += Decode(buffer + delivered, static_cast<std::size_t>(got), buffer + delivered);
      // A short read emptied the socket; epoll reports what comes next.
      if (static_cast<std::size_t>(got) < space) result.end = TransferEnd::kWouldBlock;
    } else if (got < 0 && WouldBlock(errno)) {
      result.end = TransferEnd::kWouldBlock;
    } else {
      // The end of the stream, or a connection reset or broken.
      lost_ = true;
    }
  }
  if (lost_ && readAheadSize() == 0) result.end = TransferEnd::kGone;
  result.bytes = delivered;
  result.events = events_;
  events_ = 0;
  // The device stops reading once its queue is full.
  deviceStalled_ = delivered == room;
  if (lineCallWaiting_) WakeWaiter();
  return result;
}

Transfer Rfc2217Transport::Send(const unsigned char* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transfer result;
  if (lost_ || !SendOwn()) {
    result.end = TransferEnd::kGone;
    return result;
  }
  // What the transport holds goes first; and data waits while the server
  // has asked for a pause (FLOWCONTROL-SUSPEND).
  if (!own_.empty() || session_.sendingSuspended()) return result;
  std::size_t taken = 0;
  bool blocked = false;
  while (taken < size && !blocked) {
    const std::uint8_t* plain = data + taken;
    const std::size_t block = std::min(size - taken, kSendBlock);
    // Data without 0xFF goes out as it is, from the caller's buffer.
    const bool escaped = std::memchr(plain, telnet::kIac, block) != nullptr;
    const std::size_t wireSize = escaped ? Escape(plain, block, encoded_) : block;
    const std::uint8_t* wire = escaped ? encoded_ : plain;
    const ssize_t sent =
        RetryOnInterrupt([&] { return send(socket_, wire, wireSize, MSG_NOSIGNAL); });
    if (sent < 0) {
      if (!WouldBlock(errno)) {
        sendBroken_ = true;
        result.end = TransferEnd::kGone;
      }
      break;
    }
    auto onWire = static_cast<std::size_t>(sent);
    blocked = onWire < wireSize;
    if (!escaped) {
      taken += onWire;
      continue;
    }
    // The data bytes whose encoding went out; a 0xFF whose first half did
    // is taken, and its second half waits in the transport's own output.
    std::size_t index = 0;
    while (index < block && onWire > 0) {
      const bool iac = plain[index] == telnet::kIac;
      if (iac && onWire == 1) own_.push_back(telnet::kIac);
      onWire -= iac && onWire >= 2 ? 2 : 1;
      ++index;
    }
    taken += index;
  }
  result.bytes = taken;
  if (result.end != TransferEnd::kGone) {
    result.end = taken == size ? TransferEnd::kMayContinue : TransferEnd::kWouldBlock;
  }
  return result;
}

std::size_t Rfc2217Transport::InputWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return readAheadSize();
}

void Rfc2217Transport::DiscardInput() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint8_t>().swap(readAhead_);
  readAheadStart_ = 0;
  // The device's queue is empty now, and it reads again.
  deviceStalled_ = false;
  if (lost_) return;
  // What has arrived by now is dropped; what comes later is kept, so this
  // ends even while the server keeps sending. Answers and notifications
  // among the dropped bytes still count.
  int arrived = 0;
  if (ioctl(socket_, FIONREAD, &arrived) != 0) arrived = 0;
  std::uint8_t scratch[4096];
  while (arrived > 0) {
    const std::size_t step = std::min(sizeof scratch, static_cast<std::size_t>(arrived));
    const ssize_t got = RetryOnInterrupt([&] { return recv(socket_, scratch, step, 0); });
    if (got <= 0) {
      if (got == 0 || !WouldBlock(errno)) lost_ = true;
      break;
    }
    Decode(scratch, static_cast<std::size_t>(got), scratch);
    arrived -= static_cast<int>(got);
  }
  if (own_.size() < kOwnOutputLimit) {
    r::AppendCommand(r::Command::kPurgeData, r::kPurgeReceived, &own_);
  }
  SendOwn();
  if (lineCallWaiting_) WakeWaiter();
}

bool Rfc2217Transport::WantsWritable(bool dataWaiting) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A connection that has ended is written to once more, so that Send
  // reports the end.
  const bool dataMayGo = !session_.sendingSuspended() || lost_ || sendBroken_;
  return !own_.empty() || (dataWaiting && dataMayGo);
}

TransferEnd Rfc2217Transport::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!SendOwn()) return TransferEnd::kGone;
  return own_.empty() ? TransferEnd::kMayContinue : TransferEnd::kWouldBlock;
}

DWORD Rfc2217Transport::ReadSettings(DCB* dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lost_ || sendBroken_) return ERROR_DEVICE_NOT_CONNECTED;
  r::DescribeServerSettings(session_.server(), dcb);
  return ERROR_SUCCESS;
}

DWORD Rfc2217Transport::ApplySettings(const DCB& dcb) {
  r::LineRequest request;
  if (!r::RequestFromDcb(dcb, &request)) return ERROR_INVALID_PARAMETER;
  std::unique_lock<std::mutex> lock(mutex_);
  if (lost_ || sendBroken_) return ERROR_DEVICE_NOT_CONNECTED;
  try {
    const r::ServerState before = session_.server();
    r::AppendLineCommands(request, &own_);
    const WaitEnd end = Await(lock, Clock::now() + kAnswerBound, [&] {
      return session_.server().flowControlAnswers > before.flowControlAnswers;
    });
    if (end == WaitEnd::kLost) return ERROR_DEVICE_NOT_CONNECTED;
    if (end == WaitEnd::kTimedOut) return ERROR_SEM_TIMEOUT;
    if (!r::ServerKept(request, before, session_.server())) {
      // Refused as a local port refuses: the line stays as it was.
      const r::ServerState refused = session_.server();
      if (r::AppendRestoringCommands(before, refused, &own_)) {
        Await(lock, Clock::now() + kAnswerBound,
              [&] { return session_.server().flowControlAnswers > refused.flowControlAnswers; });
      }
      return ERROR_INVALID_PARAMETER;
    }
    r::AppendModemLineCommands(request, &own_);
    SendOwn();
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD Rfc2217Transport::ReadModemLines(ModemLines* lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lost_ || sendBroken_) return ERROR_DEVICE_NOT_CONNECTED;
  const std::optional<std::uint8_t>& state = session_.server().modemState;
  if (!state.has_value()) return ERROR_NOT_SUPPORTED;
  // The protocol's line bits are the values GetCommModemStatus reports
  // (MS_CTS_ON 0x10, MS_DSR_ON 0x20, MS_RING_ON 0x40, MS_RLSD_ON 0x80). The
  // server reports each change, so nothing is counted here.
  *lines = ModemLines{};
  lines->status = *state & r::modemstate::kLines;
  return ERROR_SUCCESS;
}

DWORD Rfc2217Transport::SendControl(std::uint8_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lost_ || sendBroken_) return ERROR_DEVICE_NOT_CONNECTED;
  try {
    r::AppendCommand(r::Command::kSetControl, value, &own_);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return SendOwn() ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED;
}

DWORD Rfc2217Transport::DriveModemLine(ModemOutput line, bool raised) {
  namespace c = r::control;
  if (line == ModemOutput::kDtr) return SendControl(raised ? c::kDtrOn : c::kDtrOff);
  return SendControl(raised ? c::kRtsOn : c::kRtsOff);
}

DWORD Rfc2217Transport::DriveBreak(bool on) {
  return SendControl(on ? r::control::kBreakOn : r::control::kBreakOff);
}

DWORD Rfc2217Transport::RestoreSettingsAtOpen() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (lost_ || sendBroken_) return ERROR_DEVICE_NOT_CONNECTED;
  const r::ServerState now = session_.server();
  try {
    if (!r::AppendRestoringCommands(atOpen_, now, &own_)) return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const WaitEnd end = Await(lock, Clock::now() + kAnswerBound, [&] {
    return session_.server().flowControlAnswers > now.flowControlAnswers;
  });
  if (end == WaitEnd::kLost) return ERROR_DEVICE_NOT_CONNECTED;
  return end == WaitEnd::kTimedOut ? ERROR_SEM_TIMEOUT : ERROR_SUCCESS;
}

DWORD Rfc2217Transport::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (drainInterrupted_) return ERROR_OPERATION_ABORTED;
    if (lost_ || sendBroken_) return ERROR_DEVICE_NOT_CONNECTED;
    // What the transport holds goes out with the I/O thread's next turn;
    // the socket's queue counts what the server has not yet acknowledged.
    int unacknowledged = 0;
    if (own_.empty() && ioctl(socket_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0) {
      return ERROR_SUCCESS;
    }
    // Nothing announces the moment the server's acknowledgements empty the
    // queue, so it is looked at again every millisecond until then.
    drainLook_.wait_for(lock, std::chrono::milliseconds(1));
  }
}

void Rfc2217Transport::InterruptDrain() {
  std::lock_guard<std::mutex> lock(mutex_);
  drainInterrupted_ = true;
  drainLook_.notify_all();
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
