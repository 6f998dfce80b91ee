// The RFC 2217 client session against byte sequences recorded from ser2net
// 4.3 (with pyserial 3.5's client on the other end for the commands), and
// against the refusals and malformed messages a server may send.
#include "platform/linux/rfc2217_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace {

namespace r = kavrel::platform::driver::rfc2217;
using Bytes = std::vector<std::uint8_t>;
using Negotiation = r::ClientSession::Negotiation;

const r::ClientSession::Clock::time_point kStart{};
constexpr std::chrono::seconds kBound{5};

// What ser2net sends as a client connects to a telnet(rfc2217) accepter:
// WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO
// COM-PORT-OPTION, then a modem-state notification.
const Bytes kSer2netOpening = {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF,
                               0xFE, 0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD,
                               0x2C, 0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0};

// Feeds stream in two pieces cut at cut, decoding in place; returns the
// data, and the replies through replies.
Bytes Feed(r::ClientSession& session, const Bytes& stream, Bytes* replies = nullptr,
           std::size_t cut = 0) {
  Bytes data, ignored;
  for (const auto& range :
       {std::make_pair(std::size_t{0}, cut), std::make_pair(cut, stream.size())}) {
    Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(range.first),
                stream.begin() + static_cast<std::ptrdiff_t>(range.second));
    const std::size_t count = session.Receive(piece.data(), piece.size(), piece.data(),
                                              replies != nullptr ? replies : &ignored);
    data.insert(data.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(count));
  }
  return data;
}

TEST(Rfc2217Session, AgreesWithSer2netAtEveryBoundaryAndRefusesTheRest) {
  for (std::size_t cut = 0; cut <= kSer2netOpening.size(); ++cut) {
    r::ClientSession session;
    Bytes out;
    session.Start(kStart, kBound, &out);
    // WILL BINARY, DO BINARY, WILL COM-PORT-OPTION.
    ASSERT_EQ(out, (Bytes{0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x2C}));
    EXPECT_EQ(session.negotiation(kStart), Negotiation::kPending);
    Bytes replies;
    EXPECT_TRUE(Feed(session, kSer2netOpening, &replies, cut).empty());
    // DONT SGA, WONT SGA, DONT ECHO: nothing for the answers to our requests.
    EXPECT_EQ(replies, (Bytes{0xFF, 0xFE, 0x03, 0xFF, 0xFC, 0x03, 0xFF, 0xFE, 0x01}))
        << "cut at " << cut;
    EXPECT_EQ(session.negotiation(kStart + kBound * 2), Negotiation::kReady) << "cut at " << cut;
    EXPECT_EQ(session.server().modemState, std::optional<std::uint8_t>(0));
  }
}

TEST(Rfc2217Session, CommandsAreTheBytesPyserialSendsAndTheAnswersAreKept) {
  Bytes out;
  r::AppendSetBaudRate(115200, &out);
  r::AppendCommand(r::Command::kSetDataSize, 8, &out);
  r::AppendCommand(r::Command::kSetParity, r::kParityNone, &out);
  r::AppendCommand(r::Command::kSetStopSize, r::kStopOne, &out);
  r::AppendCommand(r::Command::kSetControl, r::control::kDtrOn, &out);
  r::AppendCommand(r::Command::kPurgeData, r::kPurgeReceived, &out);
  EXPECT_EQ(out, (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0, 0xFF, 0xFA,
                        0x2C, 0x02, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x03, 0x01, 0xFF, 0xF0,
                        0xFF, 0xFA, 0x2C, 0x04, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x05, 0x08,
                        0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x0C, 0x01, 0xFF, 0xF0}));

  r::ClientSession session;
  session.Start(kStart, kBound, &out);
  Feed(session, kSer2netOpening);
  // ser2net's answers: 115200 baud, 8 data bits, no parity, one stop bit, no
  // flow control either way, BREAK on, DTR as its request value (what it
  // answers for a pty, which has no modem lines), a purge, its signature.
  Bytes replies;
  Feed(session, {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x66,
                 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x67, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x68,
                 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69,
                 0x0E, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69, 0x05, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69,
                 0x07, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x70, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x64,
                 's',  'e',  'r',  '2',  'n',  'e',  't',  0xFF, 0xF0},
       &replies);
  EXPECT_TRUE(replies.empty());
  const r::ServerState& server = session.server();
  EXPECT_EQ(server.baudRate, std::optional<std::uint32_t>(115200));
  EXPECT_EQ(server.dataSize, std::optional<std::uint8_t>(8));
  EXPECT_EQ(server.parity, std::optional<std::uint8_t>(r::kParityNone));
  EXPECT_EQ(server.stopSize, std::optional<std::uint8_t>(r::kStopOne));
  EXPECT_EQ(server.outboundFlow, std::optional<std::uint8_t>(r::control::kOutboundNone));
  EXPECT_EQ(server.inboundFlow, std::optional<std::uint8_t>(r::control::kInboundNone));
  EXPECT_EQ(server.breakOn, std::optional<bool>(true));
  EXPECT_FALSE(server.dtrOn.has_value());
  EXPECT_EQ(server.signature, "ser2net");
  EXPECT_EQ(server.answers[static_cast<int>(r::Command::kSetControl)], 4u);
  // Two of the four are about flow control; BREAK and DTR are not.
  EXPECT_EQ(server.flowControlAnswers, 2u);
  EXPECT_EQ(server.answers[static_cast<int>(r::Command::kPurgeData)], 1u);
}

