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
// with the device's mutex still held. The line mutex serialises the line
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
#ifndef KAVREL_PLATFORM_LINUX_COMM_DEVICE_H
#define KAVREL_PLATFORM_LINUX_COMM_DEVICE_H

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/linux/byte_ring.h"
#include "platform/linux/events.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/io_thread.h"
#include "platform/linux/transport.h"

namespace kavrel {
namespace platform {
namespace driver {

class CommDevice final : public KernelObject, public IoClient {
 public:
  // The input queue's size until SetupComm asks for another.
  static constexpr std::size_t kDefaultInputQueue = 4096;

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
  // of its own, nothing once it is closed or gone.
  void UpdateInterest();
  DWORD BytesHeldForOutput() const;

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
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_COMM_DEVICE_H
