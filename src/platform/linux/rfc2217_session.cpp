#include "platform/linux/rfc2217_session.h"

#include <cstring>

namespace kavrel {
namespace platform {
namespace driver {
namespace rfc2217 {

using telnet::kOptionBinary;
using telnet::kOptionComPort;

void AppendCommand(Command command, const std::uint8_t* value, std::size_t size, Bytes* out) {
  // The command byte is below 0xFF, so the option, the command and the
  // value travel as one escaped subnegotiation payload.
  Bytes payload;
  payload.reserve(size + 1);
  payload.push_back(static_cast<std::uint8_t>(command));
  payload.insert(payload.end(), value, value + size);
  telnet::AppendSubnegotiation(kOptionComPort, payload.data(), payload.size(), out);
}

void AppendCommand(Command command, std::uint8_t value, Bytes* out) {
  AppendCommand(command, &value, 1, out);
}

void AppendSetBaudRate(std::uint32_t baudRate, Bytes* out) {
  const std::uint8_t value[4] = {
      static_cast<std::uint8_t>(baudRate >> 24), static_cast<std::uint8_t>(baudRate >> 16),
      static_cast<std::uint8_t>(baudRate >> 8), static_cast<std::uint8_t>(baudRate)};
  AppendCommand(Command::kSetBaudRate, value, sizeof value, out);
}

ClientSession::ClientSession()
    // BINARY both ways, and COM-PORT-OPTION on our side only: the client
    // sends the commands. Refusing the server's WILL COM-PORT-OPTION also
    // keeps a raw socket whose far end echoes (a loopback plug behind a
    // plain TCP server) from agreeing to the option by sending our own
    // requests back: the echo of that refusal refuses our request.
    : options_({kOptionBinary, kOptionComPort}, {kOptionBinary}) {}

void ClientSession::Start(Clock::time_point now, Clock::duration bound, Bytes* out) {
  started_ = true;
  deadline_ = now + bound;
  options_.RequestLocal(kOptionBinary, out);
  options_.RequestRemote(kOptionBinary, out);
  options_.RequestLocal(kOptionComPort, out);
}

std::size_t ClientSession::Receive(const std::uint8_t* in, std::size_t size, std::uint8_t* data,
                                   Bytes* replies) {
  replies_ = replies;
  const std::size_t count = decoder_.Decode(in, size, data, *this);
  replies_ = nullptr;
  return count;
}

ClientSession::Negotiation ClientSession::negotiation(Clock::time_point now) const {
  using State = telnet::OptionNegotiation::State;
  const State wanted[] = {options_.local(kOptionBinary), options_.remote(kOptionBinary),
                          options_.local(kOptionComPort)};
  bool agreed = true;
  for (State state : wanted) {
    // Once asked for, an option back at "no" was refused or withdrawn.
    if (started_ && state == State::kNo) return Negotiation::kRefused;
    agreed = agreed && state == State::kYes;
  }
  if (agreed) return Negotiation::kReady;
  return started_ && now >= deadline_ ? Negotiation::kTimedOut : Negotiation::kPending;
}

std::string ClientSession::refusal() const {
  using State = telnet::OptionNegotiation::State;
  if (!started_) return std::string();
  if (options_.local(kOptionComPort) == State::kNo) {
    return "the server does not speak COM-PORT-OPTION (RFC 2217)";
  }
  if (options_.local(kOptionBinary) == State::kNo || options_.remote(kOptionBinary) == State::kNo) {
    return "the server refuses Telnet BINARY mode";
  }
  return std::string();
}

Notifications ClientSession::TakeNotifications() {
  const Notifications taken = notifications_;
  notifications_ = Notifications();
  return taken;
}

void ClientSession::OnNegotiation(std::uint8_t verb, std::uint8_t option) {
  options_.Receive(verb, option, replies_);
}

void ClientSession::OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                     std::size_t size) {
  if (option != kOptionComPort || size == 0) return;
  OnServerMessage(payload[0], payload + 1, size - 1);
}

void ClientSession::OnServerMessage(std::uint8_t command, const std::uint8_t* value,
                                    std::size_t size) {
  // Only the server's numbers are taken; a client command echoed back is
  // not an answer.
  if (command < kServerOffset || command >= kServerOffset + kCommandCount) return;
  const auto which = static_cast<Command>(command - kServerOffset);
  // Every message but the signature and the flow-control pair carries a
  // value; one without it, or of another length, is malformed and dropped.
  const std::size_t expected = which == Command::kSetBaudRate ? 4 : 1;
  switch (which) {
    case Command::kSignature:
    case Command::kFlowControlSuspend:
    case Command::kFlowControlResume:
      break;
    default:
      if (size != expected) return;
      break;
  }
  ++server_.answers[static_cast<std::uint8_t>(which)];

  switch (which) {
    case Command::kSignature:
      if (size == 0) {
        // The server asks for ours.
        AppendCommand(Command::kSignature, reinterpret_cast<const std::uint8_t*>(kSignature),
                      sizeof kSignature - 1, replies_);
      } else {
        server_.signature.assign(reinterpret_cast<const char*>(value), size);
      }
      break;
    case Command::kSetBaudRate:
      server_.baudRate = (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                         (std::uint32_t{value[2]} << 8) | std::uint32_t{value[3]};
      break;
    case Command::kSetDataSize:
      server_.dataSize = value[0];
      break;
    case Command::kSetParity:
      server_.parity = value[0];
      break;
    case Command::kSetStopSize:
      server_.stopSize = value[0];
      break;
    case Command::kSetControl:
      OnControlAnswer(value[0]);
      break;
    case Command::kNotifyLineState:
      notifications_.lineState |= value[0];
      break;
    case Command::kNotifyModemState:
      OnModemState(value[0]);
      break;
    case Command::kFlowControlSuspend:
      sendingSuspended_ = true;
      break;
    case Command::kFlowControlResume:
      sendingSuspended_ = false;
      break;
    case Command::kSetLineStateMask:
      server_.lineStateMask = value[0];
      break;
    case Command::kSetModemStateMask:
      server_.modemStateMask = value[0];
      break;
    case Command::kPurgeData:
      // Counted above; the value says which buffers, nothing to keep.
      break;
  }
}

void ClientSession::OnControlAnswer(std::uint8_t value) {
  namespace c = control;
  switch (value) {
    case c::kOutboundNone:
    case c::kOutboundXonXoff:
    case c::kOutboundHardware:
    case c::kOutboundDcd:
    case c::kOutboundDsr:
      server_.outboundFlow = value;
      ++server_.flowControlAnswers;
      break;
    case c::kInboundNone:
    case c::kInboundXonXoff:
    case c::kInboundHardware:
    case c::kInboundDtr:
      server_.inboundFlow = value;
      ++server_.flowControlAnswers;
      break;
    case c::kBreakOn:
    case c::kBreakOff:
      server_.breakOn = value == c::kBreakOn;
      break;
    case c::kDtrOn:
    case c::kDtrOff:
      server_.dtrOn = value == c::kDtrOn;
      break;
    case c::kRtsOn:
    case c::kRtsOff:
      server_.rtsOn = value == c::kRtsOn;
      break;
    default:
      // A request value answered back (some servers do that for a line
      // they cannot read) tells nothing about the state.
      break;
  }
}

void ClientSession::OnModemState(std::uint8_t state) {
  namespace m = modemstate;
  // The server's own change bits sit four places below the lines they
  // belong to; a server that leaves them out still shows a change through
  // the lines themselves.
  std::uint8_t changes = static_cast<std::uint8_t>((state & ~m::kLines) << 4);
  if (server_.modemState) {
    changes = static_cast<std::uint8_t>(changes | ((*server_.modemState ^ state) & m::kLines));
  }
  notifications_.modemChanges = static_cast<std::uint8_t>(notifications_.modemChanges | changes);
  server_.modemState = state;
}

}  // namespace rfc2217
}  // namespace driver
}  // namespace platform
}  // namespace kavrel
