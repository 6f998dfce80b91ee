// One open serial device: the state a Windows serial driver keeps per port.
//
// A device owns its descriptor, an input queue that the I/O thread (and any
// caller) fills from the kernel, the pending reads, writes and event wait
// with their OVERLAPPED records, the event mask, and the line settings that
// termios cannot hold. Everything is guarded by the device's mutex; an
// operation finishes by storing its status in its record and announcing it
// on the signal board, with the device's mutex still held (device mutex
// before the board's, never the reverse).
//
// Any thread may call any operation at any time: reads are served in the
// order they were issued, writes go out in the order they were issued, and at
// most one event wait is pending.
#ifndef KAVREL_PLATFORM_LINUX_COMM_DEVICE_H
#define KAVREL_PLATFORM_LINUX_COMM_DEVICE_H

#include <termios.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/linux/byte_ring.h"
#include "platform/linux/device_names.h"
#include "platform/linux/events.h"
#include "platform/linux/handle_table.h"

namespace kavrel {
namespace platform {
namespace driver {

class CommDevice final : public KernelObject {
 public:
  // The input queue's size until SetupComm asks for another.
  static constexpr std::size_t kDefaultInputQueue = 4096;

  // Takes over fd, which the caller opened exclusively and made raw.
  CommDevice(int fd, TtyKind kind, DWORD access);
  ~CommDevice() override;

  std::uint64_t id() const { return id_; }
  bool readable() const { return (access_ & GENERIC_READ) != 0; }
  bool writable() const { return (access_ & GENERIC_WRITE) != 0; }

  // Joins the I/O thread's epoll set. False (errno set) if that fails.
  bool Watch(int epollFd);
  // Called by the I/O thread with what epoll reported for the descriptor.
  void OnReady(std::uint32_t events);
  // Ends every pending operation (ERROR_OPERATION_ABORTED), leaves the I/O
  // thread and releases the descriptor.
  void OnHandleClosed() override;

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
  DWORD GetStatus(DWORD* errors, COMSTAT* status);
  // Ends the pending operations of overlapped (all of them for nullptr) with
  // ERROR_OPERATION_ABORTED; ERROR_NOT_FOUND when there was none.
  DWORD Cancel(const OVERLAPPED* overlapped);

 private:
  struct PendingRead {
    OVERLAPPED* overlapped;
    unsigned char* buffer;
    DWORD count;
    DWORD done;
    std::shared_ptr<EventObject> event;
  };
  struct PendingWrite {
    OVERLAPPED* overlapped;
    const unsigned char* buffer;
    DWORD count;
    DWORD done;
    std::shared_ptr<EventObject> event;
  };
  struct PendingWait {
    OVERLAPPED* overlapped;
    DWORD* mask;
    std::shared_ptr<EventObject> event;
  };

  // Everything below runs with mutex_ held.
  // Moves queued bytes into pending reads, oldest read first.
  void ServeReads();
  // Reads what the kernel holds into the input queue while there is room,
  // serving pending reads as it goes; notices a hang-up.
  void PumpInput();
  // Writes pending writes out while the device takes bytes.
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
  // Tells epoll what the device wants now: input while the queue has room,
  // output while writes are pending, nothing once it is closed or gone.
  void UpdateInterest();
  // Sets DTR and RTS as the DCB asks, where the device has modem lines.
  void DriveModemLines(const DCB& dcb);
  DWORD BytesHeldForOutput() const;

  const std::uint64_t id_;
  const TtyKind kind_;
  const DWORD access_;

  mutable std::mutex mutex_;
  int fd_;
  bool closed_ = false;
  bool gone_ = false;
  int epollFd_ = -1;
  bool watching_ = false;
  std::uint32_t interest_ = 0;

  ByteRing input_{kDefaultInputQueue};
  std::deque<PendingRead> reads_;
  std::deque<PendingWrite> writes_;
  std::optional<PendingWait> wait_;
  DWORD eventMask_ = 0;
  // Events of the mask that came while no wait was pending; the next wait
  // takes them. A new mask keeps those it still asks for.
  DWORD history_ = 0;

  // The DCB as last set; GetCommState takes from it what termios cannot hold.
  DCB settings_{};
  // For a pty, the data bits and parity the pty driver would not keep.
  tcflag_t ptyFraming_ = 0;
  // The rate last asked for and the rate the device reported for it; while
  // the device still reports the latter, GetCommState answers the former.
  DWORD requestedRate_ = 0;
  DWORD deviceRate_ = 0;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_COMM_DEVICE_H
