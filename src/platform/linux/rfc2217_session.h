// The client side of RFC 2217 (Telnet COM-PORT-OPTION): the commands a
// network serial port is driven with, and a session that negotiates the
// option, decodes what the server sends and keeps the server's answers.
// Pure byte handling, no I/O and no clock of its own: the transport feeds it
// what the socket delivered, sends what it asks to send, and passes the time.
//
// A server's message carries the client command's number plus 100: SET-BAUDRATE
// is 1 from the client and 101 in the server's answer. The server answers
// every setting with the value it actually uses, which may differ from the
// one asked for; a value of 0 (a baud rate of 0, a data size of 0, ...) asks
// for the current value without changing it.
#ifndef KAVREL_PLATFORM_LINUX_RFC2217_SESSION_H
#define KAVREL_PLATFORM_LINUX_RFC2217_SESSION_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/linux/telnet_codec.h"
#include "platform/linux/telnet_negotiation.h"

namespace kavrel {
namespace platform {
namespace driver {
namespace rfc2217 {

using telnet::Bytes;

enum class Command : std::uint8_t {
  kSignature = 0,           // text; empty asks for the other end's
  kSetBaudRate = 1,         // 4 bytes, network order
  kSetDataSize = 2,         // 5 to 8
  kSetParity = 3,           // see Parity
  kSetStopSize = 4,         // see StopSize
  kSetControl = 5,          // see namespace control
  kNotifyLineState = 6,     // server: see namespace linestate
  kNotifyModemState = 7,    // server: see namespace modemstate
  kFlowControlSuspend = 8,  // no value: the receiver is to stop sending data
  kFlowControlResume = 9,   // no value: it may send again
  kSetLineStateMask = 10,   // which line-state bits the server notifies
  kSetModemStateMask = 11,  // which modem-state bits the server notifies
  kPurgeData = 12,          // see Purge
};
constexpr std::uint8_t kServerOffset = 100;
constexpr std::uint8_t kCommandCount = 13;

constexpr std::uint8_t kRequestCurrent = 0;  // the value that asks instead of sets

enum Parity : std::uint8_t {
  kParityNone = 1,
  kParityOdd = 2,
  kParityEven = 3,
  kParityMark = 4,
  kParitySpace = 5
};
enum StopSize : std::uint8_t { kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3 };
// Purge the server's buffers: what it received from the device and not yet
// sent on, what it holds for the device, or both.
enum Purge : std::uint8_t { kPurgeReceived = 1, kPurgeTransmit = 2, kPurgeBoth = 3 };

// SET-CONTROL values. Flow control "outbound" is what the server sends to
// the device (the settings of both directions for a server that has only
// one); "inbound" what it receives from it.
namespace control {
constexpr std::uint8_t kRequestOutboundFlow = 0;
constexpr std::uint8_t kOutboundNone = 1;
constexpr std::uint8_t kOutboundXonXoff = 2;
constexpr std::uint8_t kOutboundHardware = 3;
constexpr std::uint8_t kRequestBreak = 4;
constexpr std::uint8_t kBreakOn = 5;
constexpr std::uint8_t kBreakOff = 6;
constexpr std::uint8_t kRequestDtr = 7;
constexpr std::uint8_t kDtrOn = 8;
constexpr std::uint8_t kDtrOff = 9;
constexpr std::uint8_t kRequestRts = 10;
constexpr std::uint8_t kRtsOn = 11;
constexpr std::uint8_t kRtsOff = 12;
constexpr std::uint8_t kRequestInboundFlow = 13;
constexpr std::uint8_t kInboundNone = 14;
constexpr std::uint8_t kInboundXonXoff = 15;
constexpr std::uint8_t kInboundHardware = 16;
constexpr std::uint8_t kOutboundDcd = 17;
constexpr std::uint8_t kInboundDtr = 18;
constexpr std::uint8_t kOutboundDsr = 19;
}  // namespace control

// NOTIFY-LINESTATE bits (and SET-LINESTATE-MASK).
namespace linestate {
constexpr std::uint8_t kDataReady = 0x01;
constexpr std::uint8_t kOverrun = 0x02;
constexpr std::uint8_t kParityError = 0x04;
constexpr std::uint8_t kFramingError = 0x08;
constexpr std::uint8_t kBreak = 0x10;
constexpr std::uint8_t kHoldingRegisterEmpty = 0x20;
constexpr std::uint8_t kShiftRegisterEmpty = 0x40;
constexpr std::uint8_t kTimeout = 0x80;
}  // namespace linestate

// NOTIFY-MODEMSTATE bits (and SET-MODEMSTATE-MASK): the lines' states in
// the high nibble, their changes in the low one.
namespace modemstate {
constexpr std::uint8_t kCtsChanged = 0x01;
constexpr std::uint8_t kDsrChanged = 0x02;
constexpr std::uint8_t kRingEnded = 0x04;  // trailing edge of the ring indicator
constexpr std::uint8_t kCdChanged = 0x08;
constexpr std::uint8_t kCts = 0x10;
constexpr std::uint8_t kDsr = 0x20;
constexpr std::uint8_t kRing = 0x40;
constexpr std::uint8_t kCd = 0x80;
constexpr std::uint8_t kLines = 0xF0;
}  // namespace modemstate

// IAC SB COM-PORT-OPTION command value IAC SE, each 0xFF of value doubled.
void AppendCommand(Command command, const std::uint8_t* value, std::size_t size, Bytes* out);
// The one-byte commands: data size, parity, stop size, control, the masks,
// purge.
void AppendCommand(Command command, std::uint8_t value, Bytes* out);
// SET-BAUDRATE; 0 asks for the current rate.
void AppendSetBaudRate(std::uint32_t baudRate, Bytes* out);

// What the server has told the session, each value as its last answer
// gave it; empty until the first answer.
struct ServerState {
  std::optional<std::uint32_t> baudRate;
  std::optional<std::uint8_t> dataSize;
  std::optional<std::uint8_t> parity;
  std::optional<std::uint8_t> stopSize;
  std::optional<std::uint8_t> outboundFlow;  // one of the outbound control values
  std::optional<std::uint8_t> inboundFlow;   // one of the inbound control values
  std::optional<bool> breakOn;
  std::optional<bool> dtrOn;
  std::optional<bool> rtsOn;
  std::optional<std::uint8_t> lineStateMask;
  std::optional<std::uint8_t> modemStateMask;
  std::optional<std::uint8_t> modemState;  // the last NOTIFY-MODEMSTATE
  std::string signature;                   // the server's, once it sent one
  // Answers per command (by client number), so a caller that sent a
  // command can tell a new answer from an old one. A server answers
  // PURGE-DATA and the masks as well; a notification counts here too.
  std::uint32_t answers[kCommandCount] = {};
  // The SET-CONTROL answers about flow control alone, so an answer to a
  // flow-control command can be told from one about DTR, RTS or BREAK,
  // which travel in the same command (and which some servers never answer).
  std::uint32_t flowControlAnswers = 0;
};

// Line and modem events since the caller last took them.
struct Notifications {
  std::uint8_t lineState = 0;     // every line-state bit any notification carried
  std::uint8_t modemChanges = 0;  // the modem lines (kCts, kDsr, kRing, kCd) that changed
};

// One connection's client state. Not thread-safe: the transport that owns
// the connection calls it from one thread at a time.
class ClientSession final : private telnet::Decoder::Handler {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Negotiation {
    kPending,   // still waiting for the server's answers
    kReady,     // BINARY agreed both ways and the server takes COM-PORT-OPTION
    kRefused,   // the server refused (or later turned off) one of those
    kTimedOut,  // no full agreement within the bound given to Start
  };

