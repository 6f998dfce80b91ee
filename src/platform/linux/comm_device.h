// One open serial device: the state a Windows serial driver keeps per port.
//
// The device is the driver core. It holds an input queue that the I/O thread
// (and any caller) fills from the line, the pending reads, writes and event
// wait with their OVERLAPPED records, the event mask and the events recorded
// while no wait was pending, and the DCB members no line carries. What moves
// the bytes and holds the line settings is its transport (a local tty, or a
// network port), which the core reaches only through the Transport seam.
//
// Locks. The device's mutex guards the queues, the pending operations and
// the events, and is held for every data call to the transport; an
// operation finishes by storing its status in its record and announcing it,
// with the device's mutex still held. The calls that never wait defer the
// wake-ups their completions cause until the mutex is released
// (DeferredWakeups), so the woken thread does not find it taken. The line mutex serialises the line
// calls (GetCommState, SetCommState), which are made without the device's
// mutex so that a transport may wait for its far end while data flows. Line
// mutex before device mutex, never the reverse.
//
// Any thread may call any operation at any time: reads are served in the
// order they were issued, writes go out in the order they were issued, and at
// most one event wait is pending.
//
// Events:
// - EV_RXCHAR when bytes enter the input queue.
// - EV_TXEMPTY when the output queue, having held bytes, becomes empty. A
//   write the line takes whole when it is issued never enters the output
//   queue, so it raises no EV_TXEMPTY: a host writing small blocks does not
//   wake its event waiter with every block. A write that had to wait, in whole
//   or in part, raises it once the last queued write has been taken.
// - Events recorded before the line hung up are reported by the next wait
//   before the wait reports the device gone, so bytes that arrived just
//   before a hang-up are always announced.
// - EV_CTS, EV_DSR, EV_RLSD and EV_RING when those modem lines change. The
//   lines are looked at when the mask comes to ask for them, when a wait
//   starts, and every kModemLookInterval while a wait that asks for them is
//   pending, on the I/O thread's timer: a tty can announce a change only to
//   a thread blocked in TIOCMIWAIT, which nothing but a signal could ever
//   end, and a library cannot take a signal from its host. Where the line
//   counts its changes (TIOCGICOUNT), a change that came and went between two
//   looks is still reported. A change while no wait is pending is reported
//   by the next wait, as a Windows driver keeps it for the next wait.
//
// Time-outs (SetCommTimeouts) bound reads and writes as a Windows driver
// does; a deadline is kept with its request, and the I/O thread's timer ends
// the request when it passes. A write that times out succeeds with the bytes
// the line took; its other bytes are never sent.
//
// Flush (FlushFileBuffers) first waits, on the caller's thread, for every
// write issued before it to leave the output queue, then waits for the line
// to send what it took (Transport::Drain) with no mutex held; closing the
// handle ends it.
#ifndef KAVREL_PLATFORM_LINUX_COMM_DEVICE_H
#define KAVREL_PLATFORM_LINUX_COMM_DEVICE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/linux/byte_ring.h"
#include "platform/linux/deadline_timer.h"
#include "platform/linux/events.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/io_thread.h"
#include "platform/linux/transport.h"

namespace kavrel {
namespace platform {
namespace driver {

class CommDevice final : public KernelObject, public IoClient, public DeadlineOwner {
 public:
  // The input queue's size until SetupComm asks for another.
  static constexpr std::size_t kDefaultInputQueue = 4096;
  // How often the modem lines are looked at while a wait for them is
  // pending.
  static constexpr std::chrono::milliseconds kModemLookInterval{5};

  // A device over transport, served by the I/O thread. ERROR_SUCCESS with
  // *device set, or the error with the transport released.
  static DWORD Start(std::unique_ptr<Transport> transport, DWORD access,
                     std::shared_ptr<CommDevice>* device);

  CommDevice(std::unique_ptr<Transport> transport, DWORD access);

  bool readable() const { return (access_ & GENERIC_READ) != 0; }
  bool writable() const { return (access_ & GENERIC_WRITE) != 0; }

  // IoClient.
  int descriptor() const override { return descriptor_; }
  void OnReady(std::uint32_t events) override;
  // Ends every pending operation (ERROR_OPERATION_ABORTED), leaves the I/O
  // thread and releases the transport.
  void OnHandleClosed() override;
  // DeadlineOwner: ends the requests whose time is up and looks at the
  // modem lines when that is due.
  void OnDeadline() override;

  // Each returns ERROR_SUCCESS when the operation finished at once,
  // ERROR_IO_PENDING when it goes on, or the error it failed with. An
  // operation that got under way (anything but a bad argument) always
  // leaves its status in the record and signals the record's event.
  DWORD Read(void* buffer, DWORD count, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event);
  DWORD Write(const void* buffer, DWORD count, OVERLAPPED* overlapped,
              std::shared_ptr<EventObject> event);
  DWORD WaitEvent(DWORD* mask, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event);
  DWORD SetEventMask(DWORD mask);
  DWORD Purge(DWORD flags);
  DWORD SetQueueSizes(DWORD inQueue, DWORD outQueue);
  DWORD GetState(DCB* dcb);
  DWORD SetState(const DCB& dcb);
  // cbInQue is the input queue, and what the line holds beyond it while the
  // queue is full; cbOutQue the bytes of pending writes not yet taken.
  DWORD GetStatus(DWORD* errors, COMSTAT* status);
  // Ends the pending operations of overlapped (all of them for nullptr) with
  // ERROR_OPERATION_ABORTED; ERROR_NOT_FOUND when there was none.
  DWORD Cancel(const OVERLAPPED* overlapped);
  // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON as the line shows them now.
  DWORD GetModemStatus(DWORD* status);
  // SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK. A line a handshake
  // drives is refused (ERROR_INVALID_PARAMETER), as a Windows driver does.
  DWORD Escape(DWORD function);
  DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);
  DWORD GetTimeouts(COMMTIMEOUTS* timeouts);
  // Blocks until every write issued before it has been taken by the line and
  // the line has sent it (see above).
  DWORD Flush();
  // Puts the line back as it was before the open.
  DWORD RestoreLineAtOpen();

