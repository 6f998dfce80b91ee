// What a port offers beyond the legacy SerialCtl calls: the modem lines,
// flow control, break, drain, time-outs and putting the line back on close.
//
// Each call takes the SerialCtl it acts on and leaves the object's legacy
// behaviour as it was unless the host asks for something here. Each returns
// true on success; on failure it returns false and leaves the reason for
// kavrel::GetLastErrorReason() (kavrel/errors.h): a Win32 error code and a
// short English text. The codes a host may want to tell apart are below.
//
// Choices (flow control, the DTR and RTS levels, time-outs, restoring on
// close) belong to the object: made while the port is closed they wait for
// the next OpenSerial, made while it is open they take effect at once and
// are applied again by every later open. Copies of the object copy them.
//
// Threads: these are calls of the host's thread, like OpenSerial. Drain,
// SendBreak and SetBreak may also run on another thread beside WriteSerial
// and the reads. None may run at the same time as OpenSerial, CloseSerial,
// ListenSerial or StopListenSerial on the same object.
#ifndef KAVREL_PORT_CONTROL_H
#define KAVREL_PORT_CONTROL_H

#include "kavrel/SerialCtl.h"
#include "kavrel/types.h"

namespace kavrel {

// Failure codes worth telling apart (GetLastErrorReason().code).
constexpr DWORD kErrorNotOpen = 6;              // ERROR_INVALID_HANDLE: the port is not open
constexpr DWORD kErrorRefused = 87;             // ERROR_INVALID_PARAMETER: refused as asked
constexpr DWORD kErrorNoModemLines = 50;        // ERROR_NOT_SUPPORTED: e.g. a pseudo-terminal
constexpr DWORD kErrorTimedOut = 1460;          // ERROR_TIMEOUT: the time-out passed
constexpr unsigned kWaitForever = 0xFFFFFFFFu;  // a time-out that never passes

// --- Modem lines -----------------------------------------------------------

// The input lines, as bits. On a null-modem cable CTS is the peer's RTS, and
// DSR and DCD are the peer's DTR.
enum ModemLine : unsigned {
  kModemCts = 1u << 0,   // clear to send
  kModemDsr = 1u << 1,   // data set ready
  kModemRing = 1u << 2,  // ring indicator
  kModemDcd = 1u << 3,   // data carrier detect (RLSD)
};
constexpr unsigned kAllModemLines = kModemCts | kModemDsr | kModemRing | kModemDcd;

// Raises or lowers DTR or RTS: at once on an open port, and at every later
// open. Refused (kErrorRefused) while DTR/DSR flow control owns DTR, or
// RTS/CTS flow control owns RTS. kErrorNoModemLines on a port without modem
// lines, where the level is still kept for later opens.
KAVREL_API bool SetDtr(SerialCtl& port, bool raised);
KAVREL_API bool SetRts(SerialCtl& port, bool raised);

// The input lines that are on now (ModemLine bits) in *lines.
KAVREL_API bool GetModemLines(SerialCtl& port, unsigned* lines);

// Waits until one of the input lines in lines (ModemLine bits) changes, at
// most timeoutMs (kWaitForever: no limit). True with the lines that changed
// in *changed; false with *changed 0 and kErrorTimedOut when none did in
// time. A running listener keeps running and keeps posting meanwhile.
KAVREL_API bool WaitForModemChange(SerialCtl& port, unsigned lines, unsigned timeoutMs,
                                   unsigned* changed);

// --- Flow control ----------------------------------------------------------

enum class FlowControl {
  kNone,     // no handshake: DTR and RTS stay where the host puts them
  kRtsCts,   // hardware: RTS says "send", CTS must be on to send
  kXonXoff,  // software: the xon and xoff characters start and stop the flow
  kDtrDsr,   // hardware on DTR and DSR; Windows only (termios has no form for it)
};

struct FlowSettings {
  FlowControl kind = FlowControl::kNone;
  char xon = 0x11;   // DC1
  char xoff = 0x13;  // DC3; must differ from xon
};

// Chooses the flow control: at once on an open port, and at every later
// open. Without this call an open keeps whatever the device had. Refused
// (kErrorRefused) when the device cannot do it, with the port as it was.
KAVREL_API bool SetFlowControl(SerialCtl& port, const FlowSettings& flow);

// --- Break -----------------------------------------------------------------

// Holds the line in break for durationMs, then releases it; returns after.
KAVREL_API bool SendBreak(SerialCtl& port, unsigned durationMs);
// Starts (on) or ends a break.
KAVREL_API bool SetBreak(SerialCtl& port, bool on);

// --- Drain -----------------------------------------------------------------

// Returns once every byte written so far has left the library's queue and
// the system's driver, waiting at most timeoutMs (kWaitForever: no limit).
// On kErrorTimedOut the bytes stay queued and keep going out; a later Drain
// waits for them again, and CloseSerial ends the wait.
KAVREL_API bool Drain(SerialCtl& port, unsigned timeoutMs);

// --- Time-outs -------------------------------------------------------------

// All zero is the legacy behaviour: WriteSerial waits until the device has
// taken every byte, however long that is, and a read with nothing queued
// returns at once.
struct PortTimeouts {
  // ReadSerial and ReadSerial2 with nothing queued wait up to this long for
  // the first bytes to arrive and deliver what has come (count 0 when
  // nothing did). Below kWaitForever.
  unsigned readWaitMs = 0;
  // WriteSerial gives up after writeConstantMs plus writePerByteMs for each
  // byte of the block: it returns 0, the unsent part is discarded (nothing
  // of it arrives later) and GetLastErrorReason() says kErrorTimedOut.
  unsigned writeConstantMs = 0;
  unsigned writePerByteMs = 0;
};

// Chooses the time-outs: at once on an open port, and at every later open.
KAVREL_API bool SetTimeouts(SerialCtl& port, const PortTimeouts& timeouts);

// --- Restoring the line ----------------------------------------------------

// With restore on, closing the port (CloseSerial, a reopen, the destructor)
// first puts back the settings the device had before OpenSerial opened it:
// on Linux everything the kernel held for the line, raw or cooked mode
// included; on Windows the DCB read at open. Off by default: the line keeps
// the port's settings after close, as it always has.
KAVREL_API bool SetRestoreOnClose(SerialCtl& port, bool restore);

}  // namespace kavrel

#endif  // KAVREL_PORT_CONTROL_H
