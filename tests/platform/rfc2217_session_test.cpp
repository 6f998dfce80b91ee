// The RFC 2217 client session against byte sequences recorded from ser2net
// 4.3 (with pyserial's client on the other end for the commands), and
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
using Clock = r::ClientSession::Clock;

const Clock::time_point kStart{};
constexpr std::chrono::seconds kBound{5};

// What ser2net sends as a client connects to a telnet(rfc2217) accepter
// (WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO
// COM-PORT-OPTION), then its first modem-state notification.
const Bytes kSer2netOpening = {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF,
                               0xFE, 0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD,
                               0x2C, 0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0};

struct Received {
  Bytes data;
  Bytes replies;
};

// Feeds stream to session in two pieces cut at cut, decoding in place.
Received Feed(r::ClientSession& session, const Bytes& stream, std::size_t cut) {
  Received received;
  for (const auto& range :
       {std::make_pair(std::size_t{0}, cut), std::make_pair(cut, stream.size())}) {
    Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(range.first),
                stream.begin() + static_cast<std::ptrdiff_t>(range.second));
    const std::size_t count =
        session.Receive(piece.data(), piece.size(), piece.data(), &received.replies);
    received.data.insert(received.data.end(), piece.begin(),
                         piece.begin() + static_cast<std::ptrdiff_t>(count));
  }
  return received;
}

Received Feed(r::ClientSession& session, const Bytes& stream) {
  return Feed(session, stream, stream.size());
}

// A session that has opened against ser2net's recorded opening.
void OpenAgainstSer2net(r::ClientSession& session) {
  Bytes out;
  session.Start(kStart, kBound, &out);
  Feed(session, kSer2netOpening);
  ASSERT_EQ(session.negotiation(kStart), Negotiation::kReady);
}

TEST(Rfc2217Session, AgreesWithSer2netAtEveryBoundaryAndRefusesTheRest) {
  for (std::size_t cut = 0; cut <= kSer2netOpening.size(); ++cut) {
    r::ClientSession session;
    Bytes out;
    session.Start(kStart, kBound, &out);
    // WILL BINARY, DO BINARY, WILL COM-PORT-OPTION.
    ASSERT_EQ(out, (Bytes{0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x2C}));
    EXPECT_EQ(session.negotiation(kStart), Negotiation::kPending);

    const Received received = Feed(session, kSer2netOpening, cut);
    // DONT SGA, WONT SGA, DONT ECHO; the DONT ECHO for an echo never on
    // and the answers to our own requests need no reply.
    EXPECT_EQ(received.replies, (Bytes{0xFF, 0xFE, 0x03, 0xFF, 0xFC, 0x03, 0xFF, 0xFE, 0x01}))
        << "cut at " << cut;
    EXPECT_TRUE(received.data.empty());
    EXPECT_EQ(session.negotiation(kStart + kBound * 2), Negotiation::kReady) << "cut at " << cut;
    EXPECT_EQ(session.refusal(), "");
    EXPECT_EQ(session.server().modemState, std::optional<std::uint8_t>(0));
  }
}

