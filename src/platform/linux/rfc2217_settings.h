// The line settings of a network serial port: a DCB as the RFC 2217
// commands that carry it, and the server's answers back as a DCB.
//
// A request is held to the rules a local port keeps (LineSettings::Request:
// data bits 5 to 8, the UART's stop-bit rules, no DSR flow, no DTR handshake,
// ...) and to what the protocol can carry besides:
// - flow control is one setting for both directions, as most servers keep
//   it: none, RTS/CTS, or XON/XOFF both ways (XON/XOFF one way only is
//   refused);
// - the XON and XOFF characters are the server's own, DC1 and DC3: XON/XOFF
//   with other characters is refused;
// - parity checking (fParity) is not carried at all; the DCB keeps it.
#ifndef KAVREL_PLATFORM_LINUX_RFC2217_SETTINGS_H
#define KAVREL_PLATFORM_LINUX_RFC2217_SETTINGS_H

#include <cstdint>
#include <optional>

#include "platform/linux/rfc2217_session.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {
namespace rfc2217 {

// The characters a server's XON/XOFF flow control uses.
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

// What one SetCommState asks of the server.
struct LineRequest {
  std::uint32_t baudRate = 0;
  std::uint8_t dataSize = 0;
  std::uint8_t parity = 0;       // Parity
  std::uint8_t stopSize = 0;     // StopSize
  std::uint8_t flowControl = 0;  // control::kOutbound*
  bool dtrOn = false;
  std::optional<bool> rtsOn;  // empty under an RTS handshake: flow control drives RTS
};

// dcb as a request. false when a local port would refuse it or the protocol
// cannot carry it (see above).
bool RequestFromDcb(const DCB& dcb, LineRequest* request);

// Appends the commands that set the rate, framing and flow control of
// request, the flow-control command last.
void AppendLineCommands(const LineRequest& request, Bytes* out);
// Appends the commands that set DTR, and RTS unless flow control drives it.
void AppendModemLineCommands(const LineRequest& request, Bytes* out);

// Whether the server, whose answers since before are in now, answered every
// setting of request with the value asked for.
bool ServerKept(const LineRequest& request, const ServerState& before, const ServerState& now);

// What puts the server's settings back to before: the commands for every
// setting now differs in (where before holds a value), flow control last
// (asked for, when it has not changed), so its answer marks the end.
// Returns false, appending nothing, when there is nothing to put back.
bool AppendRestoringCommands(const ServerState& before, const ServerState& now, Bytes* out);

// Fills the DCB members the server reported (rate, framing, flow control,
// DTR and RTS where it answered them, the XON/XOFF characters), leaving the
// others, and any the server has not reported, as they are.
void DescribeServerSettings(const ServerState& server, DCB* dcb);

}  // namespace rfc2217
}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_RFC2217_SETTINGS_H
