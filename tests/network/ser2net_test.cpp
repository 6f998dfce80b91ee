// The ser2net harness with the reference client, pyserial's RFC 2217
// client, exchanging every byte value both ways with the pty behind ser2net.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/random_bytes.h"
#include "support/ser2net_server.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kavrel_test::ChildProcess;
using kavrel_test::Ser2netServer;

constexpr std::chrono::milliseconds kPatience{30000};

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

// A private directory for the files of one exchange, removed with them.
struct Scratch {
  Scratch() {
    if (mkdtemp(path) == nullptr) path[0] = '\0';
  }
  ~Scratch() {
    for (const char* leaf : {"send", "receive", "peer"}) unlink(File(leaf).c_str());
    rmdir(path);
  }
  std::string File(const char* leaf) const { return std::string(path) + "/" + leaf; }
  char path[32] = "/tmp/kavrel-network-XXXXXX";
};

TEST(Ser2net, PyserialExchangesEveryByteValueBothWaysWithThePtyBehindIt) {
  if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  Scratch scratch;
  ASSERT_NE(scratch.path[0], '\0');
  const std::string python = kavrel_test::FindPythonWith("serial.rfc2217");
  if (python.empty()) GTEST_SKIP() << "no python3 with pyserial";
  Ser2netServer server(pair.path());
  ASSERT_TRUE(server.ok()) << server.error();

  const Bytes toDevice = Traffic(1), fromDevice = Traffic(2);
  std::ofstream(scratch.File("send"), std::ios::binary)
      .write(reinterpret_cast<const char*>(toDevice.data()),
             static_cast<std::streamsize>(toDevice.size()));
  ChildProcess peer;
  std::string error;
  ASSERT_TRUE(peer.Start(python,
                         {python, KAVREL_RFC2217_PEER, server.url(), scratch.File("send"),
                          scratch.File("receive"), std::to_string(fromDevice.size())},
                         scratch.File("peer"), &error))
      << error;
  // The device answers once pyserial's bytes are through: ser2net opens the
  // pty when a client connects, and may flush what was there.
  EXPECT_EQ(pair.ReadExactly(toDevice.size(), kPatience), toDevice);
  ASSERT_TRUE(pair.WriteAll(fromDevice.data(), fromDevice.size()));
  int status = 0;
  ASSERT_TRUE(peer.WaitForExit(kPatience, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::ifstream received(scratch.File("receive"), std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(received), std::istreambuf_iterator<char>()),
            fromDevice);
}

}  // namespace
