#include "network_port.h"

#include <atomic>

#include "kavrel/errors.h"
#include "kavrel/named_ports.h"
#include "port_fixture.h"
#include "support/random_bytes.h"

namespace kavrel_network_test {

namespace {

namespace p = kavrel::platform;
using kavrel_platform_test::Request;

std::string NextName() {
  static std::atomic<int> next{0};
  return "net" + std::to_string(next++ % 1000000);
}

}  // namespace

NetworkPort::NetworkPort(const std::string& url) {
  const std::string name = NextName();
  if (!kavrel::NamePort(name.c_str(), url.c_str())) {
    error_ = kavrel::GetLastErrorReason().code;
    reason_ = kavrel::GetLastErrorReason().text;
    return;
  }
  handle_ = p::CreateFileA(kavrel_platform_test::DevicePath(name).c_str(),
                           p::GENERIC_READ | p::GENERIC_WRITE, 0, nullptr, p::OPEN_EXISTING,
                           p::FILE_FLAG_OVERLAPPED, 0);
  if (!ok()) {
    error_ = p::GetLastError();
    reason_ = p::LastErrorDetail();
  }
  kavrel::RemovePortName(name.c_str());
}

NetworkPort::~NetworkPort() { Close(); }

void NetworkPort::Close() {
  if (ok()) p::CloseHandle(handle_);
  handle_ = kavrel::INVALID_HANDLE_VALUE;
}

kavrel::DWORD SetLine(kavrel::HANDLE port, kavrel::DWORD baudRate, kavrel::BYTE byteSize,
                      kavrel::BYTE parity, kavrel::BYTE stopBits) {
  kavrel::DCB dcb{};
  if (!p::GetCommState(port, &dcb)) return p::GetLastError();
  dcb.BaudRate = baudRate;
  dcb.ByteSize = byteSize;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  return p::SetCommState(port, &dcb) ? p::ERROR_SUCCESS : p::GetLastError();
}

kavrel::DWORD WriteAll(kavrel::HANDLE port, const Bytes& data, kavrel::DWORD timeoutMs) {
  Request write(port);
  kavrel::DWORD count = 0;
  kavrel::DWORD error = p::ERROR_SUCCESS;
  if (!p::WriteFile(port, data.data(), static_cast<kavrel::DWORD>(data.size()), nullptr,
                    write.get()) &&
      p::GetLastError() != p::ERROR_IO_PENDING) {
    return p::GetLastError();
  }
  write.Signalled(timeoutMs);
  write.Result(&count, &error);
  return error == p::ERROR_SUCCESS && count != data.size() ? p::ERROR_GEN_FAILURE : error;
}

Bytes ReadExactly(kavrel::HANDLE port, std::size_t count, kavrel::DWORD timeoutMs) {
  Bytes data(count);
  Request read(port);
  kavrel::DWORD got = 0;
  kavrel::DWORD error = p::ERROR_SUCCESS;
  if (!p::ReadFile(port, data.data(), static_cast<kavrel::DWORD>(count), nullptr, read.get()) &&
      p::GetLastError() != p::ERROR_IO_PENDING) {
    return Bytes();
  }
  read.Signalled(timeoutMs);
  read.Result(&got, &error);
  data.resize(got);
  return data;
}

Bytes Traffic(std::uint32_t seed) {
  Bytes bytes;
  for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.insert(bytes.end(), 300, 0xFF);
  const std::vector<unsigned char> random = kavrel_test::RandomBytes(4096, seed);
  bytes.insert(bytes.end(), random.begin(), random.end());
  bytes.insert(bytes.end(), 3, 0xFF);
  return bytes;
}

}  // namespace kavrel_network_test
