#include "platform/linux/comm_device.h"

#include <sys/epoll.h>

#include <algorithm>
#include <limits>
#include <new>

#include "platform/linux/overlapped_status.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

// Every event SetCommMask knows, up to EV_EVENT2.
constexpr DWORD kKnownEvents = 0x1FFF;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
// Longer than any time-out a caller can ask for (2^32 ms times 2^32 bytes
// does not fit): a read or write past it simply never times out.
constexpr std::uint64_t kLongestTimeoutMs = std::uint64_t{1} << 42;
constexpr DWORD kPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

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

DWORD Outcome(const OVERLAPPED* overlapped) {
  const auto status = static_cast<DWORD>(LoadStatus(overlapped));
  return status == kStatusPending ? ERROR_IO_PENDING : status;
}

// now plus a time-out of perByte * count + constant milliseconds; no
// deadline when both are 0.
DeadlineClock::time_point TotalDeadline(DeadlineClock::time_point now, DWORD perByte, DWORD count,
                                        DWORD constant) {
  if (perByte == 0 && constant == 0) return kNoDeadline;
  const std::uint64_t total =
      std::min(std::uint64_t{perByte} * count + constant, kLongestTimeoutMs);
  return now + std::chrono::milliseconds(total);
}

// The modem events that tell before from after.
DWORD ModemEvents(const ModemLines& before, const ModemLines& after) {
  DWORD events = 0;
  if (before.counted && after.counted) {
    if (after.ctsChanges != before.ctsChanges) events |= EV_CTS;
    if (after.dsrChanges != before.dsrChanges) events |= EV_DSR;
    if (after.dcdChanges != before.dcdChanges) events |= EV_RLSD;
    if (after.ringChanges != before.ringChanges) events |= EV_RING;
  }
  const DWORD flipped = before.status ^ after.status;
  if ((flipped & MS_CTS_ON) != 0) events |= EV_CTS;
  if ((flipped & MS_DSR_ON) != 0) events |= EV_DSR;
  if ((flipped & MS_RLSD_ON) != 0) events |= EV_RLSD;
  if ((flipped & MS_RING_ON) != 0) events |= EV_RING;
  return events;
}

}  // namespace

DWORD CommDevice::Start(std::unique_ptr<Transport> transport, DWORD access,
                        std::shared_ptr<CommDevice>* device) {
  std::shared_ptr<CommDevice> started;
  try {
    started = std::make_shared<CommDevice>(std::move(transport), access);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD error = DeadlineTimer::Create(started, &started->timer_);
  if (error != ERROR_SUCCESS) return error;
  // No other thread knows the device yet, and the I/O thread is not called
  // for it before its interest is filled in.
  error = IoThread::Process().Add(started, &started->interest_);
  if (error != ERROR_SUCCESS) return error;
  error = IoThread::Process().Add(started->timer_, &started->timerInterest_);
  if (error != ERROR_SUCCESS) {
    std::uint64_t key;
    {
      std::lock_guard<std::mutex> lock(started->mutex_);
      started->interest_.Drop();
      key = started->interest_.key();
    }
    IoThread::Process().Remove(key);
    return error;
  }
  {
    // Bytes a transport took in while it opened (a network port reads its
    // server's first words, data among them) are queued and announced now.
    std::lock_guard<std::mutex> lock(started->mutex_);
    started->PumpInput();
  }
  *device = std::move(started);
  return ERROR_SUCCESS;
}

CommDevice::CommDevice(std::unique_ptr<Transport> transport, DWORD access)
    : KernelObject(ObjectKind::kDevice),
      access_(access),
      descriptor_(transport->descriptor()),
      transport_(std::move(transport)) {
  settings_.DCBlength = sizeof(DCB);
  settings_.fBinary = 1;
  // Opening a port raises DTR and RTS.
  settings_.fDtrControl = DTR_CONTROL_ENABLE;
  settings_.fRtsControl = RTS_CONTROL_ENABLE;
}

void CommDevice::OnHandleClosed() {
  std::lock_guard<std::mutex> line(lineMutex_);
  std::uint64_t key;
  std::uint64_t timerKey;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    AbortReads(ERROR_OPERATION_ABORTED);
    AbortWrites(ERROR_OPERATION_ABORTED);
    AbortWait(ERROR_OPERATION_ABORTED);
    UpdateInterest();
    timerInterest_.Drop();
    key = interest_.key();
    timerKey = timerInterest_.key();
  }
  // Not under the device's mutex: this may join the I/O thread, which may be
  // waiting for that mutex right now. The I/O thread never takes the line
  // mutex.
  IoThread::Process().Remove(key);
  IoThread::Process().Remove(timerKey);
  // A flush waiting for the line to send what it took holds no lock; it is
  // ended, and the transport stays until it has let go.
  std::unique_lock<std::mutex> lock(mutex_);
  if (drainsInProgress_ > 0) transport_->InterruptDrain();
  drainsEnded_.wait(lock, [this] { return drainsInProgress_ == 0; });
  transport_.reset();
}