TEST(Rfc2217Session, CommandsAreTheBytesPyserialSendsAndTheAnswersAreKept) {
  // Encoded here and as pyserial 3.5 sent them to ser2net.
  Bytes out;
  r::AppendSetBaudRate(115200, &out);
  r::AppendCommand(r::Command::kSetDataSize, 8, &out);
  r::AppendCommand(r::Command::kSetParity, r::kParityNone, &out);
  r::AppendCommand(r::Command::kSetStopSize, r::kStopOne, &out);
  r::AppendCommand(r::Command::kSetControl, r::control::kOutboundNone, &out);
  r::AppendCommand(r::Command::kSetControl, r::control::kDtrOn, &out);
  r::AppendCommand(r::Command::kSetControl, r::control::kRtsOn, &out);
  r::AppendCommand(r::Command::kPurgeData, r::kPurgeReceived, &out);
  r::AppendCommand(r::Command::kPurgeData, r::kPurgeTransmit, &out);
  EXPECT_EQ(out, (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0, 0xFF,
                        0xFA, 0x2C, 0x02, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x03, 0x01,
                        0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x04, 0x01, 0xFF, 0xF0, 0xFF, 0xFA,
                        0x2C, 0x05, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x05, 0x08, 0xFF,
                        0xF0, 0xFF, 0xFA, 0x2C, 0x05, 0x0B, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C,
                        0x0C, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x0C, 0x02, 0xFF, 0xF0}));

  r::ClientSession session;
  OpenAgainstSer2net(session);
  // ser2net's answers: 115200 baud, 8 data bits, no parity, one stop bit,
  // no flow control, both purges; then (from another run) no inbound flow
  // control, BREAK on, and the request values it answers for DTR and RTS
  // on a pty, which has no such lines; and its signature.
  const Received received = Feed(
      session, {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x66,
                0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x67, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x68,
                0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x70,
                0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x70, 0x02, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69,
                0x0E, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69, 0x05, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69,
                0x07, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69, 0x0A, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x64,
                's',  'e',  'r',  '2',  'n',  'e',  't',  0xFF, 0xF0});
  EXPECT_TRUE(received.replies.empty());
  EXPECT_TRUE(received.data.empty());
  const r::ServerState& server = session.server();
  EXPECT_EQ(server.baudRate, std::optional<std::uint32_t>(115200));
  EXPECT_EQ(server.dataSize, std::optional<std::uint8_t>(8));
  EXPECT_EQ(server.parity, std::optional<std::uint8_t>(r::kParityNone));
  EXPECT_EQ(server.stopSize, std::optional<std::uint8_t>(r::kStopOne));
  EXPECT_EQ(server.outboundFlow, std::optional<std::uint8_t>(r::control::kOutboundNone));
  EXPECT_EQ(server.inboundFlow, std::optional<std::uint8_t>(r::control::kInboundNone));
  EXPECT_EQ(server.breakOn, std::optional<bool>(true));
  EXPECT_FALSE(server.dtrOn.has_value());
  EXPECT_FALSE(server.rtsOn.has_value());
  EXPECT_EQ(server.signature, "ser2net");
  const auto answers = [&](r::Command command) {
    return server.answers[static_cast<int>(command)];
  };
  EXPECT_EQ(answers(r::Command::kSetBaudRate), 1u);
  EXPECT_EQ(answers(r::Command::kSetControl), 5u);
  EXPECT_EQ(answers(r::Command::kPurgeData), 2u);
  EXPECT_EQ(answers(r::Command::kNotifyModemState), 1u);
}

TEST(Rfc2217Session, ABaudRateOfFFBytesTravelsEscapedAndArrivesWhole) {
  Bytes out;
  r::AppendSetBaudRate(0x00FFFFFF, &out);
  EXPECT_EQ(out,
            (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}));
  // The server's answer, with data on both sides, cut at every boundary.
  const Bytes answer = {0xFF, 0xFF, 0xFF, 0xFA, 0x2C, 0x65, 0xFF, 0xFF, 0xFF, 0xFF,
                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0x0D, 0x00};
  for (std::size_t cut = 0; cut <= answer.size(); ++cut) {
    r::ClientSession session;
    OpenAgainstSer2net(session);
    const Received received = Feed(session, answer, cut);
    EXPECT_EQ(received.data, (Bytes{0xFF, 0xFF, 0x0D, 0x00})) << "cut at " << cut;
    EXPECT_EQ(session.server().baudRate, std::optional<std::uint32_t>(0xFFFFFFFF))
        << "cut at " << cut;
  }
}

