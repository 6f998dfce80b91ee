// The RFC 2217 transport against a scripted server of the test's own on
// 127.0.0.1: block boundaries anywhere in Telnet sequences, a socket that
// takes part of an escaped block, answers behind a full input queue, refused
// settings put back, purges, and servers that do not agree to the protocol.
#include "platform/linux/rfc2217_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "network_port.h"
#include "platform/linux/comm_device.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/telnet_codec.h"
#include "port_fixture.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;
namespace telnet = kavrel::platform::driver::telnet;
using kavrel_network_test::Bytes;
using kavrel_network_test::NetworkPort;
using kavrel_network_test::ReadExactly;
using kavrel_network_test::SetLine;
using kavrel_network_test::WriteAll;

constexpr std::uint8_t IAC = 0xFF, SB = 0xFA, SE = 0xF0, WILL = 0xFB, DO = 0xFD, DONT = 0xFE;
constexpr std::uint8_t kComPort = 44;

Bytes Command(std::uint8_t number, Bytes value) {
  Bytes bytes = {IAC, SB, kComPort, number};
  for (std::uint8_t byte : value) {
    bytes.push_back(byte);
    if (byte == IAC) bytes.push_back(IAC);
  }
  bytes.insert(bytes.end(), {IAC, SE});
  return bytes;
}

// Data as a server sends it: each 0xFF doubled.
Bytes Escaped(const Bytes& data) {
  Bytes wire;
  for (std::uint8_t byte : data) {
    wire.push_back(byte);
    if (byte == IAC) wire.push_back(IAC);
  }
  return wire;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// The answers to the settings query: 9600 baud, 8 data bits, no parity, one
// stop bit, no flow control.
const Bytes kSettings = Join({Command(101, {0, 0, 0x25, 0x80}), Command(102, {8}),
                              Command(103, {1}), Command(104, {1}), Command(105, {1})});

// The data in bytes a client sent, its commands dropped.
Bytes DataOf(const Bytes& wire) {
  struct : telnet::Decoder::Handler {
    void OnNegotiation(std::uint8_t, std::uint8_t) override {}
    void OnSubnegotiation(std::uint8_t, const std::uint8_t*, std::size_t) override {}
  } ignore;
  Bytes data(wire.size());
  telnet::Decoder decoder;
  data.resize(decoder.Decode(wire.data(), wire.size(), data.data(), ignore));
  return data;
}

// A server on a free port of 127.0.0.1. The opening (accepting the
// connection and playing its part of the negotiation) runs on a thread of
// its own while the test opens the port; after it the test drives the
// connection directly.
class FakeServer {
 public:
  using Opening = std::function<void(FakeServer&)>;

  // Agrees to the options at once and answers the settings query (which
  // the line-state mask follows).
  static void Agree(FakeServer& server) {
    server.Send({IAC, WILL, 0, IAC, DO, 0, IAC, DO, kComPort});
    server.ReadUntil(Command(5, {0}));
    server.Send(kSettings);
    server.ReadUntil(Command(10, {0x1E}));
  }

  // Plays the server on connection, one end of a socket pair.
  FakeServer(int connection, Opening opening) : connection_(connection) {
    opening_ = std::thread([this, opening] { opening(*this); });
  }
  explicit FakeServer(Opening opening = Agree) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    url_ = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    opening_ = std::thread([this, opening] {
      pollfd waiting{listener_, POLLIN, 0};
      if (poll(&waiting, 1, kPatienceMs) != 1) return;
      connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      const int on = 1;
      setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      opening(*this);
    });
  }
  ~FakeServer() {
    Opened();
    for (std::thread& sender : senders_) sender.join();
    if (connection_ >= 0) close(connection_);
    if (listener_ >= 0) close(listener_);
  }

  const std::string& url() const { return url_; }
  // Waits for the opening to end.
  void Opened() {
    if (opening_.joinable()) opening_.join();
  }
  void Send(const Bytes& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t sent =
          send(connection_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return;
      done += static_cast<std::size_t>(sent);
    }
  }
  // Sends from a thread of its own, for bytes the port may not read for a
  // while.
  void SendInBackground(Bytes bytes) {
    senders_.emplace_back([this, bytes] { Send(bytes); });
  }
  // Reads until what came holds needle (or the patience runs out); returns
  // everything up to and including it, keeping the rest for the next call.
  Bytes ReadUntil(const Bytes& needle) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    std::size_t searched = 0;
    for (;;) {
      const auto from = received_.begin() + static_cast<std::ptrdiff_t>(searched);
      const auto found = std::search(from, received_.end(), needle.begin(), needle.end());
      searched = received_.size() < needle.size() ? 0 : received_.size() - needle.size() + 1;
      if (found != received_.end()) {
        const auto cut = found + static_cast<std::ptrdiff_t>(needle.size());
        Bytes taken(received_.begin(), cut);
        received_.erase(received_.begin(), cut);
        return taken;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd readable{connection_, POLLIN, 0};
      if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) != 1) break;
      std::uint8_t buffer[65536];
      const ssize_t got = recv(connection_, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received_.insert(received_.end(), buffer, buffer + got);
    }
    ADD_FAILURE() << "the port never sent what was expected; it sent "
                  << ::testing::PrintToString(received_);
    return Bytes();
  }

 private:
  static constexpr int kPatienceMs = 30000;

  int listener_ = -1;
  int connection_ = -1;
  std::string url_;
  Bytes received_;
  std::thread opening_;
  std::vector<std::thread> senders_;
};

