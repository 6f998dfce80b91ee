// The RFC 2217 transport against a scripted server: block ends inside Telnet
// sequences, a socket that takes part of an escaped block, answers behind a
// full input queue, refused settings put back, purges, and a server that
// never negotiates. The port runs over one end of a socket pair; the test
// plays the server on the other.
#include "platform/linux/rfc2217_transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <future>
#include <thread>

#include "network_port.h"
#include "platform/linux/comm_device.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/telnet_codec.h"
#include "port_fixture.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;
using kavrel_network_test::Bytes;
using kavrel_network_test::ReadExactly;
using kavrel_network_test::SetLine;
using kavrel_network_test::WriteAll;

constexpr std::uint8_t IAC = 0xFF, WILL = 0xFB, DO = 0xFD, DONT = 0xFE, kComPort = 44;

// Data as it travels, each 0xFF doubled.
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

Bytes Command(std::uint8_t number, const Bytes& value) {
  return Join({{IAC, 0xFA, kComPort, number}, Escaped(value), {IAC, 0xF0}});
}

// The answers to the settings query: 9600 baud, 8 data bits, no parity, one
// stop bit, no flow control.
const Bytes kSettings = Join({Command(101, {0, 0, 0x25, 0x80}), Command(102, {8}),
                              Command(103, {1}), Command(104, {1}), Command(105, {1})});

// The data among the bytes a client sent.
Bytes DataOf(const Bytes& wire) {
  struct : x::telnet::Decoder::Handler {
    void OnNegotiation(std::uint8_t, std::uint8_t) override {}
    void OnSubnegotiation(std::uint8_t, const std::uint8_t*, std::size_t) override {}
  } ignore;
  Bytes data(wire.size());
  x::telnet::Decoder decoder;
  data.resize(decoder.Decode(wire.data(), wire.size(), data.data(), ignore));
  return data;
}

// A port whose server the test plays. The server's part of the opening runs
// on a thread of its own while the port opens; after it the test drives the
// server directly.
class Scripted {
 public:
  using Opening = std::function<void(Scripted&)>;

  // Agrees at once and answers the settings query (the line-state mask
  // follows it).
  static void Agree(Scripted& server) {
    server.Send({IAC, WILL, 0, IAC, DO, 0, IAC, DO, kComPort});
    server.ReadUntil(Command(5, {0}));
    server.Send(kSettings);
    server.ReadUntil(Command(10, {0x1E}));
  }

  // sendBuffer, when not 0, is the port's socket's send buffer.
  explicit Scripted(Opening opening = Agree, int sendBuffer = 0,
                    std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    server_ = ends[1];
    if (sendBuffer != 0) setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    std::thread playing([&] { opening(*this); });
    std::unique_ptr<x::Transport> transport;
    error_ = x::Rfc2217Transport::Start(ends[0], bound, &transport, &why_);
    playing.join();
    std::shared_ptr<x::CommDevice> device;
    if (error_ == p::ERROR_SUCCESS) {
      error_ =
          x::CommDevice::Start(std::move(transport), p::GENERIC_READ | p::GENERIC_WRITE, &device);
    }
    if (error_ == p::ERROR_SUCCESS) handle_ = x::HandleTable::Process().Insert(device);
  }
  ~Scripted() {
    for (std::thread& sender : senders_) sender.join();
    if (handle_ != 0) p::CloseHandle(handle_);
    if (server_ >= 0) close(server_);
  }

  kavrel::HANDLE handle() const { return handle_; }
  void Close() {
    p::CloseHandle(handle_);
    handle_ = 0;
  }
  kavrel::DWORD error() const { return error_; }
  const std::string& why() const { return why_; }