 private:
  struct PendingRead {
    OVERLAPPED* overlapped;
    unsigned char* buffer;
    DWORD count;
    DWORD done;
    std::shared_ptr<EventObject> event;
    // From the time-outs: when the read ends with what it has, however
    // little; the longest quiet gap allowed once bytes have come (0: no
    // limit) and when the current gap runs out; whether any bytes end it.
    DeadlineClock::time_point deadline = kNoDeadline;
    DWORD interval = 0;
    DeadlineClock::time_point intervalEnd = kNoDeadline;
    bool endsWithAnyBytes = false;
  };
  struct PendingWrite {
    OVERLAPPED* overlapped;
    const unsigned char* buffer;
    DWORD count;
    DWORD done;
    std::shared_ptr<EventObject> event;
    std::uint64_t number;  // in the order writes were issued
    DeadlineClock::time_point deadline = kNoDeadline;
  };
  struct PendingWait {
    OVERLAPPED* overlapped;
    DWORD* mask;
    std::shared_ptr<EventObject> event;
  };

  // After a line call (line mutex held, device mutex not): lets the I/O
  // thread send what the transport now holds of its own. Returns result.
  DWORD AfterLineCall(DWORD result);

  // Everything below runs with mutex_ held.
  // Moves queued bytes into pending reads, oldest read first.
  void ServeReads();
  // Takes what the line has into the input queue while there is room,
  // serving pending reads as it goes; notices a hang-up.
  void PumpInput();
  // Sends pending writes while the line takes bytes.
  void FlushOutput();
  // Finishes a pending event wait if bits meet the event mask, or keeps
  // them for the next wait.
  void RaiseEvents(DWORD bits);
  // The line hung up or was unplugged: pending work fails, the descriptor
  // leaves epoll, queued input stays readable.
  void MarkGone();
  void AbortReads(DWORD error);
  void AbortWrites(DWORD error);
  void AbortWait(DWORD error);
  // Tells the I/O thread what the device wants now: input while the queue
  // has room, output while writes are pending or the transport holds output
  // of its own, nothing once it is closed or gone; and arms the timer for
  // the earliest deadline. Wakes a flush waiting for the output queue.
  void UpdateInterest();
  DWORD BytesHeldForOutput() const;
  // Fills a new read's deadlines from the time-outs.
  void TimeRead(PendingRead* read, DeadlineClock::time_point now) const;
  // Ends the reads and writes whose time is up, with what they have moved.
  void ExpireRequests(DeadlineClock::time_point now);
  // Whether the pending wait asks for modem events the line can report.
  bool WatchingModemLines() const;
  // Looks at the modem lines: the events of the mask that changed since the
  // last look (none on the first).
  DWORD LookAtModemLines();

  const DWORD access_;
  const int descriptor_;

  // Serialises the line calls. Taken before mutex_.
  std::mutex lineMutex_;
  // The DCB as last set; GetCommState takes from it what no line carries.
  // Guarded by lineMutex_.
  DCB settings_{};

  mutable std::mutex mutex_;
  // Released when the handle closes, with both mutexes held; so either one
  // guards it, and closed_ tells whether it is still there.
  std::unique_ptr<Transport> transport_;
  bool closed_ = false;  // written with both mutexes held
  bool gone_ = false;
  IoInterest interest_;

  ByteRing input_{kDefaultInputQueue};
  std::deque<PendingRead> reads_;
  std::deque<PendingWrite> writes_;
  std::optional<PendingWait> wait_;
  DWORD eventMask_ = 0;
  // Events of the mask that came while no wait was pending; the next wait
  // takes them. A new mask keeps those it still asks for.
  DWORD history_ = 0;
  COMMTIMEOUTS timeouts_{};

  std::shared_ptr<DeadlineTimer> timer_;  // set once by Start
  IoInterest timerInterest_;
  // The modem lines at the last look, while the mask asks for them; and
  // when to look next while a wait for them is pending.
  std::optional<ModemLines> modemLines_;
  bool noModemLines_ = false;  // the line has none (a pty)
  DeadlineClock::time_point nextModemLook_ = kNoDeadline;

  // Flush: writes are numbered as they are issued; outputChanged_ is
  // notified whenever pending writes finish or the device closes.
  std::uint64_t writesIssued_ = 0;
  std::condition_variable outputChanged_;
  // Flushes in Transport::Drain right now; the transport is released only
  // once there are none (drainsEnded_ is notified then).
  int drainsInProgress_ = 0;
  std::condition_variable drainsEnded_;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_COMM_DEVICE_H
