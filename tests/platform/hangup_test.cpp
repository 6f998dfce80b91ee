// A peer that hangs up: pending work ends at once with a failure, later work
// fails at once, and nothing already queued is lost.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "port_fixture.h"

namespace {

namespace p = kavrel::platform;
using kavrel::DWORD;
using kavrel::HANDLE;
using kavrel_platform_test::OpenPort;
using kavrel_platform_test::Request;
using kavrel_platform_test::Status;
using kavrel_platform_test::WaitForInputQueued;

void ExpectFailedWith(Request& request, DWORD expected) {
  ASSERT_TRUE(request.Signalled());
  DWORD count = 0;
  DWORD error = 0;
  EXPECT_FALSE(request.Result(&count, &error));
  EXPECT_EQ(error, expected);
}

// What every new transfer and wait on a gone device does: fail at once.
void ExpectEverythingFailsAtOnce(HANDLE device) {
  unsigned char byte = 0;
  DWORD mask = 0;
  Request read(device);
  Request write(device);
  Request wait(device);
  EXPECT_FALSE(p::ReadFile(device, &byte, 1, nullptr, read.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(p::WriteFile(device, &byte, 1, nullptr, write.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(p::SetCommMask(device, p::EV_RXCHAR));
  EXPECT_FALSE(p::WaitCommEvent(device, &mask, wait.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_DEVICE_NOT_CONNECTED);
  // The status query still answers.
  kavrel::COMSTAT status{};
  EXPECT_TRUE(p::ClearCommError(device, nullptr, &status));
  EXPECT_EQ(status.cbOutQue, 0u);
}

TEST(HangUp, EndsAPendingReadWithFailure) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  unsigned char buffer[10];
  Request read(port.handle());
  ASSERT_FALSE(p::ReadFile(port.handle(), buffer, sizeof buffer, nullptr, read.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  port.peer().HangUp();
  ExpectFailedWith(read, p::ERROR_DEVICE_NOT_CONNECTED);
  ExpectEverythingFailsAtOnce(port.handle());
}

TEST(HangUp, EndsAPendingWriteWithFailure) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  std::vector<unsigned char> big(1 << 20, 0x5A);
  Request write(port.handle());
  ASSERT_FALSE(p::WriteFile(port.handle(), big.data(), static_cast<DWORD>(big.size()), nullptr,
                            write.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  port.peer().HangUp();
  ExpectFailedWith(write, p::ERROR_DEVICE_NOT_CONNECTED);
  ExpectEverythingFailsAtOnce(port.handle());
}

TEST(HangUp, EndsAPendingEventWaitWithFailure) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR | p::EV_TXEMPTY));
  DWORD mask = 0;
  Request wait(port.handle());
  ASSERT_FALSE(p::WaitCommEvent(port.handle(), &mask, wait.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  port.peer().HangUp();
  ExpectFailedWith(wait, p::ERROR_DEVICE_NOT_CONNECTED);
  ExpectEverythingFailsAtOnce(port.handle());
}

TEST(HangUp, BytesQueuedBeforeTheHangUpAreStillDelivered) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const std::string sent = "last words before the line went";
  ASSERT_TRUE(port.peer().WriteAll(sent.data(), sent.size()));
  ASSERT_TRUE(WaitForInputQueued(port.handle(), static_cast<DWORD>(sent.size())));
  {
    // The wait tells when the device has noticed the hang-up.
    DWORD mask = 0;
    Request wait(port.handle());
    ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_TXEMPTY));
    ASSERT_FALSE(p::WaitCommEvent(port.handle(), &mask, wait.get()));
    port.peer().HangUp();
    ExpectFailedWith(wait, p::ERROR_DEVICE_NOT_CONNECTED);
  }
  ASSERT_EQ(Status(port.handle()).cbInQue, sent.size());
  std::string received(sent.size(), '\0');
  DWORD count = 0;
  Request read(port.handle());
  ASSERT_TRUE(p::ReadFile(port.handle(), &received[0], static_cast<DWORD>(received.size()), &count,
                          read.get()));
  EXPECT_EQ(count, sent.size());
  EXPECT_EQ(received, sent);
  ExpectEverythingFailsAtOnce(port.handle());
}

TEST(HangUp, BytesThatCameJustBeforeTheHangUpAreAnnouncedFirst) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR));
  // The answer arrives while nobody waits for an event (a read takes it, so
  // it is known to be in before the line goes), then the line goes; a second
  // read tells when the device has noticed.
  const std::string answer = "OK\r\n";
  std::string received(answer.size(), '\0');
  {
    Request read(port.handle());
    ASSERT_FALSE(p::ReadFile(port.handle(), &received[0], static_cast<DWORD>(received.size()),
                             nullptr, read.get()));
    ASSERT_TRUE(port.peer().WriteAll(answer.data(), answer.size()));
    DWORD count = 0;
    DWORD error = 0;
    ASSERT_TRUE(read.Result(&count, &error)) << error;
    EXPECT_EQ(received, answer);
  }
  unsigned char byte = 0;
  Request last(port.handle());
  ASSERT_FALSE(p::ReadFile(port.handle(), &byte, 1, nullptr, last.get()));
  port.peer().HangUp();
  ExpectFailedWith(last, p::ERROR_DEVICE_NOT_CONNECTED);

  // The next event request reports the bytes, and only the one after it the
  // hang-up.
  DWORD mask = 0;
  Request first(port.handle());
  ASSERT_TRUE(p::WaitCommEvent(port.handle(), &mask, first.get()));
  EXPECT_EQ(mask, p::EV_RXCHAR);
  Request second(port.handle());
  EXPECT_FALSE(p::WaitCommEvent(port.handle(), &mask, second.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_DEVICE_NOT_CONNECTED);
}

TEST(HangUp, AReadForMoreThanIsQueuedGetsTheRestAndThenFails) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(port.peer().WriteAll("tail", 4));
  ASSERT_TRUE(WaitForInputQueued(port.handle(), 4));
  {
    DWORD mask = 0;
    Request wait(port.handle());
    ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_TXEMPTY));
    ASSERT_FALSE(p::WaitCommEvent(port.handle(), &mask, wait.get()));
    port.peer().HangUp();
    ExpectFailedWith(wait, p::ERROR_DEVICE_NOT_CONNECTED);
  }
  unsigned char buffer[10] = {};
  DWORD count = 0;
  Request read(port.handle());
  EXPECT_FALSE(p::ReadFile(port.handle(), buffer, sizeof buffer, &count, read.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_DEVICE_NOT_CONNECTED);
  // The failed read still reports the bytes it delivered.
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "tail");
}

}  // namespace
