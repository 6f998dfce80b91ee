#include "platform/linux/rfc2217_settings.h"

#include <termios.h>

#include "platform/linux/line_settings.h"

namespace kavrel {
namespace platform {
namespace driver {
namespace rfc2217 {

namespace {

constexpr std::uint8_t kStopSizes[] = {kStopOne, kStopOneAndHalf, kStopTwo};  // by DCB StopBits

std::uint32_t Answers(const ServerState& server, Command command) {
  return server.answers[static_cast<std::uint8_t>(command)];
}

bool AnsweredAs(const ServerState& before, const ServerState& now, Command command,
                std::optional<std::uint32_t> value, std::uint32_t wanted) {
  return Answers(now, command) > Answers(before, command) && value == wanted;
}

}  // namespace

bool RequestFromDcb(const DCB& dcb, LineRequest* request) {
  // The rules of a local port first: what a UART could not do, a server's
  // UART cannot either.
  termios scratch{};
  if (dcb.BaudRate == 0 || !LineSettings::Request(dcb, &scratch)) return false;
  const bool xonXoff = dcb.fOutX != 0 || dcb.fInX != 0;
  const bool hardware = dcb.fOutxCtsFlow != 0;
  if (xonXoff && (dcb.fOutX != dcb.fInX || hardware)) return false;
  if (xonXoff && (dcb.XonChar != kXonChar || dcb.XoffChar != kXoffChar)) return false;

  LineRequest wanted;
  wanted.baudRate = dcb.BaudRate;
  wanted.dataSize = dcb.ByteSize;
  wanted.parity = static_cast<std::uint8_t>(kParityNone + dcb.Parity);
  wanted.stopSize = kStopSizes[dcb.StopBits];
  wanted.flowControl = hardware  ? control::kOutboundHardware
                       : xonXoff ? control::kOutboundXonXoff
                                 : control::kOutboundNone;
  wanted.dtrOn = dcb.fDtrControl == DTR_CONTROL_ENABLE;
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
    wanted.rtsOn = dcb.fRtsControl == RTS_CONTROL_ENABLE;
  *request = wanted;
  return true;
}

void AppendLineCommands(const LineRequest& request, Bytes* out) {
  AppendSetBaudRate(request.baudRate, out);
  AppendCommand(Command::kSetDataSize, request.dataSize, out);
  AppendCommand(Command::kSetParity, request.parity, out);
  AppendCommand(Command::kSetStopSize, request.stopSize, out);
  // Servers with one flow-control setting take it from the outbound command
  // for both directions; the inbound one would only be answered "none".
  AppendCommand(Command::kSetControl, request.flowControl, out);
}

void AppendModemLineCommands(const LineRequest& request, Bytes* out) {
  AppendCommand(Command::kSetControl, request.dtrOn ? control::kDtrOn : control::kDtrOff, out);
  if (request.rtsOn) {
    AppendCommand(Command::kSetControl, *request.rtsOn ? control::kRtsOn : control::kRtsOff, out);
  }
}

bool ServerKept(const LineRequest& request, const ServerState& before, const ServerState& now) {
  return AnsweredAs(before, now, Command::kSetBaudRate, now.baudRate, request.baudRate) &&
         AnsweredAs(before, now, Command::kSetDataSize, now.dataSize, request.dataSize) &&
         AnsweredAs(before, now, Command::kSetParity, now.parity, request.parity) &&
         AnsweredAs(before, now, Command::kSetStopSize, now.stopSize, request.stopSize) &&
         now.flowControlAnswers > before.flowControlAnswers &&
         now.outboundFlow == request.flowControl;
}

bool AppendRestoringCommands(const ServerState& before, const ServerState& now, Bytes* out) {
  const std::size_t start = out->size();
  if (before.baudRate && now.baudRate != before.baudRate) AppendSetBaudRate(*before.baudRate, out);
  const struct {
    Command command;
    const std::optional<std::uint8_t>& before;
    const std::optional<std::uint8_t>& now;
  } framing[] = {
      {Command::kSetDataSize, before.dataSize, now.dataSize},
      {Command::kSetParity, before.parity, now.parity},
      {Command::kSetStopSize, before.stopSize, now.stopSize},
  };
  for (const auto& setting : framing) {
    if (setting.before && setting.now != setting.before) {
      AppendCommand(setting.command, *setting.before, out);
    }
  }
  const bool flowChanged = before.outboundFlow && now.outboundFlow != before.outboundFlow;
  if (out->size() == start && !flowChanged) return false;
  // Flow control goes last even when it need not change (it is then only
  // asked for): its answer tells that the server has taken all of these.
  AppendCommand(Command::kSetControl,
                flowChanged ? *before.outboundFlow : control::kRequestOutboundFlow, out);
  return true;
}

void DescribeServerSettings(const ServerState& server, DCB* dcb) {
  if (server.baudRate) dcb->BaudRate = *server.baudRate;
  if (server.dataSize) dcb->ByteSize = *server.dataSize;
  if (server.parity && *server.parity >= kParityNone && *server.parity <= kParitySpace) {
    dcb->Parity = static_cast<BYTE>(*server.parity - kParityNone);
  }
  if (server.stopSize) {
    for (BYTE stopBits = 0; stopBits < sizeof kStopSizes; ++stopBits) {
      if (kStopSizes[stopBits] == *server.stopSize) dcb->StopBits = stopBits;
    }
  }
  if (server.outboundFlow) {
    const bool hardware = *server.outboundFlow == control::kOutboundHardware;
    const bool xonXoff = *server.outboundFlow == control::kOutboundXonXoff;
    dcb->fOutxCtsFlow = hardware ? 1 : 0;
    if (hardware) {
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) {
      // As on a local port: a handshake that is off leaves RTS raised.
      dcb->fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb->fOutX = xonXoff ? 1 : 0;
    dcb->fInX = xonXoff ? 1 : 0;
  }
  if (server.dtrOn) dcb->fDtrControl = *server.dtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  if (server.rtsOn && dcb->fRtsControl != RTS_CONTROL_HANDSHAKE) {
    dcb->fRtsControl = *server.rtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  dcb->fOutxDsrFlow = 0;
  dcb->fDsrSensitivity = 0;
  dcb->XonChar = kXonChar;
  dcb->XoffChar = kXoffChar;
  dcb->fErrorChar = 0;
  dcb->fNull = 0;
}

}  // namespace rfc2217
}  // namespace driver
}  // namespace platform
}  // namespace kavrel
