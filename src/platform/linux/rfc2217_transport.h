// A serial port on another machine as a device's transport: a TCP
// connection to an RFC 2217 server (ser2net, a serial device server), with
// the Telnet encoding undone on the way in and done on the way out.
//
// Opening connects, agrees on Telnet BINARY both ways and COM-PORT-OPTION,
// and asks the server for its line settings, all within kOpenBound. A server
// that refuses the option is not used as a raw socket.
//
// Data. Receive reads the socket straight into the device's input queue and
// decodes it there, in place; what the server says besides data (option
// negotiation, answers, notifications) is taken by the session on the way,
// and its line-state and modem-state notifications become events (EV_BREAK,
// EV_ERR, EV_CTS, EV_DSR, EV_RLSD, EV_RING). Send escapes 0xFF and counts the
// data bytes it took; when the socket takes part of an escaped block, the
// half of an IAC IAC pair that did not fit is kept in the transport's own
// small output buffer (with the replies and commands of the protocol, which
// always go first), so nothing is split or lost.
//
// Settings. The server's answers are read wherever they come in the byte
// stream, behind whatever data came first. While the device reads, its
// reads find them and wake a waiting line call. While the device's input
// queue is full (the device then stops reading, to push back on the far
// end), a waiting line call reads ahead itself into a side buffer of at
// most kReadAheadLimit decoded bytes, which Receive delivers before
// anything newer; an answer farther behind than that is waited for until
// the bound, and no byte is lost either way.
//
// A connection that ends is a hang-up: Receive delivers what was read up to
// the end, then reports kGone.
//
// Controls. DTR, RTS and break travel as SET-CONTROL; the modem lines read
// are those the server last reported (NOTIFY-MODEMSTATE). A drain ends once
// the server has received every byte: the protocol cannot tell when the
// server's own device has sent them.
//
// Thread safety: every call takes the transport's own mutex, innermost of
// all locks; a line call releases it while it waits.
#ifndef KAVREL_PLATFORM_LINUX_RFC2217_TRANSPORT_H
#define KAVREL_PLATFORM_LINUX_RFC2217_TRANSPORT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/device_names.h"
#include "platform/linux/fork_safety.h"
#include "platform/linux/rfc2217_session.h"
#include "platform/linux/transport.h"

namespace kavrel {
namespace platform {
namespace driver {

class Rfc2217Transport final : public Transport {
 public:
  using Clock = std::chrono::steady_clock;

  // How long an open may take: the connection, the negotiation and the
  // server's report of its line settings together.
  static constexpr Clock::duration kOpenBound = std::chrono::seconds(5);
  // How long a change of settings waits for the server's answers.
  static constexpr Clock::duration kAnswerBound = std::chrono::seconds(3);
  // The most decoded data a line call reads ahead of a full input queue.
  static constexpr std::size_t kReadAheadLimit = 1 << 20;

  // Opens the network port node names (node.network set). ERROR_SUCCESS
  // with *transport set; otherwise the error, with its reason in *why
  // ("rfc2217://HOST:PORT: what went wrong") and nothing left open:
  // ERROR_FILE_NOT_FOUND (no such host, connection refused), ERROR_SEM_TIMEOUT
  // (no connection, negotiation or report within kOpenBound),
  // ERROR_NOT_SUPPORTED (the server refuses COM-PORT-OPTION or BINARY),
  // ERROR_DEVICE_NOT_CONNECTED (the server closed the connection).
  static DWORD Open(const DeviceNode& node, std::unique_ptr<Transport>* transport,
                    std::string* why);
  // What Open does once connected, over socket (connected, non-blocking;
  // taken over: closed on every path), within bound. why says what went
  // wrong.
  static DWORD Start(int socket, Clock::duration bound, std::unique_ptr<Transport>* transport,
                     std::string* why);

  ~Rfc2217Transport() override;

