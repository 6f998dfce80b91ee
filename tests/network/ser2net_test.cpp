// A network port through a real server: ser2net on 127.0.0.1 with a pty pair
// behind it, the test driving the pty master as the device; and pyserial's
// RFC 2217 client on the same ser2net as the reference.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"
#include "kavrel/named_ports.h"
#include "network_port.h"
#include "port_fixture.h"
#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/ser2net_server.h"

namespace {

namespace p = kavrel::platform;
using kavrel_network_test::Bytes;
using kavrel_network_test::NetworkPort;
using kavrel_network_test::ReadExactly;
using kavrel_network_test::SetLine;
using kavrel_network_test::Traffic;
using kavrel_network_test::WriteAll;
using kavrel_platform_test::Request;
using kavrel_platform_test::Status;
using kavrel_test::ChildProcess;
using kavrel_test::PtyPair;
using kavrel_test::Ser2netServer;

constexpr std::chrono::milliseconds kPatience{30000};

Bytes FromMaster(PtyPair& pair, std::size_t count, std::chrono::milliseconds patience = kPatience) {
  const std::vector<unsigned char> read = pair.ReadExactly(count, patience);
  return Bytes(read.begin(), read.end());
}

// A port opened through ser2net on the slave of a pty pair, at 115200 8N1.
class Ser2net : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
    if (!pair_.ok()) GTEST_SKIP() << "no pty here";
    server_ = std::make_unique<Ser2netServer>(pair_.path());
    ASSERT_TRUE(server_->ok()) << server_->error();
    port_ = std::make_unique<NetworkPort>(server_->url());
    ASSERT_TRUE(port_->ok()) << port_->reason();
    ASSERT_EQ(SetLine(port_->handle(), 115200, 8, p::NOPARITY, p::ONESTOPBIT), p::ERROR_SUCCESS);
  }
  kavrel::HANDLE handle() const { return port_->handle(); }

  PtyPair pair_;
  std::unique_ptr<Ser2netServer> server_;
  std::unique_ptr<NetworkPort> port_;
};

// Every byte value and runs of 0xFF, then 10 MiB, each way at once.
TEST_F(Ser2net, EveryByteValueAndTenMebibytesEachWayAtOnceArriveIntact) {
  constexpr kavrel::DWORD kLongPatienceMs = 100000;
  Bytes out = Traffic(1), in = Traffic(2);
  for (auto* stream : {&out, &in}) {
    const std::vector<unsigned char> bulk = kavrel_platform_test::Pattern(10 << 20, stream == &in);
    stream->insert(stream->end(), bulk.begin(), bulk.end());
  }
  auto written =
      std::async(std::launch::async, [&] { return WriteAll(handle(), out, kLongPatienceMs); });
  auto arrived = std::async(std::launch::async, [&] {
    return pair_.ReadExactly(out.size(), std::chrono::milliseconds(kLongPatienceMs));
  });
  auto sent = std::async(std::launch::async, [&] {
    return pair_.WriteAll(in.data(), in.size(), std::chrono::milliseconds(kLongPatienceMs));
  });
  const Bytes received = ReadExactly(handle(), in.size(), kLongPatienceMs);
  EXPECT_EQ(written.get(), p::ERROR_SUCCESS);
  EXPECT_TRUE(sent.get());
  EXPECT_TRUE(arrived.get() == out) << "the device's side differs";
  EXPECT_TRUE(received == in) << "the port's side differs";
}

// Every framing a UART takes, as far as the pty behind ser2net keeps it: a
// pty forces 8 data bits without parity, but keeps the speed, the stop bits
// and the parity's odd and stick flags ser2net sets. 1.5 stop bits ser2net
// never answers, which refuses them. Mark and space come last: ser2net 4.3
// leaves the stick flag set when it is asked for another parity after them,
// and then answers odd as mark and even as space, which the port refuses.
TEST_F(Ser2net, EveryFramingIsReportedAsTheServerAnswersAndReachesThePty) {
  for (kavrel::BYTE parity = p::NOPARITY; parity <= p::SPACEPARITY; ++parity) {
    for (kavrel::BYTE dataBits = 5; dataBits <= 8; ++dataBits) {
      const kavrel::BYTE stopBits = dataBits == 5 ? p::ONE5STOPBITS : p::TWOSTOPBITS;
      for (kavrel::BYTE stop : {p::ONESTOPBIT, stopBits}) {
        const kavrel::DWORD baud = parity % 2 == 0 ? 9600 : 115200;
        const std::string row =
            std::to_string(dataBits) + "/" + std::to_string(parity) + "/" + std::to_string(stop);
        kavrel::DCB before{};
        ASSERT_TRUE(p::GetCommState(handle(), &before));
        const kavrel::DWORD error = SetLine(handle(), baud, dataBits, parity, stop);
        kavrel::DCB now{};
        ASSERT_TRUE(p::GetCommState(handle(), &now));
        if (stop == p::ONE5STOPBITS) {
          EXPECT_EQ(error, p::ERROR_INVALID_PARAMETER) << row;
          EXPECT_EQ(now.BaudRate, before.BaudRate) << row;
          EXPECT_EQ(now.StopBits, before.StopBits) << row;
          continue;
        }
        ASSERT_EQ(error, p::ERROR_SUCCESS) << row;
        EXPECT_EQ(now.BaudRate, baud) << row;
        EXPECT_EQ(now.ByteSize, dataBits) << row;
        EXPECT_EQ(now.Parity, parity) << row;
        EXPECT_EQ(now.StopBits, stop) << row;
        // A pty's master reads its slave's settings.
        termios line{};
        ASSERT_EQ(tcgetattr(pair_.master(), &line), 0);
        EXPECT_EQ(cfgetospeed(&line), baud == 9600 ? B9600 : B115200) << row;
        EXPECT_EQ((line.c_cflag & CSTOPB) != 0, stop == p::TWOSTOPBITS) << row;
        if (parity != p::NOPARITY) {
          const bool odd = parity == p::ODDPARITY || parity == p::MARKPARITY;
          const bool stick = parity == p::MARKPARITY || parity == p::SPACEPARITY;
          EXPECT_EQ((line.c_cflag & PARODD) != 0, odd) << row;
          EXPECT_EQ((line.c_cflag & CMSPAR) != 0, stick) << row;
        }
      }
    }
  }
}

