// What the emulated driver needs of the line under a device: the seam
// between the driver core (queues, pending transfers, events), which is the
// same for every port, and the thing that carries the bytes, which is not: a
// local tty today, a network port speaking a serial-over-TCP protocol later.
// The core never learns which one it has.
//
// A transport owns its descriptor, which the I/O thread watches for the
// core, and releases the line when it is destroyed. Its calls come in two
// groups, each serialised by the device, and the two groups may run at the
// same time on different threads:
// - Data calls (Receive, Send, InputWaiting, DiscardInput, WantsWritable,
//   Flush) are made under the device's mutex, from the I/O
//   thread or from a caller's thread. They never wait: a transport that needs
//   an answer from the far end does not wait for it here.
// - Line calls (ReadSettings, ApplySettings) are made under the device's line
//   mutex and without its main mutex, so they may wait, bounded, for the far
//   end to answer while data keeps flowing. Controls of the same kind (modem
//   lines, break, drain) belong to this group; a wait with no bound (for a
//   modem line to change) must not hold the line mutex.
// A transport that learns of a hang-up in a line call reports
// ERROR_DEVICE_NOT_CONNECTED; the core hears of it through the data calls.
#ifndef KAVREL_PLATFORM_LINUX_TRANSPORT_H
#define KAVREL_PLATFORM_LINUX_TRANSPORT_H

#include <cstddef>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// How a data transfer left the line.
enum class TransferEnd {
  kMayContinue,  // it moved all it was offered, or may have more at once: call again
  kWouldBlock,   // nothing more for now; the descriptor polls ready when that changes
  kGone,         // the line hung up or the connection was lost, for good
};

struct Transfer {
  std::size_t bytes = 0;  // data bytes moved (decoded bytes, for a protocol that encodes them)
  TransferEnd end = TransferEnd::kWouldBlock;
  // Events (EV_*) the line reported along with its data, such as modem or
  // line state changes a network port's server announces. A tty reports
  // none here.
  DWORD events = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // The descriptor the I/O thread watches: readable when Receive has work,
  // writable when Send may make progress. The same for the transport's life.
  virtual int descriptor() const = 0;

  // Data calls.
  // Moves up to room data bytes that have arrived into buffer.
  virtual Transfer Receive(unsigned char* buffer, std::size_t room) = 0;
  // Hands up to size bytes of data to the line; bytes counted as moved are
  // the line's and are never taken back.
  virtual Transfer Send(const unsigned char* data, std::size_t size) = 0;
  // Data bytes that have arrived and that Receive would deliver at once; the
  // core asks only while its input queue is full. A read of what is reported
  // must never wait for bytes that are not coming, so a transport that cannot
  // tell the exact count answers 0.
  virtual std::size_t InputWaiting() = 0;
  // Drops whatever has arrived and Receive has not delivered yet.
  virtual void DiscardInput() = 0;
  // Whether the descriptor should be watched for writability: when the core
  // has data to send (dataWaiting) and the transport would take it, or when
  // the transport holds bytes of its own for the line (the rest of an
  // encoded block, its protocol's messages). Flush hands the latter on.
  virtual bool WantsWritable(bool dataWaiting) { return dataWaiting; }
  // Hands on what the transport holds of its own: kMayContinue when it holds
  // nothing more, kWouldBlock when the line takes no more for now, kGone.
  virtual TransferEnd Flush() { return TransferEnd::kMayContinue; }

  // Line calls.
  // Fills the DCB members the line carries (rate, framing, flow control,
  // XON/XOFF characters), leaving every other member as it is.
  // ERROR_SUCCESS or why the line could not be read.
  virtual DWORD ReadSettings(DCB* dcb) = 0;
  // Puts dcb on the line, DTR and RTS included, as one change: ERROR_SUCCESS
  // when the line now runs as asked, ERROR_INVALID_PARAMETER when it cannot
  // (the line is then as it was), or why the line could not be reached.
  virtual DWORD ApplySettings(const DCB& dcb) = 0;

 protected:
  Transport() = default;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TRANSPORT_H