  void Send(const Bytes& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t sent = send(server_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return;
      done += static_cast<std::size_t>(sent);
    }
  }
  // For bytes the port may not read for a while.
  void SendInBackground(Bytes bytes) {
    senders_.emplace_back([this, bytes] { Send(bytes); });
  }
  // What the port sends up to and including needle (the rest is kept for
  // the next call), read for up to 30 s.
  Bytes ReadUntil(const Bytes& needle) {
    std::size_t searched = 0;
    for (;;) {
      const auto found = std::search(received_.begin() + static_cast<std::ptrdiff_t>(searched),
                                     received_.end(), needle.begin(), needle.end());
      if (found != received_.end()) {
        const Bytes taken(received_.begin(), found + static_cast<std::ptrdiff_t>(needle.size()));
        received_.erase(received_.begin(),
                        received_.begin() + static_cast<std::ptrdiff_t>(taken.size()));
        return taken;
      }
      searched = received_.size() - std::min(received_.size(), needle.size());
      pollfd readable{server_, POLLIN, 0};
      std::uint8_t buffer[65536];
      const ssize_t got =
          poll(&readable, 1, 30000) == 1 ? recv(server_, buffer, sizeof buffer, 0) : 0;
      if (got <= 0) break;
      received_.insert(received_.end(), buffer, buffer + got);
    }
    ADD_FAILURE() << "the port never sent what was expected";
    return Bytes();
  }
  // Whether the port's end of the connection closes within 10 s.
  bool Ends() {
    pollfd readable{server_, POLLIN, 0};
    std::uint8_t buffer[4096];
    while (poll(&readable, 1, 10000) == 1) {
      if (recv(server_, buffer, sizeof buffer, 0) <= 0) return true;
    }
    return false;
  }

 private:
  int server_ = -1;
  kavrel::HANDLE handle_ = 0;
  kavrel::DWORD error_ = p::ERROR_GEN_FAILURE;
  std::string why_;
  Bytes received_;
  std::vector<std::thread> senders_;
};

// Where the input queue ends is where the transport's reads end, so small
// queues cut the stream inside every kind of sequence: an escaped 0xFF, a
// negotiation, a notification with an escaped value.
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
    Scripted port;
    ASSERT_EQ(port.error(), p::ERROR_SUCCESS) << port.why();
    ASSERT_TRUE(p::SetupComm(port.handle(), queue, queue));
    ASSERT_TRUE(p::SetCommMask(port.handle(), events));
    port.Send(stream);
    EXPECT_EQ(ReadExactly(port.handle(), data.size()), data) << "queue " << queue;
    kavrel_platform_test::Request wait(port.handle());
    kavrel::DWORD mask = 0;
    EXPECT_TRUE(p::WaitCommEvent(port.handle(), &mask, wait.get()));
    EXPECT_EQ(mask, events) << "queue " << queue;
    port.ReadUntil({IAC, DONT, 1});
  }
}