// A purge travels to the server as a command, in the stream's order: what
// the host sends after it, and the device's answer to that, are kept.
TEST_F(Ser2net, PurgeDropsWhatHasArrivedAndKeepsTheAnswerToWhatFollows) {
  const std::string old = "stale bytes";
  ASSERT_TRUE(pair_.WriteAll(old.data(), old.size()));
  ASSERT_TRUE(kavrel_platform_test::WaitForInputQueued(handle(), old.size()));
  ASSERT_TRUE(p::PurgeComm(handle(), p::PURGE_RXCLEAR | p::PURGE_TXCLEAR));
  EXPECT_EQ(Status(handle()).cbInQue, 0u);
  const Bytes request = Traffic(3), answer = Traffic(4);
  ASSERT_EQ(WriteAll(handle(), request), p::ERROR_SUCCESS);
  EXPECT_EQ(FromMaster(pair_, request.size()), request);
  ASSERT_TRUE(pair_.WriteAll(answer.data(), answer.size()));
  EXPECT_EQ(ReadExactly(handle(), answer.size()), answer);
}

// The host's calls through a name: the listener announces what comes, and
// blocks written one after another (each ends with a transmit purge) all
// reach the device.
TEST_F(Ser2net, SerialCtlDrivesAPortOpenedByNameBothWays) {
  port_->Close();
  kavrel::MessageQueue window;
  kavrel::SetMainWindow(&window);
  ASSERT_TRUE(kavrel::NamePort("lab1", server_->url().c_str()));
  SerialCtl serial;
  serial.SetSerial("lab1", 115200, 8, 1, "NONE", "");
  serial.OpenSerial();
  ASSERT_TRUE(serial.IsSerialOpen());
  serial.ListenSerial(0, 0);
  const Bytes sent = Traffic(5);
  ASSERT_TRUE(pair_.WriteAll(sent.data(), sent.size()));
  Bytes received;
  std::vector<unsigned char> staging(SerialCtl::kStagingSize);
  kavrel::Message message{};
  while (received.size() < sent.size() && window.Wait(message, 30000)) {
    if (message.message != KAVREL_WM_DATA_READY) continue;
    int count = 0;
    serial.ReadSerial(staging.data(), count);
    received.insert(received.end(), staging.begin(), staging.begin() + count);
  }
  EXPECT_EQ(received, sent);

  const std::vector<unsigned char> blocks = kavrel_platform_test::Pattern(2 << 20, 8);
  auto arrived = std::async(std::launch::async, [&] { return pair_.ReadExactly(blocks.size()); });
  for (std::size_t done = 0; done < blocks.size(); done += 65536) {
    ASSERT_EQ(serial.WriteSerial(blocks.data() + done, 65536), 1);
  }
  EXPECT_TRUE(arrived.get() == blocks);
  serial.CloseSerial();
  kavrel::SetMainWindow(nullptr);
  kavrel::RemovePortName("lab1");
}

