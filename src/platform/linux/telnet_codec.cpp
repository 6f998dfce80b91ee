#include "platform/linux/telnet_codec.h"

#include <cstring>

namespace kavrel {
namespace platform {
namespace driver {
namespace telnet {

void AppendData(const std::uint8_t* data, std::size_t size, Bytes* out) {
  const std::uint8_t* end = data + size;
  while (data < end) {
    const auto* iac = static_cast<const std::uint8_t*>(
        std::memchr(data, kIac, static_cast<std::size_t>(end - data)));
    const std::uint8_t* runEnd = iac == nullptr ? end : iac + 1;
    out->insert(out->end(), data, runEnd);
    if (iac != nullptr) out->push_back(kIac);
    data = runEnd;
  }
}

void AppendNegotiation(std::uint8_t verb, std::uint8_t option, Bytes* out) {
  out->insert(out->end(), {kIac, verb, option});
}

void AppendSubnegotiation(std::uint8_t option, const std::uint8_t* payload, std::size_t size,
                          Bytes* out) {
  out->insert(out->end(), {kIac, kSb, option});
  AppendData(payload, size, out);
  out->insert(out->end(), {kIac, kSe});
}

std::size_t Decoder::Decode(const std::uint8_t* in, std::size_t size, std::uint8_t* data,
                            Handler& handler) {
  std::size_t written = 0;
  std::size_t at = 0;
  while (at < size) {
    if (state_ == State::kData) {
      // The run of data up to the next IAC moves in one piece; memmove
      // because data may be in itself, a little behind.
      const auto* iac = static_cast<const std::uint8_t*>(std::memchr(in + at, kIac, size - at));
      const std::size_t runEnd = iac == nullptr ? size : static_cast<std::size_t>(iac - in);
      if (runEnd > at) std::memmove(data + written, in + at, runEnd - at);
      written += runEnd - at;
      at = runEnd;
      if (at < size) {
        state_ = State::kCommand;
        ++at;
      }
      continue;
    }

    const std::uint8_t byte = in[at++];
    switch (state_) {
      case State::kCommand:
        if (byte == kIac) {
          data[written++] = kIac;
          state_ = State::kData;
        } else {
          OnCommandByte(byte);
        }
        break;
      case State::kOption:
        state_ = State::kData;
        handler.OnNegotiation(verb_, byte);
        break;
      case State::kSubnegotiationStart:
        option_ = byte;
        payloadSize_ = 0;
        payloadOverflow_ = false;
        state_ = State::kSubnegotiation;
        break;
      case State::kSubnegotiation:
      case State::kSubnegotiationIac:
        if (state_ == State::kSubnegotiation && byte == kIac) {
          state_ = State::kSubnegotiationIac;
        } else if (state_ == State::kSubnegotiation || byte == kIac) {
          // A payload byte, or a doubled IAC standing for 0xFF.
          if (payloadSize_ < payload_.size()) {
            payload_[payloadSize_++] = byte;
          } else {
            payloadOverflow_ = true;
          }
          state_ = State::kSubnegotiation;
        } else if (byte == kSe) {
          state_ = State::kData;
          if (!payloadOverflow_) handler.OnSubnegotiation(option_, payload_.data(), payloadSize_);
        } else {
          // IAC and anything but SE or IAC cannot occur inside a
          // subnegotiation: the peer left it unfinished. It is dropped and
          // the byte read as the command it starts, so the stream resumes
          // in step instead of swallowing data until some later SE.
          OnCommandByte(byte);
        }
        break;
      case State::kData:
        break;
    }
  }
  return written;
}

void Decoder::OnCommandByte(std::uint8_t byte) {
  switch (byte) {
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      verb_ = byte;
      state_ = State::kOption;
      break;
    case kSb:
      state_ = State::kSubnegotiationStart;
      break;
    default:
      // NOP, data mark, go ahead, a stray SE and the like carry nothing a
      // serial line needs.
      state_ = State::kData;
      break;
  }
}

}  // namespace telnet
}  // namespace driver
}  // namespace platform
}  // namespace kavrel
