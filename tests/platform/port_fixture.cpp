#include "port_fixture.h"

#include <chrono>
#include <thread>

#include "platform/testing.h"

namespace kavrel_platform_test {

namespace p = kavrel::platform;

std::string DevicePath(const std::string& name) { return "\\\\.\\" + name; }

OpenPort::OpenPort() {
  if (!pair_.ok()) return;
  handle_ = p::CreateFileA(DevicePath(pair_.name()).c_str(), p::GENERIC_READ | p::GENERIC_WRITE, 0,
                           nullptr, p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
}

OpenPort::~OpenPort() { Close(); }

void OpenPort::Close() {
  if (ok()) p::CloseHandle(handle_);
  handle_ = 0;
}

Request::Request(HANDLE device, bool withEvent) : device_(device) {
  if (withEvent) overlapped_.hEvent = p::CreateEventA(nullptr, p::TRUE, p::FALSE, nullptr);
}

Request::~Request() {
  if (Pending()) {
    p::CancelIoEx(device_, &overlapped_);
    DWORD ignored = 0;
    p::GetOverlappedResult(device_, &overlapped_, &ignored, p::TRUE);
  }
  if (overlapped_.hEvent != 0) p::CloseHandle(overlapped_.hEvent);
}

bool Request::Signalled(DWORD timeoutMs) {
  return p::WaitForSingleObject(overlapped_.hEvent, timeoutMs) == p::WAIT_OBJECT_0;
}

bool Request::Pending() {
  DWORD ignored = 0;
  return !p::GetOverlappedResult(device_, &overlapped_, &ignored, p::FALSE) &&
         p::GetLastError() == p::ERROR_IO_INCOMPLETE;
}

bool Request::Result(DWORD* transferred, DWORD* error) {
  // Bounded, so that a request that never finishes fails its test instead
  // of hanging it.
  if (overlapped_.hEvent != 0 && !Signalled()) {
    *error = p::WAIT_TIMEOUT;
    return false;
  }
  const bool ok = p::GetOverlappedResult(device_, &overlapped_, transferred, p::TRUE) != p::FALSE;
  *error = ok ? p::ERROR_SUCCESS : p::GetLastError();
  return ok;
}

bool WaitForInputQueued(HANDLE device, DWORD count, DWORD timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!p::SetCommMask(device, p::EV_RXCHAR | p::EV_TXEMPTY)) return false;
  for (;;) {
    // The wait is in place before the count is taken, so bytes that arrive
    // in between still wake it.
    Request wait(device);
    DWORD mask = 0;
    if (p::WaitCommEvent(device, &mask, wait.get()) == p::FALSE &&
        p::GetLastError() != p::ERROR_IO_PENDING) {
      return false;
    }
    if (Status(device).cbInQue >= count) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !wait.Signalled(static_cast<DWORD>(left.count()))) return false;
  }
}

COMSTAT Status(HANDLE device) {
  COMSTAT status{};
  DWORD errors = 0;
  p::ClearCommError(device, &errors, &status);
  return status;
}

std::vector<unsigned char> Pattern(std::size_t size, unsigned seed) {
  std::vector<unsigned char> bytes(size);
  unsigned state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(state >> 16);
  }
  return bytes;
}

bool AwaitSleepingWaiters(std::size_t count, DWORD timeoutMs) {
  // Polled: a thread falling asleep signals nothing a test could wait for.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (p::testing::SleepingWaiters() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kavrel_platform_test