void CommDevice::OnDeadline() {
  DeferredWakeups deferred;
  std::lock_guard<std::mutex> lock(mutex_);
  timer_->Expired();
  if (closed_ || gone_) return;
  const DeadlineClock::time_point now = DeadlineClock::now();
  ExpireRequests(now);
  if (WatchingModemLines() && nextModemLook_ <= now) {
    nextModemLook_ = now + kModemLookInterval;
    const DWORD changed = LookAtModemLines();
    if (changed != 0) RaiseEvents(changed);
  }
  UpdateInterest();
}

void CommDevice::OnReady(std::uint32_t events) {
  DeferredWakeups deferred;
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
  DeferredWakeups deferred;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  Begin(overlapped, event.get());
  if (count == 0) {
    Finish(overlapped, event, ERROR_SUCCESS, 0);
    return ERROR_SUCCESS;
  }
  const DeadlineClock::time_point now = DeadlineClock::now();
  PendingRead read{overlapped, static_cast<unsigned char*>(buffer), count, 0, std::move(event)};
  TimeRead(&read, now);
  try {
    reads_.push_back(std::move(read));
  } catch (const std::bad_alloc&) {
    // The queue is as it was, and the read still holds its event.
    Finish(overlapped, read.event, ERROR_NOT_ENOUGH_MEMORY, 0);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const bool wasFull = input_.room() == 0;
  ServeReads();
  if (gone_) {
    // What was queued before the line went is still delivered; beyond that
    // the read fails.
    AbortReads(ERROR_DEVICE_NOT_CONNECTED);
  } else if (!reads_.empty() || wasFull) {
    // The queue could not finish it: take in what the line holds now. A
    // queue that was full left bytes with the line, which may hold them
    // where epoll cannot see (a network port reads ahead of a full queue
    // while it waits for its server's answer): they are taken now too.
    PumpInput();
    ExpireRequests(now);
    UpdateInterest();
  } else {
    // Served from the queue alone, without asking the line; a queue that
    // was full has room again.
    UpdateInterest();
  }
  return Outcome(overlapped);
}

DWORD CommDevice::Write(const void* buffer, DWORD count, OVERLAPPED* overlapped,
                        std::shared_ptr<EventObject> event) {
  DeferredWakeups deferred;
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
  const auto* data = static_cast<const unsigned char*>(buffer);
  DWORD done = 0;
  if (writes_.empty()) {
    // With nothing ahead of it the write goes straight to the line from the
    // caller's thread: one system call, and a block the line takes whole
    // never enters the output queue. The I/O thread takes over only what
    // does not fit.
    const Transfer sent = transport_->Send(data, count);
    done = static_cast<DWORD>(sent.bytes);
    if (done == count || sent.end == TransferEnd::kGone) {
      const DWORD error = done == count ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED;
      Finish(overlapped, event, error, done);
      if (sent.end == TransferEnd::kGone) MarkGone();
      return error;
    }
  }
  // The caller's buffer is held, not copied: like a Win32 overlapped write,
  // it must stay valid until the write has finished. Its time-out runs from
  // now.
  PendingWrite write{overlapped, data, count, done, std::move(event), ++writesIssued_};
  write.deadline = TotalDeadline(DeadlineClock::now(), timeouts_.WriteTotalTimeoutMultiplier, count,
                                 timeouts_.WriteTotalTimeoutConstant);
  try {
    writes_.push_back(std::move(write));
  } catch (const std::bad_alloc&) {
    Finish(overlapped, write.event, ERROR_NOT_ENOUGH_MEMORY, done);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  UpdateInterest();
  return ERROR_IO_PENDING;
}

DWORD CommDevice::WaitEvent(DWORD* mask, OVERLAPPED* overlapped,
                            std::shared_ptr<EventObject> event) {
  DeferredWakeups deferred;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if (wait_.has_value() || eventMask_ == 0) return ERROR_INVALID_PARAMETER;
  Begin(overlapped, event.get());
  // Events that came while no wait was pending finish it at once, as a
  // Windows driver does, even when the line has gone since: bytes that came
  // just before a hang-up are announced before the hang-up is. Otherwise only
  // events from now on count. Bytes that arrived while the mask did not ask
  // for EV_RXCHAR never do.
  if (history_ != 0) {
    *mask = history_;
    history_ = 0;
    Finish(overlapped, event, ERROR_SUCCESS, sizeof(DWORD));
    return ERROR_SUCCESS;
  }
  if (gone_) {
    Finish(overlapped, event, ERROR_DEVICE_NOT_CONNECTED, 0);
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  // Modem lines that changed since the last look finish it at once too.
  if ((eventMask_ & kModemEvents) != 0) {
    const DWORD changed = LookAtModemLines();
    if (changed != 0) {
      *mask = changed;
      Finish(overlapped, event, ERROR_SUCCESS, sizeof(DWORD));
      return ERROR_SUCCESS;
    }
  }
  wait_ = PendingWait{overlapped, mask, std::move(event)};
  nextModemLook_ = DeadlineClock::now() + kModemLookInterval;
  UpdateInterest();
  return ERROR_IO_PENDING;
}

DWORD CommDevice::SetEventMask(DWORD mask) {
  DeferredWakeups deferred;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if ((mask & ~kKnownEvents) != 0) return ERROR_INVALID_PARAMETER;
  const bool watchedModemLines = (eventMask_ & kModemEvents) != 0;
  eventMask_ = mask;
  // Modem-line changes count from the moment the mask asks for them.
  if ((mask & kModemEvents) == 0) {
    modemLines_.reset();
  } else if (!watchedModemLines && !gone_) {
    LookAtModemLines();
  }
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
  UpdateInterest();
  return ERROR_SUCCESS;
}

DWORD CommDevice::Purge(DWORD flags) {
  DeferredWakeups deferred;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if ((flags & ~kPurgeFlags) != 0) return ERROR_INVALID_PARAMETER;
  // What the emulation holds for output is exactly the unwritten part of
  // the pending writes, so clearing it ends them. The line's own output
  // buffer is never flushed: on a pty slave that would empty the peer's
  // input and lose bytes whose writes have already finished, and a network
  // port's server is not told to drop its output for the same reason (a
  // host that purges after every write would lose what it sent).
  if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0) AbortWrites(ERROR_OPERATION_ABORTED);
  if ((flags & PURGE_RXABORT) != 0) AbortReads(ERROR_OPERATION_ABORTED);
  if ((flags & PURGE_RXCLEAR) != 0) {
    input_.Clear();
    if (!gone_) transport_->DiscardInput();
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
  std::lock_guard<std::mutex> line(lineMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return ERROR_INVALID_HANDLE;
    if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  }
  DCB reported = settings_;
  const DWORD error = transport_->ReadSettings(&reported);
  if (error != ERROR_SUCCESS) return error;
  reported.DCBlength = sizeof(DCB);
  reported.fBinary = 1;
  *dcb = reported;
  return ERROR_SUCCESS;
}

DWORD CommDevice::SetState(const DCB& dcb) {
  std::lock_guard<std::mutex> line(lineMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return ERROR_INVALID_HANDLE;
    if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  }
  const DWORD error = AfterLineCall(transport_->ApplySettings(dcb));
  if (error != ERROR_SUCCESS) return error;
  settings_ = dcb;
  settings_.DCBlength = sizeof(DCB);
  settings_.fBinary = 1;
  return ERROR_SUCCESS;
}

DWORD CommDevice::GetStatus(DWORD* errors, COMSTAT* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  // Errors are not tracked: the emulated queue never overruns, because it
  // stops taking input before it is full.
  if (errors != nullptr) *errors = 0;
  if (status == nullptr) return ERROR_SUCCESS;
  // The I/O thread takes input into the queue as it arrives, so the queue is
  // what the driver knows without asking the line: no system call, and never
  // a read that could only answer that nothing is there. Only a full queue
  // leaves bytes with the line on purpose (input is paused), and only then is
  // the line asked for them. Once the line has gone, nothing beyond the
  // queue will ever be delivered, so nothing beyond it is counted.
  std::uint64_t inQueue = input_.size();
  if (!gone_ && input_.room() == 0) inQueue += transport_->InputWaiting();
  *status = COMSTAT{};
  status->cbInQue =
      static_cast<DWORD>(std::min<std::uint64_t>(inQueue, std::numeric_limits<DWORD>::max()));
  status->cbOutQue = BytesHeldForOutput();
  return ERROR_SUCCESS;
}

DWORD CommDevice::Cancel(const OVERLAPPED* overlapped) {
  DeferredWakeups deferred;
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

DWORD CommDevice::GetModemStatus(DWORD* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  ModemLines lines;
  const DWORD error = transport_->ReadModemLines(&lines);
  if (error == ERROR_SUCCESS) *status = lines.status;
  return error;
}

DWORD CommDevice::Escape(DWORD function) {
  std::lock_guard<std::mutex> line(lineMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return ERROR_INVALID_HANDLE;
    if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  }
  switch (function) {
    case SETDTR:
    case CLRDTR:
    case SETRTS:
    case CLRRTS: {
      // The line itself says whether a handshake drives the line: a handshake
      // owns it, and a request to drive it is refused rather than fought over.
      DCB current = settings_;
      const DWORD error = transport_->ReadSettings(&current);
      if (error != ERROR_SUCCESS) return error;
      const bool dtr = function == SETDTR || function == CLRDTR;
      if (dtr ? current.fDtrControl == DTR_CONTROL_HANDSHAKE
              : current.fRtsControl == RTS_CONTROL_HANDSHAKE ||
                    current.fRtsControl == RTS_CONTROL_TOGGLE) {
        return ERROR_INVALID_PARAMETER;
      }
      return AfterLineCall(transport_->DriveModemLine(dtr ? ModemOutput::kDtr : ModemOutput::kRts,
                                                      function == SETDTR || function == SETRTS));
    }
    case SETBREAK:
    case CLRBREAK:
      return AfterLineCall(transport_->DriveBreak(function == SETBREAK));
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

DWORD CommDevice::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  // Windows refuses the one combination with no meaning.
  if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts.ReadTotalTimeoutConstant == MAXDWORD) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  // Requests already pending keep the time-outs they were issued with.
  timeouts_ = timeouts;
  return ERROR_SUCCESS;
}

DWORD CommDevice::GetTimeouts(COMMTIMEOUTS* timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  *timeouts = timeouts_;
  return ERROR_SUCCESS;
}

DWORD CommDevice::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  // Writes issued after this call do not hold it up.
  const std::uint64_t last = writesIssued_;
  outputChanged_.wait(
      lock, [&] { return closed_ || gone_ || writes_.empty() || writes_.front().number > last; });
  if (closed_) return ERROR_OPERATION_ABORTED;
  if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  // The wait for the line has no bound (flow control may hold the line up
  // for ever), so it holds no lock; the transport stays until it returns.
  Transport* line = transport_.get();
  ++drainsInProgress_;
  lock.unlock();
  const DWORD error = line->Drain();
  lock.lock();
  if (--drainsInProgress_ == 0) drainsEnded_.notify_all();
  return closed_ ? ERROR_OPERATION_ABORTED : error;
}

DWORD CommDevice::RestoreLineAtOpen() {
  std::lock_guard<std::mutex> line(lineMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return ERROR_INVALID_HANDLE;
    if (gone_) return ERROR_DEVICE_NOT_CONNECTED;
  }
  return AfterLineCall(transport_->RestoreSettingsAtOpen());
}

DWORD CommDevice::AfterLineCall(DWORD result) {
  // A transport that spoke to its far end may hold output of its own now,
  // for the I/O thread to send.
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closed_ && !gone_) UpdateInterest();
  return result;
}

void CommDevice::ServeReads() {
  while (!reads_.empty() && input_.size() > 0) {
    PendingRead& read = reads_.front();
    read.done += static_cast<DWORD>(input_.Take(read.buffer + read.done, read.count - read.done));
    if (read.done == read.count || read.endsWithAnyBytes) {
      Finish(read.overlapped, read.event, ERROR_SUCCESS, read.done);
      reads_.pop_front();
    } else if (read.interval != 0) {
      // The queue is empty now; the gap before the next byte starts.
      read.intervalEnd = DeadlineClock::now() + std::chrono::milliseconds(read.interval);
    }
  }
}

void CommDevice::PumpInput() {
  DWORD events = 0;
  bool gone = false;
  for (;;) {
    ServeReads();
    std::size_t room = 0;
    unsigned char* space = input_.FreeSpan(&room);
    if (room == 0) break;
    const Transfer got = transport_->Receive(space, room);
    input_.Commit(got.bytes);
    if (got.bytes > 0) events |= EV_RXCHAR;
    events |= got.events;
    if (got.end == TransferEnd::kGone) {
      gone = true;
      break;
    }
    if (got.end == TransferEnd::kWouldBlock) break;
  }
  ServeReads();
  // Events come before the hang-up, so a waiter hears of the last bytes.
  if (events != 0) RaiseEvents(events);
  if (gone) {
    MarkGone();
  } else {
    UpdateInterest();
  }
}

void CommDevice::FlushOutput() {
  // What the transport holds of its own goes before any more data.
  if (transport_->Flush() == TransferEnd::kGone) {
    MarkGone();
    return;
  }
  bool emptied = false;
  while (!writes_.empty()) {
    PendingWrite& write = writes_.front();
    const Transfer sent = transport_->Send(write.buffer + write.done, write.count - write.done);
    write.done += static_cast<DWORD>(sent.bytes);
    if (write.done == write.count) {
      Finish(write.overlapped, write.event, ERROR_SUCCESS, write.count);
      writes_.pop_front();
      emptied = writes_.empty();
    }
    if (sent.end == TransferEnd::kGone) {
      MarkGone();
      return;
    }
    if (sent.end == TransferEnd::kWouldBlock) break;
  }
  // Only writes that had to wait are in the queue, so this is the queue
  // having held bytes and become empty.
  if (emptied) RaiseEvents(EV_TXEMPTY);
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
  outputChanged_.notify_all();
  if (closed_ || gone_) {
    interest_.Drop();
    timer_->Arm(kNoDeadline);
    return;
  }
  std::uint32_t wanted = 0;
  if (input_.room() > 0) wanted |= EPOLLIN;
  if (transport_->WantsWritable(!writes_.empty())) wanted |= EPOLLOUT;
  interest_.Want(wanted);

  DeadlineClock::time_point earliest = kNoDeadline;
  for (const PendingRead& read : reads_) {
    earliest = std::min({earliest, read.deadline, read.intervalEnd});
  }
  for (const PendingWrite& write : writes_) earliest = std::min(earliest, write.deadline);
  if (WatchingModemLines()) earliest = std::min(earliest, nextModemLook_);
  timer_->Arm(earliest);
}

void CommDevice::TimeRead(PendingRead* read, DeadlineClock::time_point now) const {
  const COMMTIMEOUTS& t = timeouts_;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    // Return at once with whatever is there, possibly nothing.
    read->deadline = now;
    return;
  }
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
      t.ReadTotalTimeoutConstant != 0) {
    // Return as soon as any bytes are there, or with none after the
    // constant.
    read->endsWithAnyBytes = true;
    read->deadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    return;
  }
  read->deadline =
      TotalDeadline(now, t.ReadTotalTimeoutMultiplier, read->count, t.ReadTotalTimeoutConstant);
  if (t.ReadIntervalTimeout != MAXDWORD) read->interval = t.ReadIntervalTimeout;
}