  ClientSession();

  // Begins the negotiation: the requests (WILL BINARY, DO BINARY, WILL
  // COM-PORT-OPTION) are appended to out. The session stays kPending until
  // the server has agreed to all of them; at now + bound it becomes
  // kTimedOut instead.
  void Start(Clock::time_point now, Clock::duration bound, Bytes* out);

  // Decodes size bytes from the server, at any block boundary. The data
  // bytes among them are written to data (which may be in itself: decoding
  // in place) and their count returned; never more than size. What the
  // session must answer (option refusals, its signature) is appended to
  // replies. Data is passed on as it comes, even before kReady: in BINARY
  // mode no byte is special, and a server that will not agree to BINARY
  // ends the session anyway.
  std::size_t Receive(const std::uint8_t* in, std::size_t size, std::uint8_t* data, Bytes* replies);

  Negotiation negotiation(Clock::time_point now) const;
  // What the server refused, for an error text; empty unless kRefused.
  std::string refusal() const;

  const ServerState& server() const { return server_; }
  // The line-state bits and modem-line changes notified since the last
  // call, and clears them.
  Notifications TakeNotifications();
  // Whether the server has asked the client to stop sending data
  // (FLOWCONTROL-SUSPEND) and not yet allowed it again.
  bool sendingSuspended() const { return sendingSuspended_; }

  // The text the session answers a signature request with.
  static constexpr char kSignature[] = "Kavrel";

 private:
  void OnNegotiation(std::uint8_t verb, std::uint8_t option) override;
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t size) override;
  void OnServerMessage(std::uint8_t command, const std::uint8_t* value, std::size_t size);
  void OnControlAnswer(std::uint8_t value);
  void OnModemState(std::uint8_t state);

  telnet::Decoder decoder_;
  telnet::OptionNegotiation options_;
  bool started_ = false;
  Clock::time_point deadline_{};
  Bytes* replies_ = nullptr;  // where answers go during Receive
  ServerState server_;
  Notifications notifications_;
  bool sendingSuspended_ = false;
};

}  // namespace rfc2217
}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_RFC2217_SESSION_H