TEST(Rfc2217Session, AServerThatRefusesOrNeverAnswersIsNotUsed) {
  const char* const kNoComPort = "the server does not speak COM-PORT-OPTION (RFC 2217)";
  const char* const kNoBinary = "the server refuses Telnet BINARY mode";
  const struct {
    const char* what;
    Bytes stream;
    Negotiation within, after;  // within the bound, once it has passed
    const char* refusal;
  } rows[] = {
      {"refuses COM-PORT-OPTION",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFE, 0x2C},
       Negotiation::kRefused,
       Negotiation::kRefused,
       kNoComPort},
      {"refuses to send in BINARY",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFC, 0x00, 0xFF, 0xFD, 0x2C},
       Negotiation::kRefused,
       Negotiation::kRefused,
       kNoBinary},
      {"agrees, then turns BINARY off",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C, 0xFF, 0xFE, 0x00},
       Negotiation::kRefused,
       Negotiation::kRefused,
       kNoBinary},
      // A raw socket whose far end echoes: our requests, then our refusal of
      // its WILL COM-PORT-OPTION, come back.
      {"echoes",
       {0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x2C, 0xFF, 0xFE, 0x2C},
       Negotiation::kRefused,
       Negotiation::kRefused,
       kNoComPort},
      {"never answers COM-PORT-OPTION",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00},
       Negotiation::kPending,
       Negotiation::kTimedOut,
       ""},
      {"is silent", {}, Negotiation::kPending, Negotiation::kTimedOut, ""},
  };
  for (const auto& row : rows) {
    r::ClientSession session;
    Bytes out;
    session.Start(kStart, kBound, &out);
    Feed(session, row.stream);
    EXPECT_EQ(session.negotiation(kStart + kBound - std::chrono::milliseconds(1)), row.within)
        << row.what;
    EXPECT_EQ(session.negotiation(kStart + kBound), row.after) << row.what;
    EXPECT_EQ(session.refusal(), row.refusal) << row.what;
  }
}

TEST(Rfc2217Session, NotificationsAccumulateUntilTakenAndMalformedMessagesAreDropped) {
  namespace m = r::modemstate;
  namespace l = r::linestate;
  r::ClientSession session;
  Bytes replies;
  session.Start(kStart, kBound, &replies);
  Feed(session, kSer2netOpening);  // modem state 0 so far
  replies.clear();
  const Bytes data =
      Feed(session,
           {// CTS and DSR come up, without change bits; a ring ends, told only by its bit.
            0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6B, 0x34, 0xFF, 0xF0,
            // Overrun, then a break with a framing error.
            0xFF, 0xFA, 0x2C, 0x6A, 0x02, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6A, 0x18, 0xFF, 0xF0,
            // Malformed: no value, short, long, a client number, an unknown
            // number, another option, empty.
            0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x65, 0x01, 0xFF, 0xF0, 0xFF,
            0xFA, 0x2C, 0x66, 0x07, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x02, 0x07, 0xFF, 0xF0,
            0xFF, 0xFA, 0x2C, 0x71, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x18, 0x6A, 0x04, 0xFF, 0xF0,
            0xFF, 0xFA, 0x2C, 0xFF, 0xF0,
            // The server asks for our signature and to hold our data.
            0xFF, 0xFA, 0x2C, 0x64, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6C, 0xFF, 0xF0},
           &replies);
  EXPECT_TRUE(data.empty());
  r::Notifications taken = session.TakeNotifications();
  EXPECT_EQ(taken.modemChanges, m::kCts | m::kDsr | m::kRing);
  EXPECT_EQ(taken.lineState, l::kOverrun | l::kBreak | l::kFramingError);
  EXPECT_EQ(session.server().modemState, std::optional<std::uint8_t>(0x34));
  EXPECT_FALSE(session.server().baudRate || session.server().dataSize);
  EXPECT_EQ(replies, (Bytes{0xFF, 0xFA, 0x2C, 0x00, 'K', 'a', 'v', 'r', 'e', 'l', 0xFF, 0xF0}));
  EXPECT_TRUE(session.sendingSuspended());

  taken = session.TakeNotifications();
  EXPECT_EQ(taken.modemChanges | taken.lineState, 0);
  Feed(session, {0xFF, 0xFA, 0x2C, 0x6B, 0x31, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6D, 0xFF, 0xF0});
  EXPECT_EQ(session.TakeNotifications().modemChanges, m::kCts);
  EXPECT_FALSE(session.sendingSuspended());
}

}  // namespace