// A socket that takes part of an escaped block must never split an IAC IAC
// pair or lose a byte, and the write still counts data bytes. A small send
// buffer of an odd size makes the socket take part of most blocks, at odd
// places.
TEST(Rfc2217Transport, AWriteTheSocketTakesInPiecesArrivesWhole) {
  Scripted port(Scripted::Agree, 2305);
  ASSERT_EQ(port.error(), p::ERROR_SUCCESS) << port.why();
  // Half the bytes 0xFF, in runs of every length, and a tail to find the end.
  Bytes data = kavrel_network_test::Traffic(7);
  for (unsigned char byte : kavrel_platform_test::Pattern(3 << 20, 7)) {
    data.push_back(byte < 0x80 ? byte : 0xFF);
  }
  const Bytes tail = {'E', 'N', 'D', '!'};
  data.insert(data.end(), tail.begin(), tail.end());
  auto written = std::async(std::launch::async, [&] { return WriteAll(port.handle(), data); });
  const Bytes received = DataOf(port.ReadUntil(tail));
  EXPECT_EQ(written.get(), p::ERROR_SUCCESS);
  EXPECT_TRUE(received == data) << received.size() << " bytes of " << data.size();
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
    Scripted port;
    ASSERT_EQ(port.error(), p::ERROR_SUCCESS) << port.why();
    ASSERT_TRUE(p::SetupComm(port.handle(), kQueue, kQueue));
    const std::vector<unsigned char> pattern = kavrel_platform_test::Pattern(kQueue + behind, 9);
    const Bytes sent(pattern.begin(), pattern.end());
    port.SendInBackground(Escaped(Bytes(sent.begin(), sent.begin() + 50000)));
    ASSERT_TRUE(kavrel_platform_test::WaitForInputQueued(port.handle(), kQueue));
    auto applied = std::async(std::launch::async, [&] {
      return SetLine(port.handle(), 115200, 7, p::EVENPARITY, p::ONESTOPBIT);
    });
    port.ReadUntil(Command(5, {1}));
    port.SendInBackground(Join({Escaped(Bytes(sent.begin() + 50000, sent.end())), answers}));
    EXPECT_EQ(applied.get(), behind < (1 << 20) ? p::ERROR_SUCCESS : p::ERROR_SEM_TIMEOUT);
    // A read the full queue serves alone, then a host that waits to hear of
    // more: what was read ahead is announced, though the socket is quiet.
    Bytes all = ReadExactly(port.handle(), kQueue);
    ASSERT_TRUE(kavrel_platform_test::WaitForInputQueued(port.handle(), 1)) << behind;
    const Bytes rest = ReadExactly(port.handle(), sent.size() - kQueue);
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_TRUE(all == sent) << all.size() << " bytes";
    kavrel::DCB dcb{};
    ASSERT_TRUE(p::GetCommState(port.handle(), &dcb));
    EXPECT_EQ(dcb.ByteSize, 7) << behind;
    EXPECT_EQ(dcb.Parity, p::EVENPARITY) << behind;
  }
}

