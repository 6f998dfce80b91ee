// SerialCtl: one object per serial port.
//
// A host stores the line settings (SetSerial), opens the port (OpenSerial),
// writes blocks (WriteSerial), reads what the port has queued (ReadSerial,
// ReadSerial2), and may run a listener (ListenSerial) that posts
// KAVREL_WM_DATA_READY to the main window set with kavrel::SetMainWindow
// whenever received bytes wait.
//
// Threads. One host thread may write while another reads, the shape of a
// full-duplex bridge:
// - Writes: WriteSerial. Two writing threads are served one block after the
//   other, never interleaved.
// - Reads: ReadSerial and ReadSerial2, and what they deliver to
//   captureStream. Two reading threads are served one read after the other.
// - Beside both, from any thread: isCanSend and ClearSerialBuf (which ends a
//   pending write or read early: the write then returns 0).
// - Control: SetSerial, OpenSerial, CloseSerial, IsSerialOpen, ListenSerial,
//   StopListenSerial, copying and the destructor, from one thread at a time
//   (which may also be the reading or the writing one). They may run while
//   another thread reads or writes: OpenSerial, CloseSerial and the
//   destructor end a read or write in progress (a write that the device
//   does not take returns 0 then), wait until it has returned, and only then
//   release the device. A host must still not start a call on an object
//   that is being destroyed.
// The listener is the only thread of the library that touches the object,
// and it shares only what is guarded below.
//
// fork() without exec: in the child an object made before the fork is
// closed. Its first call there forgets the parent's device, events and
// listener without waiting for them (they belong to the parent) and makes
// it a closed object with the same settings; it may then be opened afresh.
// That first call must not run beside another call on the same object.
#ifndef KAVREL_SERIALCTL_H
#define KAVREL_SERIALCTL_H

#include <atomic>
#include <cstdio>
#include <mutex>

#include "kavrel/host.h"
#include "kavrel/types.h"

// The data-ready notification: wParam 0, lParam the object's notifyTag.
#define KAVREL_WM_DATA_READY 0x0432

namespace kavrel {
namespace serial {
// How the calls of kavrel/port_control.h reach the object's own state.
struct ControlAccess;
}  // namespace serial
}  // namespace kavrel

class KAVREL_API SerialCtl {
 public:
  using CString = kavrel::CString;

  static constexpr unsigned kStagingSize = 409600;

  // A closed object: no device, no events, no listener, no capture stream.
  SerialCtl();
  // Releases what the object holds, as CloseSerial does.
  ~SerialCtl();

  // Copying copies the configuration only: the settings block, captureName,
  // settleDelayMs, pollIntervalMs, notifyTag, lineSettings and the choices
  // made through kavrel/port_control.h. The device,
  // its events, the listener and the capture stream stay with the object
  // that owns them. The target first releases its own (as CloseSerial does)
  // and is left closed, so no two objects ever share a handle or a stream.
  SerialCtl(const SerialCtl& other);
  SerialCtl& operator=(const SerialCtl& other);

  // Stores the settings for the next OpenSerial; touches no device.
  // stopBits: 0 or 1 one stop bit, 2 two, anything else one and a half.
  // parity: "NONE"/"none", "ODD"/"odd", "EVEN"/"even"; anything else none.
  // A port name longer than 9 characters is refused: it is traced, the
  // stored name is cleared (the next OpenSerial fails) and nothing else is
  // stored. A null captureName is traced and keeps the previous capture name;
  // a capture name longer than 254 characters is cut to 254.
  void SetSerial(CString portName, long baudRate, int dataBits, int stopBits, CString parity,
                 const char* captureName);
  bool IsSerialOpen();
  // 1 while the last status snapshot shows bytes waiting to be sent.
  int isCanSend();  // NOLINT(readability-identifier-naming): the name hosts know
  CString GetVersion();
  int GetVer();

  // Opens and configures the device named by the settings. An object that is
  // already open releases its device and events first, then opens afresh with
  // the stored settings; a running listener stays and follows the new device.
  // The outcome is read through IsSerialOpen; a device that refuses the
  // settings raises the message box "串口设置错误！".
  void OpenSerial();
  // Ends the listener, closes the events, the device and the capture stream.
  void CloseSerial();

  // Sends length bytes as one request and waits until the device has taken
  // them. 1 when every byte was taken, 0 otherwise.
  int WriteSerial(const unsigned char* data, unsigned long length);

  // Deliver the bytes queued now (at most kStagingSize) into data; count is
  // the number of bytes delivered (0 when nothing was queued or the read
  // failed). data must have room for kStagingSize bytes. When captureStream
  // is set, each delivery is copied to it followed by "\r\n\r\n".
  void ReadSerial(unsigned char* data, int& count);
  void ReadSerial2(unsigned char* data, int& count);
  // Discards what is queued in both directions.
  void ClearSerialBuf();

  // Starts the listener (ending a running one first). Negative values count
  // as 0.
  void ListenSerial(long settleDelayMs, long pollIntervalMs);
  // Ends the listener and returns once it no longer touches the object and
  // will post nothing more. Must not be called from Window::Post.
  void StopListenSerial();

