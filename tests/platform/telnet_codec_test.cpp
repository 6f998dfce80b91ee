// The Telnet layer of network ports: 0xFF escaped and unescaped, commands
// found at any block boundary, malformed input resynchronised, and option
// negotiation that agrees to what it wants and never loops.
#include "platform/linux/telnet_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/telnet_negotiation.h"

namespace {

namespace t = kavrel::platform::driver::telnet;
using Bytes = std::vector<std::uint8_t>;

// Everything a decoder reports, as one comparable transcript: each command
// as a bracketed line, then "|" and the data bytes as they are. (Commands
// and data are two streams: the decoder reports a block's commands while
// decoding it, and its data when it is done.)
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
  void Data(const std::uint8_t* bytes, std::size_t size) {
    data.append(reinterpret_cast<const char*>(bytes), size);
  }
  std::string commands;
  std::string data;
};

// Decodes stream in pieces cut at the given offsets, decoding each piece in
// place as a transport reading into its queue would.
std::string DecodeInPieces(const Bytes& stream, std::vector<std::size_t> cuts) {
  t::Decoder decoder;
  Transcript transcript;
  cuts.push_back(stream.size());
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(from),
                stream.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::size_t count = decoder.Decode(piece.data(), piece.size(), piece.data(), transcript);
    EXPECT_LE(count, piece.size());
    transcript.Data(piece.data(), count);
    from = cut;
  }
  return transcript.commands + "|" + transcript.data;
}

// The same transcript whole, cut once anywhere, cut twice anywhere, and fed
// one byte at a time.
void ExpectSameAtEveryBoundary(const Bytes& stream, const std::string& expected) {
  EXPECT_EQ(DecodeInPieces(stream, {}), expected);
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    ASSERT_EQ(DecodeInPieces(stream, {first}), expected) << "cut at " << first;
    for (std::size_t second = first; second <= stream.size(); ++second) {
      ASSERT_EQ(DecodeInPieces(stream, {first, second}), expected)
          << "cuts at " << first << " and " << second;
    }
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
  EXPECT_EQ(DecodeInPieces(stream, everyByte), expected);
}