// Settings go to the server as commands; one it answers otherwise refuses
// the request, and what it did change is put back. DTR and RTS follow
// settings it kept; a receive purge tells it to drop what it received, a
// transmit purge stays local (the server's output holds finished writes).
TEST(Rfc2217Transport, CommandsReachTheServerAndSettingsItChangesAreRefusedAndPutBack) {
  Scripted port;
  ASSERT_EQ(port.error(), p::ERROR_SUCCESS) << port.why();
  auto refused = std::async(std::launch::async, [&] {
    return SetLine(port.handle(), 115200, 7, p::NOPARITY, p::TWOSTOPBITS);
  });
  EXPECT_EQ(port.ReadUntil(Command(5, {1})),
            Join({Command(1, {0, 1, 0xC2, 0}), Command(2, {7}), Command(3, {1}), Command(4, {2}),
                  Command(5, {1})}));
  port.Send(Join({Command(101, {0, 1, 0xC2, 0}), Command(102, {8}), Command(103, {1}),
                  Command(104, {2}), Command(105, {1})}));
  // Back to 9600 baud and one stop bit; flow control asked for.
  EXPECT_EQ(port.ReadUntil(Command(5, {0})),
            Join({Command(1, {0, 0, 0x25, 0x80}), Command(4, {1}), Command(5, {0})}));
  port.Send(kSettings);
  EXPECT_EQ(refused.get(), p::ERROR_INVALID_PARAMETER);
  kavrel::DCB dcb{};
  ASSERT_TRUE(p::GetCommState(port.handle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.StopBits, p::ONESTOPBIT);

  auto kept = std::async(std::launch::async, [&] {
    return SetLine(port.handle(), 9600, 8, p::NOPARITY, p::ONESTOPBIT);
  });
  port.ReadUntil(Command(5, {1}));
  port.Send(kSettings);
  EXPECT_EQ(kept.get(), p::ERROR_SUCCESS);
  EXPECT_EQ(port.ReadUntil(Command(5, {11})), Join({Command(5, {8}), Command(5, {11})}));
  ASSERT_TRUE(p::PurgeComm(port.handle(), p::PURGE_TXCLEAR | p::PURGE_TXABORT));
  ASSERT_TRUE(p::PurgeComm(port.handle(), p::PURGE_RXCLEAR));
  EXPECT_EQ(port.ReadUntil(Command(12, {1})), Command(12, {1}));
}

TEST(Rfc2217Transport, AServerThatNeverNegotiatesFailsTheOpenAtTheBound) {
  Scripted port(
      [](Scripted& server) {
        server.ReadUntil({IAC, WILL, kComPort});
      },
      0, std::chrono::milliseconds(200));
  EXPECT_EQ(port.error(), p::ERROR_SEM_TIMEOUT);
  EXPECT_NE(port.why().find("no RFC 2217 negotiation"), std::string::npos) << port.why();
}

TEST(Rfc2217Transport, ControlsTravelAsSetControlAndTheModemLinesAreTheServersReport) {
  Scripted port;
  ASSERT_EQ(port.error(), p::ERROR_SUCCESS) << port.why();
  kavrel::DWORD lines = 0;
  EXPECT_FALSE(p::GetCommModemStatus(port.handle(), &lines));  // nothing reported yet
  EXPECT_EQ(p::GetLastError(), p::ERROR_NOT_SUPPORTED);

  ASSERT_TRUE(p::EscapeCommFunction(port.handle(), p::SETDTR));
  ASSERT_TRUE(p::EscapeCommFunction(port.handle(), p::CLRRTS));
  ASSERT_TRUE(p::EscapeCommFunction(port.handle(), p::SETBREAK));
  ASSERT_TRUE(p::EscapeCommFunction(port.handle(), p::CLRBREAK));
  EXPECT_EQ(port.ReadUntil(Command(5, {6})),
            Join({Command(5, {8}), Command(5, {12}), Command(5, {5}), Command(5, {6})}));

  // CTS changed, CTS and DSR on: the wait hears of it and the lines read so.
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_CTS));
  kavrel_platform_test::Request wait(port.handle());
  kavrel::DWORD mask = 0;
  p::WaitCommEvent(port.handle(), &mask, wait.get());
  port.Send(Command(107, {0x31}));
  ASSERT_TRUE(wait.Signalled(kavrel_platform_test::kPatienceMs));
  EXPECT_EQ(mask, p::EV_CTS);
  ASSERT_TRUE(p::GetCommModemStatus(port.handle(), &lines));
  EXPECT_EQ(lines, p::MS_CTS_ON | p::MS_DSR_ON);

  // What the open found comes back: 9600 baud again after 115200.
  auto changed = std::async(std::launch::async, [&] {
    return SetLine(port.handle(), 115200, 8, p::NOPARITY, p::ONESTOPBIT);
  });
  port.ReadUntil(Command(5, {1}));
  port.Send(Join({Command(101, {0, 1, 0xC2, 0}), Command(102, {8}), Command(103, {1}),
                  Command(104, {1}), Command(105, {1})}));
  ASSERT_EQ(changed.get(), p::ERROR_SUCCESS);
  port.ReadUntil(Command(5, {11}));  // RTS, raised as the DCB asks
  auto restored =
      std::async(std::launch::async, [&] { return p::RestoreCommState(port.handle(), nullptr); });
  EXPECT_EQ(port.ReadUntil(Command(5, {0})),
            Join({Command(1, {0, 0, 0x25, 0x80}), Command(5, {0})}));
  port.Send(kSettings);
  EXPECT_TRUE(restored.get());
  // Everything sent has reached the server.
  EXPECT_TRUE(p::FlushFileBuffers(port.handle()));
}

}  // namespace

// fork() without exec: the child's copy of the connection is closed, so once
// the parent closes the port the server sees the connection end, though the
// child lives on (and would otherwise hold the server's port for it).
TEST(Rfc2217Transport, AForkedChildDoesNotKeepTheConnection) {
  Scripted port;
  ASSERT_EQ(port.error(), p::ERROR_SUCCESS) << port.why();
  int resume[2];
  ASSERT_EQ(pipe2(resume, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(resume[1]);
    char byte;
    (void)!read(resume[0], &byte, 1);
    _exit(0);
  }
  close(resume[0]);
  port.Close();
  EXPECT_TRUE(port.Ends()) << "the child kept the connection open";
  close(resume[1]);
  waitpid(child, nullptr, 0);
}