TEST_F(Ser2net, AServerKilledMidTransferEndsEveryCallAndKeepsWhatCame) {
  // A write the pty cannot take yet (no one reads the master), and bytes
  // that came and were announced before the server goes.
  const Bytes big(8 << 20, 0x5A);
  Request write(handle());
  ASSERT_FALSE(p::WriteFile(handle(), big.data(), static_cast<kavrel::DWORD>(big.size()), nullptr,
                            write.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  const std::string last = "last words before the server went";
  ASSERT_TRUE(pair_.WriteAll(last.data(), last.size()));
  ASSERT_TRUE(kavrel_platform_test::WaitForInputQueued(handle(), last.size()));
  kavrel::DWORD mask = 0;
  Request wait(handle());
  ASSERT_FALSE(p::WaitCommEvent(handle(), &mask, wait.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);

  server_->Kill();
  kavrel::DWORD count = 0, error = 0;
  EXPECT_FALSE(write.Result(&count, &error));
  EXPECT_EQ(error, p::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(wait.Result(&count, &error));
  EXPECT_EQ(error, p::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Status(handle()).cbInQue, last.size());
  const Bytes kept = ReadExactly(handle(), last.size());
  EXPECT_EQ(std::string(kept.begin(), kept.end()), last);
  // Everything later fails at once.
  EXPECT_EQ(WriteAll(handle(), Bytes{1}), p::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(ReadExactly(handle(), 1).empty());
  kavrel::DCB dcb{};
  EXPECT_FALSE(p::GetCommState(handle(), &dcb));
}

TEST(Ser2netAbsent, NothingListeningFailsTheOpenAtOnceWithItsReason) {
  // A port bound but not listening refuses every connection: no server.
  const int bound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  NetworkPort port("rfc2217://" + endpoint);
  close(bound);
  EXPECT_FALSE(port.ok());
  EXPECT_EQ(port.error(), p::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(port.reason(), "rfc2217://" + endpoint + ": cannot connect: Connection refused");
}

TEST(Ser2netAbsent, APlainTelnetServerIsRefused) {
  if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  Ser2netServer server(pair.path(), "9600n81", Ser2netServer::Protocol::kTelnet);
  ASSERT_TRUE(server.ok()) << server.error();
  NetworkPort port(server.url());
  EXPECT_FALSE(port.ok());
  EXPECT_EQ(port.error(), p::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(port.reason(), server.url() + ": the server does not speak COM-PORT-OPTION (RFC 2217)");
}

// Copies between two pty masters until it goes: two devices wired to each
// other.
class Wire {
 public:
  Wire(int a, int b) : stop_(eventfd(0, EFD_CLOEXEC)), thread_([=] { Run(a, b); }) {}
  ~Wire() {
    const std::uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
    close(stop_);
  }

 private:
  void Run(int a, int b) {
    for (;;) {
      pollfd ready[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(ready, 3, -1) < 0 || ready[2].revents != 0) return;
      for (int i = 0; i < 2; ++i) {
        unsigned char buffer[4096];
        const ssize_t got = (ready[i].revents & POLLIN) != 0 ? read(ready[i].fd, buffer, 4096) : 0;
        for (ssize_t done = 0; done < got;) {
          const ssize_t put =
              write(ready[1 - i].fd, buffer + done, static_cast<size_t>(got - done));
          if (put <= 0) return;
          done += put;
        }
      }
    }
  }

  int stop_;
  std::thread thread_;
};

// Kavrel on one port of a ser2net, pyserial's client on another, the two
// ttys behind them wired together: each must read exactly what the other
// wrote, so both speak the protocol ser2net speaks.
TEST(Ser2netWithPyserial, KavrelAndPyserialExchangeTheSameBytesThroughOneSer2net) {
  if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  PtyPair kavrelSide, pyserialSide;
  if (!kavrelSide.ok() || !pyserialSide.ok()) GTEST_SKIP() << "no pty here";
  const std::string python = kavrel_test::FindPythonWith("serial.rfc2217");
  if (python.empty()) GTEST_SKIP() << "no python3 with pyserial";
  char scratch[] = "/tmp/kavrel-network-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  const std::string send = std::string(scratch) + "/send",
                    receive = std::string(scratch) + "/receive",
                    output = std::string(scratch) + "/peer";
  Ser2netServer server(std::vector<std::string>{kavrelSide.path(), pyserialSide.path()});
  ASSERT_TRUE(server.ok()) << server.error();
  Wire wire(kavrelSide.master(), pyserialSide.master());
  NetworkPort port(server.url(0));
  ASSERT_TRUE(port.ok()) << port.reason();

  const Bytes fromKavrel = Traffic(6), fromPyserial = Traffic(7);
  std::ofstream(send, std::ios::binary)
      .write(reinterpret_cast<const char*>(fromPyserial.data()),
             static_cast<std::streamsize>(fromPyserial.size()));
  ChildProcess peer;
  std::string error;
  ASSERT_TRUE(peer.Start(python,
                         {python, KAVREL_RFC2217_PEER, server.url(1), send, receive,
                          std::to_string(fromKavrel.size())},
                         output, &error))
      << error;
  // Once pyserial's bytes are here its port is open, and what is written
  // now reaches it (ser2net may flush a tty as a client connects).
  EXPECT_EQ(ReadExactly(port.handle(), fromPyserial.size()), fromPyserial);
  ASSERT_EQ(WriteAll(port.handle(), fromKavrel), p::ERROR_SUCCESS);
  int status = 0;
  ASSERT_TRUE(peer.WaitForExit(kPatience, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::ifstream received(receive, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(received), std::istreambuf_iterator<char>()),
            fromKavrel);
  for (const std::string& file : {send, receive, output}) unlink(file.c_str());
  rmdir(scratch);
}

}  // namespace