  // The fields, in the order hosts of the Windows library know them. A host
  // may set notifyTag and captureStream directly (set them while no listener
  // runs); the library never opens a stream itself, and closes captureStream
  // in CloseSerial.
  kavrel::HANDLE portHandle;
  kavrel::OVERLAPPED readOverlapped;
  kavrel::COMSTAT commStatus;  // shared with the listener: guarded by stateMutex_
  kavrel::LONG settleDelayMs;
  kavrel::LONG pollIntervalMs;
  kavrel::LONG notifyTag;
  char portName[10];
  kavrel::LONG baudRate;
  int dataBits;
  int stopBitsCode;
  kavrel::BYTE parityCode;
  kavrel::DCB lineSettings;
  kavrel::OVERLAPPED writeOverlapped;
  kavrel::HANDLE listenerThread;
  // Receive staging area of ReadSerial: after each ReadSerial it holds that
  // call's delivery followed by zeros. It belongs to the library; a host
  // that writes into it gets no such promise.
  unsigned char stagingBuffer[kStagingSize];
  bool isOpen;
  char captureName[255];
  std::FILE* captureStream;

 private:
  // The listener thread's routine, and the state machine it runs.
  class ListenerLoop;
  static kavrel::DWORD KAVREL_CALLBACK SerialListenProc(void* object);

  void ReleaseEvents();
  // Empties portHandle and ends the object's read and write in progress on
  // it; the device itself stays open until ReleaseDevice, which comes once
  // they have returned.
  kavrel::HANDLE DetachDevice();
  void ReleaseDevice(kavrel::HANDLE device);
  // Takes lock (writeMutex_ or readMutex_) once the transfer in progress on
  // device with record has returned, cancelling it again while it goes on.
  std::unique_lock<std::timed_mutex> AwaitTransfer(std::timed_mutex& lock, kavrel::HANDLE device,
                                                   kavrel::OVERLAPPED* record);
  // Starts reading what is queued, at most most and at least least bytes,
  // into into, on the device it returns in *device; *asked is the count
  // asked for, and no read starts when it is 0.
  kavrel::BOOL StartRead(unsigned char* into, kavrel::DWORD most, kavrel::DWORD least,
                         kavrel::DWORD* asked, kavrel::HANDLE* device);
  // Makes an object inherited through fork() a closed one of this process
  // (fork_inheritance.cpp); nothing for an object of this process.
  void ForgetIfInherited();
  void CopyConfiguration(const SerialCtl& other);
  kavrel::DWORD RefreshStatus();
  void SetPortHandle(kavrel::HANDLE handle);
  void DeliverCapture(const unsigned char* data, int count);

  // Guards what the host thread and the listener share: portHandle,
  // commStatus, the timing values and the listener's wake event; and the
  // choices and modem-wait hand-off of kavrel/port_control.h.
  std::mutex stateMutex_;
  // Serialise writers and readers: each is held for a whole WriteSerial, or
  // ReadSerial/ReadSerial2. Taken before stateMutex_; writeMutex_ before
  // readMutex_. Timed, so that a close can cancel again while it waits
  // (AwaitTransfer).
  std::timed_mutex writeMutex_;
  std::timed_mutex readMutex_;
  // The process generation the object belongs to (see ForgetIfInherited).
  unsigned processGeneration_;
  // Set by StopListenSerial; the listener leaves at its next check.
  std::atomic<bool> listenerStopRequested_{false};
  // Cuts the listener's sleeps and idle waits short; owned by the object
  // while a listener runs.
  kavrel::HANDLE listenerWake_ = 0;
  // How much of stagingBuffer a read may have written since it was last
  // cleared; the rest is still zero and needs no clearing.
  kavrel::DWORD stagingUsed_ = 0;

  // What kavrel/port_control.h keeps for the object.
  friend struct kavrel::serial::ControlAccess;
  void CloseOpenedDevice(kavrel::HANDLE device);
  void EndDrain();
  // Reads what is queued into into; with a read wait and nothing queued,
  // waits for the first byte and takes what is queued by then. *reach grows
  // to the most bytes a read was asked to write there. False when the read
  // failed with nothing delivered.
  bool ReceiveQueued(unsigned char* into, kavrel::DWORD* received, kavrel::DWORD* reach);

  // The host's choices, applied by every open; guarded by stateMutex_.
  struct ControlChoices {
    bool flowChosen = false;
    int flowKind = 0;  // a kavrel::FlowControl
    char xonChar = 0x11;
    char xoffChar = 0x13;
    int dtrLevel = -1;  // -1: as the device had it; 0 lowered; 1 raised
    int rtsLevel = -1;
    bool timeoutsChosen = false;
    kavrel::DWORD readWaitMs = 0;
    kavrel::DWORD writeConstantMs = 0;
    kavrel::DWORD writePerByteMs = 0;
    bool restoreOnClose = false;
  };
  ControlChoices controls_;
  // The DCB read right after the device was opened, for restoring on close.
  kavrel::DCB lineAtOpen_{};
  // A drain still going on after its caller stopped waiting, with the device
  // it drains and its outcome (written by the drain's thread before it ends).
  kavrel::HANDLE drainThread_ = 0;
  kavrel::HANDLE drainDevice_ = 0;
  kavrel::DWORD drainError_ = 0;
  // A modem wait served by the running listener: the events it asks the
  // listener to watch, those the listener saw, and the event it is woken by.
  // Guarded by stateMutex_.
  kavrel::DWORD modemWatch_ = 0;
  kavrel::DWORD modemSeen_ = 0;
  kavrel::HANDLE modemSeenSignal_ = 0;
};

#endif  // KAVREL_SERIALCTL_H