  int descriptor() const override { return socket_; }
  Transfer Receive(unsigned char* buffer, std::size_t room) override;
  Transfer Send(const unsigned char* data, std::size_t size) override;
  // The data read ahead; bytes still in the socket are not counted, since
  // their encoding hides how many are data.
  std::size_t InputWaiting() override;
  // Drops what was read ahead and what the socket holds now, and tells the
  // server to purge what it has received from the device (PURGE-DATA).
  void DiscardInput() override;
  bool WantsWritable(bool dataWaiting) override;
  TransferEnd Flush() override;
  // The server's last answers; no wait.
  DWORD ReadSettings(DCB* dcb) override;
  // Sends the settings and waits, up to kAnswerBound, for the answers. A
  // setting the server answers differently, or skips, refuses the whole
  // request (ERROR_INVALID_PARAMETER) and the settings it changed are put
  // back; a server that answers nothing in time gives ERROR_SEM_TIMEOUT.
  // DTR and RTS follow once the rest is kept; their answers are not awaited
  // (a server whose device has no modem lines gives none).
  DWORD ApplySettings(const DCB& dcb) override;
  // The lines the server last reported; ERROR_NOT_SUPPORTED until it has.
  DWORD ReadModemLines(ModemLines* lines) override;
  // SET-CONTROL, not waiting for the answer (a server whose device has no
  // modem lines gives none).
  DWORD DriveModemLine(ModemOutput line, bool raised) override;
  DWORD DriveBreak(bool on) override;
  // Sends the settings the server reported at open and waits, up to
  // kAnswerBound, for the answers.
  DWORD RestoreSettingsAtOpen() override;
  DWORD Drain() override;
  void InterruptDrain() override;

 private:
  enum class WaitEnd { kDone, kTimedOut, kLost };

  // Data bytes escaped and sent per system call.
  static constexpr std::size_t kSendBlock = 8192;

  Rfc2217Transport(int socket, int wake);

  // Everything below runs with mutex_ held.
  // Negotiates and asks for the line settings, before deadline.
  DWORD Handshake(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, std::string* why);
  // Waits, releasing the lock, until done() holds, the connection is lost
  // or deadline passes; reads ahead while the device's queue is full and
  // sends what the transport holds meanwhile.
  template <typename Done>
  WaitEnd Await(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Done done);
  // Decodes size bytes at in into data (which may be in), keeping the
  // events and replies they carry.
  std::size_t Decode(std::uint8_t* in, std::size_t size, std::uint8_t* data);
  // Reads what the socket has into the side buffer; whether it read any.
  bool ReadAhead();
  // Sends own_; false when the connection is broken.
  bool SendOwn();
  // Moves read-ahead bytes into buffer.
  std::size_t TakeReadAhead(unsigned char* buffer, std::size_t room);
  std::size_t readAheadSize() const { return readAhead_.size() - readAheadStart_; }
  void WakeWaiter();
  // Sends one SET-CONTROL value now (what the socket does not take goes
  // with the transport's own output).
  DWORD SendControl(std::uint8_t value);

  const int socket_;
  const int wake_;  // an eventfd: a line call's wait ends when it is written
  // Both closed in a forked child: its copy of the socket would keep the
  // connection (and with it the server's port) open after the parent closes.
  ChildClosedDescriptor socketTracked_;
  ChildClosedDescriptor wakeTracked_;

  std::mutex mutex_;
  rfc2217::ClientSession session_;
  // Bytes for the socket before any more data: the rest of an escaped pair,
  // negotiation replies, commands.
  rfc2217::Bytes own_;
  // An escaped block on its way out.
  std::uint8_t encoded_[2 * kSendBlock];
  // Data read ahead of the device, from readAheadStart_ on.
  std::vector<std::uint8_t> readAhead_;
  std::size_t readAheadStart_ = 0;
  // Events decoded and not yet reported.
  DWORD events_ = 0;
  // Whether the device has stopped reading: its queue was full when it last
  // read (or it has not read yet).
  bool deviceStalled_ = true;
  bool lineCallWaiting_ = false;
  // Nothing more will come from the socket: its stream has ended, or
  // reading it failed, or the server left the protocol.
  bool lost_ = false;
  // Writing to the socket failed: the connection is broken.
  bool sendBroken_ = false;
  // The server's settings when the port opened.
  rfc2217::ServerState atOpen_;
  // A drain looks at the socket's send queue again when this is notified
  // or a millisecond has passed; InterruptDrain ends it.
  std::condition_variable drainLook_;
  bool drainInterrupted_ = false;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_RFC2217_TRANSPORT_H