// Where the input queue ends is where the transport's reads end, so small
// queues cut the stream inside every kind of sequence: an escaped 0xFF,
// a negotiation, a notification with an escaped value.
TEST(Rfc2217Transport, DataEventsAndRepliesDecodeTheSameWhereverABlockEnds) {
  const Bytes data = {'a', 0xFF, 0xFF, 'b', 0xFF, 'c', 0xF0, 0xFA, 0xFF, 'd'};
  const Bytes stream = Join({{'a', IAC, IAC, IAC, IAC, 'b'},
                             Command(107, {0xFF}),  // every modem line on and changed
                             {IAC, WILL, 1},        // ECHO, which the port refuses
                             {IAC, IAC, 'c'},
                             Command(106, {0x10 | 0x08}),  // a break, a framing error
                             {0xF0, 0xFA, IAC, IAC, 'd'}});
  const kavrel::DWORD events =
      p::EV_RXCHAR | p::EV_CTS | p::EV_DSR | p::EV_RLSD | p::EV_RING | p::EV_BREAK | p::EV_ERR;
  for (kavrel::DWORD queue : {1u, 2u, 3u, 5u, 4096u}) {
    FakeServer server;
    NetworkPort port(server.url());
    ASSERT_TRUE(port.ok()) << port.reason();
    server.Opened();
    ASSERT_TRUE(p::SetupComm(port.handle(), queue, queue));
    ASSERT_TRUE(p::SetCommMask(port.handle(), events));
    server.Send(stream);
    EXPECT_EQ(ReadExactly(port.handle(), data.size()), data) << "queue " << queue;
    kavrel_platform_test::Request wait(port.handle());
    kavrel::DWORD mask = 0;
    EXPECT_TRUE(p::WaitCommEvent(port.handle(), &mask, wait.get()));
    EXPECT_EQ(mask, events) << "queue " << queue;
    server.ReadUntil({IAC, DONT, 1});
  }
}