TEST(Rfc2217Session, AServerThatRefusesOrNeverAnswersIsNotUsed) {
  const struct {
    const char* what;
    Bytes stream;
    Negotiation at;          // at the start of the bound
    Negotiation afterBound;  // once the bound has passed
    const char* refusal;
  } rows[] = {
      {"refuses COM-PORT-OPTION",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFE, 0x2C},
       Negotiation::kRefused,
       Negotiation::kRefused,
       "the server does not speak COM-PORT-OPTION (RFC 2217)"},
      {"refuses to send in BINARY",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFC, 0x00, 0xFF, 0xFD, 0x2C},
       Negotiation::kRefused,
       Negotiation::kRefused,
       "the server refuses Telnet BINARY mode"},
      {"agrees, then turns BINARY off",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C, 0xFF, 0xFE, 0x00},
       Negotiation::kRefused,
       Negotiation::kRefused,
       "the server refuses Telnet BINARY mode"},
      {"a raw socket echoing our requests and our refusal of its echo",
       {0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x2C, 0xFF, 0xFE, 0x2C},
       Negotiation::kRefused,
       Negotiation::kRefused,
       "the server does not speak COM-PORT-OPTION (RFC 2217)"},
      {"agrees to BINARY, never answers COM-PORT-OPTION",
       {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00},
       Negotiation::kPending,
       Negotiation::kTimedOut,
       ""},
      {"silent", {}, Negotiation::kPending, Negotiation::kTimedOut, ""},
  };
  for (const auto& row : rows) {
    r::ClientSession session;
    Bytes out;
    session.Start(kStart, kBound, &out);
    Feed(session, row.stream);
    EXPECT_EQ(session.negotiation(kStart), row.at) << row.what;
    EXPECT_EQ(session.negotiation(kStart + kBound - std::chrono::milliseconds(1)), row.at)
        << row.what;
    EXPECT_EQ(session.negotiation(kStart + kBound), row.afterBound) << row.what;
    EXPECT_EQ(session.refusal(), row.refusal) << row.what;
  }
}

TEST(Rfc2217Session, NotificationsAccumulateUntilTakenAndMalformedMessagesAreDropped) {
  r::ClientSession session;
  OpenAgainstSer2net(session);  // modem state 0 so far
  namespace m = r::modemstate;
  namespace l = r::linestate;
  const Received received = Feed(
      session, {// CTS and DSR come up, reported without change bits.
                0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0,
                // A ring that ended: only the change bit tells it.
                0xFF, 0xFA, 0x2C, 0x6B, 0x34, 0xFF, 0xF0,
                // Overrun, then a break with a framing error.
                0xFF, 0xFA, 0x2C, 0x6A, 0x02, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6A, 0x18, 0xFF, 0xF0,
                // Malformed: no value, two values, a client number, an
                // unknown number, another option, an empty message.
                0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x65, 0x01, 0xFF, 0xF0, 0xFF,
                0xFA, 0x2C, 0x66, 0x07, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x02, 0x07, 0xFF, 0xF0,
                0xFF, 0xFA, 0x2C, 0x71, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x18, 0x6A, 0x04, 0xFF, 0xF0,
                0xFF, 0xFA, 0x2C, 0xFF, 0xF0,
                // The server asks for our signature and to hold our data.
                0xFF, 0xFA, 0x2C, 0x64, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6C, 0xFF, 0xF0});
  EXPECT_TRUE(received.data.empty());
  r::Notifications taken = session.TakeNotifications();
  EXPECT_EQ(taken.modemChanges, m::kCts | m::kDsr | m::kRing);
  EXPECT_EQ(taken.lineState, l::kOverrun | l::kBreak | l::kFramingError);
  EXPECT_EQ(session.server().modemState, std::optional<std::uint8_t>(0x34));
  EXPECT_FALSE(session.server().baudRate.has_value());
  EXPECT_FALSE(session.server().dataSize.has_value());
  EXPECT_EQ(received.replies,
            (Bytes{0xFF, 0xFA, 0x2C, 0x00, 'K', 'a', 'v', 'r', 'e', 'l', 0xFF, 0xF0}));
  EXPECT_TRUE(session.sendingSuspended());

  // Taken means cleared; a change reported by its bit alone still counts.
  taken = session.TakeNotifications();
  EXPECT_EQ(taken.modemChanges, 0);
  EXPECT_EQ(taken.lineState, 0);
  Feed(session, {0xFF, 0xFA, 0x2C, 0x6B, 0x31, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6D, 0xFF, 0xF0});
  EXPECT_EQ(session.TakeNotifications().modemChanges, m::kCts);
  EXPECT_FALSE(session.sendingSuspended());
}

}  // namespace