TEST(TelnetCodec, EncodingDoublesEveryFFAndNothingElse) {
  const struct {
    Bytes data;
    Bytes encoded;
  } rows[] = {
      {{}, {}},
      {{0x41}, {0x41}},
      {{0xFF}, {0xFF, 0xFF}},
      {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      // CR NUL and CR LF are ordinary bytes in BINARY mode.
      {{0x0D, 0x00, 0xFF, 0x0D, 0x0A, 0xFE}, {0x0D, 0x00, 0xFF, 0xFF, 0x0D, 0x0A, 0xFE}},
  };
  for (const auto& row : rows) {
    Bytes out = {0x99};  // appended to, never replaced
    t::AppendData(row.data.data(), row.data.size(), &out);
    Bytes expected = {0x99};
    expected.insert(expected.end(), row.encoded.begin(), row.encoded.end());
    EXPECT_EQ(out, expected);
  }

  Bytes out;
  t::AppendNegotiation(t::kWill, t::kOptionComPort, &out);
  const std::uint8_t payload[] = {0x01, 0x00, 0xFF, 0x00};
  t::AppendSubnegotiation(t::kOptionComPort, payload, sizeof payload, &out);
  EXPECT_EQ(out,
            (Bytes{0xFF, 0xFB, 0x2C, 0xFF, 0xFA, 0x2C, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xF0}));
}

TEST(TelnetCodec, EveryByteValueAndFFRunsSurviveEveryBlockBoundary) {
  Bytes data;
  for (int value = 0; value < 256; ++value) data.push_back(static_cast<std::uint8_t>(value));
  data.insert(data.end(), 5, 0xFF);
  data.push_back(0x00);
  data.insert(data.end(), 2, 0xFF);
  Bytes stream;
  t::AppendData(data.data(), data.size(), &stream);
  EXPECT_EQ(stream.size(), data.size() + 8);
  // Cut once anywhere and byte by byte; two cuts are covered by the
  // recorded stream below, which is shorter.
  const std::string expected = "|" + std::string(data.begin(), data.end());
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    ASSERT_EQ(DecodeInPieces(stream, {cut}), expected) << "cut at " << cut;
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
  EXPECT_EQ(DecodeInPieces(stream, everyByte), expected);
}

TEST(TelnetCodec, ARecordedServerStreamDecodesTheSameAtEveryBoundary) {
  // A ser2net 4.3 connection as it arrived: its option offers, a modem-state
  // notification, data with a doubled 0xFF and a CR NUL, and an answer to
  // SET-BAUDRATE 16777215 whose value holds three doubled 0xFF.
  const Bytes stream = {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE, 0x01,
                        0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C, 0xFF, 0xFA, 0x2C,
                        0x6B, 0x00, 0xFF, 0xF0, 0x43, 0xFF, 0xFF, 0x44, 0x0D, 0x00, 0xFF, 0xFA,
                        0x2C, 0x65, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0x45};
  const std::string expected = std::string("[251 3][253 3][251 1][254 1][253 0][251 0][253 44]") +
                               "[SB 44: 107 0][SB 44: 101 0 255 255 255]|C\xFF" + "D\r" +
                               std::string(1, '\0') + "E";
  ExpectSameAtEveryBoundary(stream, expected);
}

TEST(TelnetCodec, MalformedCommandsAreDroppedAndTheStreamResumesInStep) {
  Bytes oversized = {0xFF, 0xFA, 0x2C};
  oversized.insert(oversized.end(), t::Decoder::kMaxSubnegotiation + 1, 0x01);
  oversized.insert(oversized.end(), {0xFF, 0xF0, 'x'});
  Bytes atBound = {0xFF, 0xFA, 0x00};
  atBound.insert(atBound.end(), t::Decoder::kMaxSubnegotiation - 1, 0x02);
  atBound.insert(atBound.end(), {0xFF, 0xFF, 0xFF, 0xF0});
  std::string atBoundText = "[SB 0:";
  for (std::size_t i = 1; i < t::Decoder::kMaxSubnegotiation; ++i) atBoundText += " 2";
  atBoundText += " 255]|";
  const struct {
    const char* what;
    Bytes stream;
    std::string expected;
  } rows[] = {
      {"other commands",
       {'a', 0xFF, 0xF1, 'b', 0xFF, 0xF9, 0xFF, 0xF0, 'c', 0xFF, 0x41, 'd'},
       "|abcd"},
      {"a subnegotiation cut short by a negotiation",
       {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0xFF, 0xFB, 0x01, 'a'},
       "[251 1]|a"},
      {"a subnegotiation cut short by another",
       {0xFF, 0xFA, 0x2C, 0x65, 0xFF, 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xF0},
       "[SB 44: 102 8]|"},
      {"a subnegotiation too long to keep", oversized, "|x"},
      {"a subnegotiation at the bound", atBound, atBoundText},
  };
  for (const auto& row : rows) EXPECT_EQ(DecodeInPieces(row.stream, {}), row.expected) << row.what;
}

// The negotiation: what each received request is answered with.
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
      {"the answer to our DO", t::kWill, t::kOptionBinary, {}},
      {"an offer we want, before we asked", t::kDo, t::kOptionBinary, {0xFF, 0xFB, 0x00}},
      {"an unwanted offer", t::kWill, 3, {0xFF, 0xFE, 0x03}},
      {"the same offer again", t::kWill, 3, {}},
      {"an unwanted request", t::kDo, 1, {0xFF, 0xFC, 0x01}},
      {"the same request again", t::kDo, 1, {}},
      {"a refusal of what is off", t::kDont, 1, {}},
      {"a refusal of what is off, the other way", t::kWont, 24, {}},
      {"the peer stops an agreed option", t::kWont, t::kOptionBinary, {0xFF, 0xFE, 0x00}},
      {"and stops it again", t::kWont, t::kOptionBinary, {}},
      {"not a negotiation verb", t::kSb, 0, {}},
  };
  for (const auto& step : steps) {
    out.clear();
    options.Receive(step.verb, step.option, &out);
    EXPECT_EQ(out, step.reply) << step.what;
  }
  EXPECT_EQ(options.local(t::kOptionComPort), State::kYes);
  EXPECT_EQ(options.local(t::kOptionBinary), State::kYes);
  EXPECT_EQ(options.remote(t::kOptionBinary), State::kNo);
  EXPECT_EQ(options.remote(3), State::kNo);
}

TEST(TelnetNegotiation, ARefusedRequestEndsAtNoWithoutAnswer) {
  using State = t::OptionNegotiation::State;
  t::OptionNegotiation options({t::kOptionComPort}, {t::kOptionBinary});
  Bytes out;
  options.RequestLocal(t::kOptionComPort, &out);
  options.RequestRemote(t::kOptionBinary, &out);
  EXPECT_EQ(options.local(t::kOptionComPort), State::kWantYes);
  out.clear();
  options.Receive(t::kDont, t::kOptionComPort, &out);
  options.Receive(t::kWont, t::kOptionBinary, &out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(options.local(t::kOptionComPort), State::kNo);
  EXPECT_EQ(options.remote(t::kOptionBinary), State::kNo);
}

}  // namespace