void CommDevice::ExpireRequests(DeadlineClock::time_point now) {
  // A request that times out succeeds with what it moved, as on Windows; a
  // write's other bytes are never sent.
  for (auto read = reads_.begin(); read != reads_.end();) {
    if (read->deadline <= now || read->intervalEnd <= now) {
      Finish(read->overlapped, read->event, ERROR_SUCCESS, read->done);
      read = reads_.erase(read);
    } else {
      ++read;
    }
  }
  for (auto write = writes_.begin(); write != writes_.end();) {
    if (write->deadline <= now) {
      Finish(write->overlapped, write->event, ERROR_SUCCESS, write->done);
      write = writes_.erase(write);
    } else {
      ++write;
    }
  }
}

bool CommDevice::WatchingModemLines() const {
  return wait_.has_value() && (eventMask_ & kModemEvents) != 0 && !noModemLines_;
}

DWORD CommDevice::LookAtModemLines() {
  if (noModemLines_) return 0;
  ModemLines now;
  const DWORD error = transport_->ReadModemLines(&now);
  if (error == ERROR_NOT_SUPPORTED) {
    // Nothing to watch: such a line never reports a modem event.
    noModemLines_ = true;
    modemLines_.reset();
    return 0;
  }
  // A line that cannot be read now is looked at again later; a hang-up is
  // noticed by the data path.
  if (error != ERROR_SUCCESS) return 0;
  const DWORD changed = modemLines_.has_value() ? ModemEvents(*modemLines_, now) & eventMask_ : 0;
  modemLines_ = now;
  return changed;
}

DWORD CommDevice::BytesHeldForOutput() const {
  std::uint64_t held = 0;
  for (const PendingWrite& write : writes_) held += write.count - write.done;
  return static_cast<DWORD>(std::min<std::uint64_t>(held, std::numeric_limits<DWORD>::max()));
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