// A socket that takes part of an escaped block must never split an IAC IAC
// pair or lose a byte, and the write still counts the data bytes. The port
// runs over a socket pair whose send buffer is small and of an odd size, so
// that the socket takes part of most blocks, at odd places.
TEST(Rfc2217Transport, AWriteTheSocketTakesInPiecesArrivesWhole) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
  const int small = 2305;
  setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const int blocking = fcntl(ends[1], F_GETFL) & ~O_NONBLOCK;
  fcntl(ends[1], F_SETFL, blocking);
  FakeServer server(ends[1], FakeServer::Agree);
  std::unique_ptr<x::Transport> transport;
  std::string why;
  ASSERT_EQ(x::Rfc2217Transport::Start(ends[0], std::chrono::seconds(30), &transport, &why),
            p::ERROR_SUCCESS)
      << why;
  server.Opened();
  std::shared_ptr<x::CommDevice> device;
  ASSERT_EQ(x::CommDevice::Start(std::move(transport), p::GENERIC_READ | p::GENERIC_WRITE, &device),
            p::ERROR_SUCCESS);
  const kavrel::HANDLE handle = x::HandleTable::Process().Insert(device);
  ASSERT_NE(handle, 0u);
  // Half the bytes 0xFF, in runs of every length, and a tail to find the end
  // by.
  Bytes data = kavrel_network_test::Traffic(7);
  for (unsigned char byte : kavrel_platform_test::Pattern(3 << 20, 7)) {
    data.push_back(byte < 0x80 ? byte : 0xFF);
  }
  const Bytes tail = {'E', 'N', 'D', '!'};
  data.insert(data.end(), tail.begin(), tail.end());
  auto written = std::async(std::launch::async, [&] { return WriteAll(handle, data); });
  const Bytes wire = server.ReadUntil(tail);
  EXPECT_EQ(written.get(), p::ERROR_SUCCESS);
  const Bytes received = DataOf(wire);
  EXPECT_TRUE(received == data) << received.size() << " bytes of " << data.size();
  p::CloseHandle(handle);
}

// The answers to SetCommState come behind whatever data the device sent
// first. With the input queue full the port reads ahead for them, and every
// byte still arrives in order; an answer farther behind than it reads ahead
// is not waited for past the bound, and still nothing is lost.
TEST(Rfc2217Transport, AnswersBehindAFullInputQueueAreFoundAndNoByteIsLost) {
  constexpr kavrel::DWORD kQueue = 4096;
  const Bytes answers = Join({Command(101, {0, 1, 0xC2, 0}), Command(102, {7}), Command(103, {3}),
                              Command(104, {1}), Command(105, {1})});
  for (std::size_t behind : {std::size_t{300000}, std::size_t{1300000}}) {
    FakeServer server;
    NetworkPort port(server.url());
    ASSERT_TRUE(port.ok()) << port.reason();
    server.Opened();
    ASSERT_TRUE(p::SetupComm(port.handle(), kQueue, kQueue));
    const std::vector<unsigned char> pattern = kavrel_platform_test::Pattern(kQueue + behind, 9);
    const Bytes first(pattern.begin(), pattern.begin() + 50000);
    const Bytes second(pattern.begin() + 50000, pattern.end());
    server.SendInBackground(Escaped(first));
    ASSERT_TRUE(kavrel_platform_test::WaitForInputQueued(port.handle(), kQueue));
    auto applied = std::async(std::launch::async, [&] {
      return SetLine(port.handle(), 115200, 7, p::EVENPARITY, p::ONESTOPBIT);
    });
    server.ReadUntil(Command(5, {1}));
    server.SendInBackground(Join({Escaped(second), answers}));
    const kavrel::DWORD error = applied.get();
    EXPECT_EQ(error, behind < (1 << 20) ? p::ERROR_SUCCESS : p::ERROR_SEM_TIMEOUT) << behind;
    // A read the full queue serves alone, then a host that waits to hear of
    // more: what was read ahead is announced, though the socket is quiet.
    Bytes all = ReadExactly(port.handle(), kQueue);
    ASSERT_TRUE(kavrel_platform_test::WaitForInputQueued(port.handle(), 1)) << behind;
    const Bytes rest = ReadExactly(port.handle(), pattern.size() - kQueue);
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_TRUE(all == Bytes(pattern.begin(), pattern.end())) << all.size() << " bytes";
    kavrel::DCB dcb{};
    ASSERT_TRUE(p::GetCommState(port.handle(), &dcb));
    EXPECT_EQ(dcb.ByteSize, 7) << behind;
    EXPECT_EQ(dcb.Parity, p::EVENPARITY) << behind;
  }
}

