// The Telnet layer of network ports: 0xFF escaped and unescaped, commands
// found at any block boundary, malformed input resynchronised, and option
// negotiation that agrees to what it wants and never loops.
#include "platform/linux/telnet_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/telnet_negotiation.h"

namespace {

namespace t = kavrel::platform::driver::telnet;
using Bytes = std::vector<std::uint8_t>;

// What a decoder reports: each command bracketed, then "|" and the data.
// (Commands and data are two streams: a block's commands are reported while
// it is decoded, its data when it is done.)
class Transcript : public t::Decoder::Handler {
 public:
  void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
    commands += "[" + std::to_string(verb) + " " + std::to_string(option) + "]";
  }
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t size) override {
    commands += "[SB " + std::to_string(option) + ":";
    for (std::size_t i = 0; i < size; ++i) commands += " " + std::to_string(payload[i]);
    commands += "]";
  }
  std::string commands, data;
};

// Decodes stream in blocks of at most block bytes, the first cut at first,
// each decoded in place as a transport reading into its queue would.
std::string Decode(const Bytes& stream, std::size_t first, std::size_t block) {
  t::Decoder decoder;
  Transcript transcript;
  for (std::size_t from = 0, to = std::min(first, stream.size());;
       from = to, to = std::min(stream.size(), to + block)) {
    Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(from),
                stream.begin() + static_cast<std::ptrdiff_t>(to));
    const std::size_t count = decoder.Decode(piece.data(), piece.size(), piece.data(), transcript);
    transcript.data.append(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(count));
    if (to == stream.size()) break;
  }
  return transcript.commands + "|" + transcript.data;
}

TEST(TelnetCodec, ARecordedStreamAndEveryByteValueDecodeTheSameAtEveryBoundary) {
  // A ser2net 4.3 connection as it arrived: its option offers, a modem-state
  // notification, data with a doubled 0xFF and a CR NUL, and an answer to
  // SET-BAUDRATE 16777215 whose value holds three doubled 0xFF.
  Bytes stream = {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE, 0x01,
                  0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C, 0xFF, 0xFA, 0x2C,
                  0x6B, 0x00, 0xFF, 0xF0, 0x43, 0xFF, 0xFF, 0x44, 0x0D, 0x00, 0xFF, 0xFA,
                  0x2C, 0x65, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0};
  // Then every byte value and a run of 0xFF, encoded: a 0xFF not doubled
  // would be read as a command.
  Bytes data;
  for (int value = 0; value < 256; ++value) data.push_back(static_cast<std::uint8_t>(value));
  data.insert(data.end(), 5, 0xFF);
  t::AppendData(data.data(), data.size(), &stream);
  const std::string expected =
      "[251 3][253 3][251 1][254 1][253 0][251 0][253 44][SB 44: 107 0]"
      "[SB 44: 101 0 255 255 255]|C\xFF"
      "D\r" +
      std::string(1, '\0') + std::string(data.begin(), data.end());
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    ASSERT_EQ(Decode(stream, cut, stream.size()), expected) << "cut at " << cut;
  }
  EXPECT_EQ(Decode(stream, 1, 1), expected);
}

TEST(TelnetCodec, MalformedCommandsAreDroppedAndTheStreamResumesInStep) {
  Bytes oversized = {0xFF, 0xFA, 0x2C};
  oversized.insert(oversized.end(), t::Decoder::kMaxSubnegotiation + 1, 0x01);
  oversized.insert(oversized.end(), {0xFF, 0xF0, 'x'});
  Bytes atBound = {0xFF, 0xFA, 0x00};
  atBound.insert(atBound.end(), t::Decoder::kMaxSubnegotiation, 0x02);
  atBound.insert(atBound.end(), {0xFF, 0xF0});
  const struct {
    const char* what;
    Bytes stream;
    std::string expected;
  } rows[] = {
      {"other commands", {'a', 0xFF, 0xF1, 'b', 0xFF, 0xF9, 0xFF, 0xF0, 'c', 0xFF, 0x41}, "|abc"},
      {"a subnegotiation cut short by a negotiation",
       {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0xFF, 0xFB, 0x01, 'a'},
       "[251 1]|a"},
      {"a subnegotiation cut short by another",
       {0xFF, 0xFA, 0x2C, 0x65, 0xFF, 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xF0},
       "[SB 44: 102 8]|"},
      {"a subnegotiation too long to keep", oversized, "|x"},
  };
  for (const auto& row : rows) EXPECT_EQ(Decode(row.stream, 99, 99), row.expected) << row.what;
  const std::string kept = Decode(atBound, 999, 999);
  EXPECT_EQ(kept.size(), std::string("[SB 0:]|").size() + 2 * t::Decoder::kMaxSubnegotiation);
}

TEST(TelnetNegotiation, WantedOptionsAreAgreedOthersRefusedOnceAndNothingLoops) {
  using State = t::OptionNegotiation::State;
  t::OptionNegotiation options({t::kOptionBinary, t::kOptionComPort}, {t::kOptionBinary});
  Bytes out;
  options.RequestLocal(t::kOptionComPort, &out);
  options.RequestRemote(t::kOptionBinary, &out);
  options.RequestRemote(t::kOptionComPort, &out);  // not ours to want: nothing sent
  options.RequestLocal(t::kOptionComPort, &out);   // already asked: nothing sent again
  EXPECT_EQ(out, (Bytes{0xFF, 0xFB, 0x2C, 0xFF, 0xFD, 0x00}));

  const struct {
    const char* what;
    std::uint8_t verb, option;
    Bytes reply;
  } steps[] = {
      {"the answer to our WILL", t::kDo, t::kOptionComPort, {}},
      {"the same answer again", t::kDo, t::kOptionComPort, {}},
      {"a refusal of our DO", t::kWont, t::kOptionBinary, {}},
      {"an offer we want, before we asked", t::kDo, t::kOptionBinary, {0xFF, 0xFB, 0x00}},
      {"an unwanted offer", t::kWill, 3, {0xFF, 0xFE, 0x03}},
      {"the same offer again", t::kWill, 3, {}},
      {"an unwanted request", t::kDo, 1, {0xFF, 0xFC, 0x01}},
      {"the same request again", t::kDo, 1, {}},
      {"a refusal of what is off", t::kDont, 1, {}},
      {"the peer stops an agreed option", t::kDont, t::kOptionBinary, {0xFF, 0xFC, 0x00}},
      {"and stops it again", t::kDont, t::kOptionBinary, {}},
  };
  for (const auto& step : steps) {
    out.clear();
    options.Receive(step.verb, step.option, &out);
    EXPECT_EQ(out, step.reply) << step.what;
  }
  EXPECT_EQ(options.local(t::kOptionComPort), State::kYes);
  EXPECT_EQ(options.local(t::kOptionBinary), State::kNo);
  EXPECT_EQ(options.remote(t::kOptionBinary), State::kNo);
}

}  // namespace
