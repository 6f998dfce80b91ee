// What the emulated driver needs of the line under a device: the seam
// between the driver core (queues, pending transfers, events), which is the
// same for every port, and the thing that carries the bytes, which is not: a
// local tty today, a network port speaking a serial-over-TCP protocol later.
// The core never learns which one it has.
//
// A transport owns its descriptor, which the I/O thread watches for the
// core, and releases the line when it is destroyed. Its calls come in three
// groups:
// - Data calls (Receive, Send, InputWaiting, DiscardInput, ReadModemLines,
//   WantsWritable, Flush) are made under the device's mutex, from the I/O thread or from a
//   caller's thread. They never wait: a transport that needs an answer from
//   the far end does not wait for it here (a network port answers
//   ReadModemLines from what its far end last announced).
// - Line calls (ReadSettings, ApplySettings, DriveModemLine, DriveBreak,
//   RestoreSettingsAtOpen) are made under the device's line mutex and
//   without its main mutex, so they may wait, bounded, for the far end to
//   answer while data keeps flowing.
// - Drain, the one wait with no bound, is made with neither mutex held, at
//   the same time as calls of the other groups. The device keeps the
//   transport alive until it returns, and before it releases the transport
//   it ends a drain still in progress with InterruptDrain.
// The data and line groups are each serialised by the device, and the two
// may run at the same time on different threads.
// A transport that learns of a hang-up in a line call reports
// ERROR_DEVICE_NOT_CONNECTED; the core hears of it through the data calls.
#ifndef KAVREL_PLATFORM_LINUX_TRANSPORT_H
#define KAVREL_PLATFORM_LINUX_TRANSPORT_H

#include <cstddef>
#include <cstdint>

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
  // Events (EV_*) the line reported along with its data, such as a break a
  // network port's server announces. A tty reports none here. Modem-line
  // changes are not reported here but through ReadModemLines, which the
  // core consults while a wait for them is pending.
  DWORD events = 0;
};

// The modem lines a line's far end drives, as GetCommModemStatus reports
// them (MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON), and, where the line
// counts them, how often each has changed: with counts, a line that changed
// and changed back between two looks is still seen to have changed.
struct ModemLines {
  DWORD status = 0;
  bool counted = false;
  std::uint32_t ctsChanges = 0;
  std::uint32_t dsrChanges = 0;
  std::uint32_t ringChanges = 0;
  std::uint32_t dcdChanges = 0;
};

// The modem lines this end drives.
enum class ModemOutput { kDtr, kRts };

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
  // The modem lines as they are now. ERROR_NOT_SUPPORTED for a line without
  // modem lines (a pty), or why they could not be read.
  virtual DWORD ReadModemLines(ModemLines* lines) = 0;
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
  // Raises or lowers DTR or RTS. ERROR_NOT_SUPPORTED for a line without
  // modem lines.
  virtual DWORD DriveModemLine(ModemOutput line, bool raised) = 0;
  // Starts (on) or ends a break: the line held at space.
  virtual DWORD DriveBreak(bool on) = 0;
  // Puts back every setting the line had before this open changed any.
  // ERROR_NOT_SUPPORTED when the transport kept none.
  virtual DWORD RestoreSettingsAtOpen() = 0;

  // The unbounded wait (see above).
  // Returns once the line has sent every byte Send has taken.
  virtual DWORD Drain() = 0;
  // Makes a Drain in progress, or one just starting, return soon; the line
  // may then drop bytes it had taken but not yet sent. Called only while the
  // port closes.
  virtual void InterruptDrain() = 0;

 protected:
  Transport() = default;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TRANSPORT_H