// Settings go to the server as commands; one it answers otherwise refuses
// the request, and what it did change is put back. DTR and RTS follow
// settings it kept; a receive purge tells it to drop what it received.
TEST(Rfc2217Transport, CommandsReachTheServerAndSettingsItChangesAreRefusedAndPutBack) {
  FakeServer server;
  NetworkPort port(server.url());
  ASSERT_TRUE(port.ok()) << port.reason();
  server.Opened();
  auto refused = std::async(std::launch::async, [&] {
    return SetLine(port.handle(), 115200, 7, p::NOPARITY, p::TWOSTOPBITS);
  });
  EXPECT_EQ(server.ReadUntil(Command(5, {1})),
            Join({Command(1, {0, 1, 0xC2, 0}), Command(2, {7}), Command(3, {1}), Command(4, {2}),
                  Command(5, {1})}));
  server.Send(Join({Command(101, {0, 1, 0xC2, 0}), Command(102, {8}), Command(103, {1}),
                    Command(104, {2}), Command(105, {1})}));
  // Back to 9600 baud, 8 data bits and one stop bit; flow control asked.
  EXPECT_EQ(server.ReadUntil(Command(5, {0})),
            Join({Command(1, {0, 0, 0x25, 0x80}), Command(4, {1}), Command(5, {0})}));
  server.Send(kSettings);
  EXPECT_EQ(refused.get(), p::ERROR_INVALID_PARAMETER);
  kavrel::DCB dcb{};
  ASSERT_TRUE(p::GetCommState(port.handle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, p::ONESTOPBIT);

  auto kept = std::async(std::launch::async, [&] {
    return SetLine(port.handle(), 9600, 8, p::NOPARITY, p::ONESTOPBIT);
  });
  server.ReadUntil(Command(5, {1}));
  server.Send(kSettings);
  EXPECT_EQ(kept.get(), p::ERROR_SUCCESS);
  EXPECT_EQ(server.ReadUntil(Command(5, {11})), Join({Command(5, {8}), Command(5, {11})}));
  // A transmit purge stays local: the server's output holds bytes of
  // writes that have finished.
  ASSERT_TRUE(p::PurgeComm(port.handle(), p::PURGE_TXCLEAR | p::PURGE_TXABORT));
  ASSERT_TRUE(p::PurgeComm(port.handle(), p::PURGE_RXCLEAR));
  EXPECT_EQ(server.ReadUntil(Command(12, {1})), Command(12, {1}));
}

TEST(Rfc2217Transport, AnOpenTheServerDoesNotAgreeToFailsWithItsReason) {
  const struct {
    const char* what;
    FakeServer::Opening opening;
    kavrel::DWORD error;
    const char* reason;
  } rows[] = {
      {"refuses the option",
       [](FakeServer& server) {
         server.Send({IAC, WILL, 0, IAC, DO, 0, IAC, DONT, kComPort});
       },
       p::ERROR_NOT_SUPPORTED, "the server does not speak COM-PORT-OPTION (RFC 2217)"},
      {"hangs up", [](FakeServer&) {}, p::ERROR_DEVICE_NOT_CONNECTED,
       "the server closed the connection"},
      {"says nothing",
       [](FakeServer& server) {
         server.ReadUntil({IAC, WILL, kComPort});
       },
       p::ERROR_SEM_TIMEOUT, "no RFC 2217 negotiation within 5 s (is it an RFC 2217 server?)"},
  };
  for (const auto& row : rows) {
    auto server = std::make_unique<FakeServer>(row.opening);
    std::unique_ptr<NetworkPort> port;
    if (row.error == p::ERROR_DEVICE_NOT_CONNECTED) {
      // Its connection closes once its opening is over.
      std::string url = server->url();
      auto opening = std::async(std::launch::async, [&] { server.reset(); });
      port = std::make_unique<NetworkPort>(url);
      opening.get();
    } else {
      port = std::make_unique<NetworkPort>(server->url());
    }
    EXPECT_FALSE(port->ok()) << row.what;
    EXPECT_EQ(port->error(), row.error) << row.what;
    EXPECT_NE(port->reason().find(row.reason), std::string::npos)
        << row.what << ": " << port->reason();
  }
}

}  // namespace
