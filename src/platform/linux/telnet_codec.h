// The Telnet wire format a network serial port travels in: data with 0xFF
// escaped, option negotiation and subnegotiation. Pure byte handling, no I/O.
//
// A serial line carries every byte value, so a port is only used in Telnet
// BINARY mode both ways (the session on top insists on it). In BINARY mode a
// CR is an ordinary byte: the decoder never maps CR NUL or CR LF, in either
// direction, and the encoder never inserts a NUL after a CR.
#ifndef KAVREL_PLATFORM_LINUX_TELNET_CODEC_H
#define KAVREL_PLATFORM_LINUX_TELNET_CODEC_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavrel {
namespace platform {
namespace driver {
namespace telnet {

// Command bytes, each following an IAC.
constexpr std::uint8_t kIac = 255;   // interpret as command; doubled, a data byte 0xFF
constexpr std::uint8_t kDont = 254;  // please stop performing the option / do not start
constexpr std::uint8_t kDo = 253;    // please perform the option
constexpr std::uint8_t kWont = 252;  // refuse, or stop, performing the option
constexpr std::uint8_t kWill = 251;  // offer to perform, or confirm performing, the option
constexpr std::uint8_t kSb = 250;    // start of subnegotiation
constexpr std::uint8_t kSe = 240;    // end of subnegotiation

// Options.
constexpr std::uint8_t kOptionBinary = 0;
constexpr std::uint8_t kOptionComPort = 44;

using Bytes = std::vector<std::uint8_t>;

// Appends size data bytes to out, each 0xFF doubled.
void AppendData(const std::uint8_t* data, std::size_t size, Bytes* out);
// Appends IAC verb option; verb is kWill, kWont, kDo or kDont.
void AppendNegotiation(std::uint8_t verb, std::uint8_t option, Bytes* out);
// Appends IAC SB option payload IAC SE, each 0xFF of the payload doubled.
void AppendSubnegotiation(std::uint8_t option, const std::uint8_t* payload, std::size_t size,
                          Bytes* out);

// Splits a received stream into data bytes, negotiations and
// subnegotiations, one byte at a time, so any split of the stream into
// blocks decodes the same. A command cut by a block boundary is finished by
// the next block.
class Decoder {
 public:
  // What the decoder finds besides data. Called during Decode, in stream
  // order relative to each other.
  class Handler {
   public:
    // IAC verb option, verb one of kWill, kWont, kDo, kDont.
    virtual void OnNegotiation(std::uint8_t verb, std::uint8_t option) = 0;
    // IAC SB option payload IAC SE with the payload's doubled 0xFF undone.
    virtual void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                  std::size_t size) = 0;

   protected:
    ~Handler() = default;
  };

  // A longer subnegotiation is read to its end and dropped whole: no
  // COM-PORT-OPTION message comes near it, and the bound keeps a hostile
  // peer from growing memory without end.
  static constexpr std::size_t kMaxSubnegotiation = 256;

  // Decodes size bytes of in. The data bytes among them are written to
  // data in order, and their count returned: never more than size, and the
  // n-th data byte never lands after the n-th input byte, so data may be in
  // itself (decoding in place). Other commands (NOP, GA, a stray SE, ...)
  // are consumed and dropped.
  std::size_t Decode(const std::uint8_t* in, std::size_t size, std::uint8_t* data,
                     Handler& handler);

 private:
  enum class State {
    kData,                 // ordinary bytes
    kCommand,              // after IAC
    kOption,               // after IAC WILL/WONT/DO/DONT
    kSubnegotiationStart,  // after IAC SB: the option byte comes next
    kSubnegotiation,       // inside IAC SB option ...
    kSubnegotiationIac,    // an IAC inside a subnegotiation
  };

  // The byte after an IAC, in the data stream or (ending a subnegotiation
  // that lacked its SE) inside one.
  void OnCommandByte(std::uint8_t byte);

  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::uint8_t option_ = 0;
  std::array<std::uint8_t, kMaxSubnegotiation> payload_{};
  std::size_t payloadSize_ = 0;
  bool payloadOverflow_ = false;
};

}  // namespace telnet
}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TELNET_CODEC_H
