#include "platform/linux/telnet_negotiation.h"

namespace kavrel {
namespace platform {
namespace driver {
namespace telnet {

OptionNegotiation::OptionNegotiation(std::initializer_list<std::uint8_t> local,
                                     std::initializer_list<std::uint8_t> remote) {
  local_.yes = kWill;
  local_.no = kWont;
  remote_.yes = kDo;
  remote_.no = kDont;
  for (std::uint8_t option : local) local_.accepted.set(option);
  for (std::uint8_t option : remote) remote_.accepted.set(option);
}

void OptionNegotiation::RequestLocal(std::uint8_t option, Bytes* out) {
  Request(local_, option, out);
}

void OptionNegotiation::RequestRemote(std::uint8_t option, Bytes* out) {
  Request(remote_, option, out);
}

void OptionNegotiation::Receive(std::uint8_t verb, std::uint8_t option, Bytes* out) {
  switch (verb) {
    case kWill:
    case kWont:
      Receive(remote_, verb == kWill, option, out);
      break;
    case kDo:
    case kDont:
      Receive(local_, verb == kDo, option, out);
      break;
    default:
      break;
  }
}

void OptionNegotiation::Request(Side& side, std::uint8_t option, Bytes* out) {
  if (!side.accepted[option] || side.states[option] != State::kNo) return;
  side.states[option] = State::kWantYes;
  AppendNegotiation(side.yes, option, out);
}

void OptionNegotiation::Receive(Side& side, bool enable, std::uint8_t option, Bytes* out) {
  State& state = side.states[option];
  if (enable) {
    switch (state) {
      case State::kNo:
        if (side.accepted[option]) {
          state = State::kYes;
          AppendNegotiation(side.yes, option, out);
        } else if (!side.refused[option]) {
          side.refused.set(option);
          AppendNegotiation(side.no, option, out);
        }
        break;
      case State::kWantYes:
        // The answer to our request.
        state = State::kYes;
        break;
      case State::kYes:
        // Already agreed: answering again is how two ends start to loop.
        break;
    }
  } else {
    switch (state) {
      case State::kYes:
        // The peer turns the option off; it must be acknowledged.
        state = State::kNo;
        AppendNegotiation(side.no, option, out);
        break;
      case State::kWantYes:
        // Our request refused.
        state = State::kNo;
        break;
      case State::kNo:
        break;
    }
  }
}

}  // namespace telnet
}  // namespace driver
}  // namespace platform
}  // namespace kavrel
