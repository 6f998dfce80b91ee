// The ser2net harness with real clients: pyserial's RFC 2217 client, the
// reference, and Kavrel's own RFC 2217 session over a plain socket, each
// exchanging every byte value both ways with the pty behind ser2net.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/linux/rfc2217_session.h"
#include "platform/linux/telnet_codec.h"
#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/random_bytes.h"
#include "support/ser2net_server.h"

namespace {

namespace r = kavrel::platform::driver::rfc2217;
namespace t = kavrel::platform::driver::telnet;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using kavrel_test::ChildProcess;
using kavrel_test::PtyPair;
using kavrel_test::Ser2netServer;

constexpr std::chrono::seconds kPatience{30};

// Every byte value, runs of 0xFF (which Telnet doubles) and random bytes.
Bytes Traffic(std::uint32_t seed) {
  Bytes bytes;
  for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.insert(bytes.end(), 300, 0xFF);
  const std::vector<unsigned char> random = kavrel_test::RandomBytes(4096, seed);
  bytes.insert(bytes.end(), random.begin(), random.end());
  bytes.insert(bytes.end(), 3, 0xFF);
  return bytes;
}

// A private directory for a test's files.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/kavrel-network-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~Scratch() {
    for (const std::string& file : files_) unlink(file.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  std::string File(const std::string& leaf) {
    files_.push_back(path_ + "/" + leaf);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// The first python3 on PATH that has pyserial; empty when none has.
std::string PythonWithPyserial(Scratch& scratch) {
  const char* path = getenv("PATH");
  for (std::string rest = path == nullptr ? "" : path; !rest.empty();) {
    const std::size_t colon = rest.find(':');
    const std::string directory = rest.substr(0, colon);
    rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
    const std::string python = kavrel_test::FindProgram(directory + "/python3");
    if (directory.empty() || python.empty()) continue;
    ChildProcess probe;
    std::string error;
    int status = 0;
    if (probe.Start(python, {python, "-c", "import serial.rfc2217"}, scratch.File("probe.out"),
                    &error) &&
        probe.WaitForExit(kPatience, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      return python;
    }
  }
  return std::string();
}

Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(Ser2net, PyserialExchangesEveryByteValueBothWaysWithThePtyBehindIt) {
  if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  Scratch scratch;
  const std::string python = PythonWithPyserial(scratch);
  if (python.empty()) GTEST_SKIP() << "no python3 with pyserial";
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  Ser2netServer server(pair.path());
  ASSERT_TRUE(server.ok()) << server.error();

  const Bytes toDevice = Traffic(1);
  const Bytes fromDevice = Traffic(2);
  const std::string sendFile = scratch.File("send");
  const std::string receiveFile = scratch.File("receive");
  std::ofstream(sendFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(toDevice.data()),
             static_cast<std::streamsize>(toDevice.size()));
  ChildProcess peer;
  std::string error;
  ASSERT_TRUE(peer.Start(python,
                         {python, KAVREL_RFC2217_PEER, server.url(), sendFile, receiveFile,
                          std::to_string(fromDevice.size())},
                         scratch.File("peer.out"), &error))
      << error;

  // The device answers only once pyserial's bytes are through: ser2net
  // opens the pty when a client connects, and may flush what was there.
  EXPECT_EQ(pair.ReadExactly(toDevice.size(), kPatience), toDevice);
  ASSERT_TRUE(pair.WriteAll(fromDevice.data(), fromDevice.size()));
  int status = 0;
  ASSERT_TRUE(peer.WaitForExit(kPatience, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(ReadFile(receiveFile), fromDevice);
}

// A TCP connection driven by a ClientSession: what a network transport
// does, without the driver around it.
class SessionConnection {
 public:
  explicit SessionConnection(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~SessionConnection() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  bool Send(const Bytes& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Feeds what arrives to session, answering as it asks, until done() or
  // the connection ends (false, closed set) or kPatience passes (false).
  bool PumpUntil(const std::function<bool()>& done) {
    const auto end = Clock::now() + kPatience;
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd readable{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
        return false;
      }
      std::uint8_t buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed = true;
        return false;
      }
      Bytes replies;
      const std::size_t count =
          session.Receive(buffer, static_cast<std::size_t>(n), buffer, &replies);
      data.insert(data.end(), buffer, buffer + count);
      if (!replies.empty() && !Send(replies)) return false;
    }
    return true;
  }

  r::ClientSession session;
  Bytes data;
  bool closed = false;  // the server ended the connection

 private:
  int fd_ = -1;
};

TEST(Ser2net, TheSessionNegotiatesSetsAndCarriesEveryByteValueThroughTheRealServer) {
  if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  Ser2netServer server(pair.path());
  ASSERT_TRUE(server.ok()) << server.error();
  SessionConnection connection(server.port());
  ASSERT_TRUE(connection.ok());
  r::ClientSession& session = connection.session;

  Bytes out;
  session.Start(Clock::now(), kPatience, &out);
  ASSERT_TRUE(connection.Send(out));
  ASSERT_TRUE(connection.PumpUntil([&] {
    return session.negotiation(Clock::now()) != r::ClientSession::Negotiation::kPending;
  }));
  ASSERT_EQ(session.negotiation(Clock::now()), r::ClientSession::Negotiation::kReady)
      << session.refusal();

  // A setting is answered with the value the server uses.
  const std::uint32_t answered =
      session.server().answers[static_cast<int>(r::Command::kSetBaudRate)];
  out.clear();
  r::AppendSetBaudRate(115200, &out);
  ASSERT_TRUE(connection.Send(out));
  ASSERT_TRUE(connection.PumpUntil([&] {
    return session.server().answers[static_cast<int>(r::Command::kSetBaudRate)] > answered;
  }));
  EXPECT_EQ(session.server().baudRate, std::optional<std::uint32_t>(115200));

  const Bytes toDevice = Traffic(3);
  out.clear();
  t::AppendData(toDevice.data(), toDevice.size(), &out);
  ASSERT_TRUE(connection.Send(out));
  EXPECT_EQ(pair.ReadExactly(toDevice.size(), kPatience), toDevice);

  const Bytes fromDevice = Traffic(4);
  ASSERT_TRUE(pair.WriteAll(fromDevice.data(), fromDevice.size()));
  ASSERT_TRUE(connection.PumpUntil([&] { return connection.data.size() >= fromDevice.size(); }));
  EXPECT_EQ(connection.data, fromDevice);

  // Killed, the server leaves the connection closed behind it.
  server.Kill();
  EXPECT_FALSE(connection.PumpUntil([] { return false; }));
  EXPECT_TRUE(connection.closed);
  EXPECT_FALSE(server.ok());
}

}  // namespace
