#include "session.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "kavrel/host.h"
#include "port_names.h"
#include "text_format.h"

namespace kavrel_term {

namespace {

// SetSerial's stop-bit argument: 1 and 2 mean themselves, any other value
// asks for one and a half.
constexpr int kOneAndAHalfStopBits = 15;

// The trace handler may run when the library is unloaded at process exit,
// after kavrel-term's own statics are gone, so it uses only this flag, which
// has nothing to destroy.
std::atomic<bool> gVerboseTrace{false};

struct CollectedMessages {
  std::mutex mutex;
  std::vector<std::string> texts;
};

CollectedMessages& Messages() {
  static CollectedMessages* messages = new CollectedMessages;  // outlives every handler call
  return *messages;
}

}  // namespace

std::string DescribeLine(const LineOptions& options) {
  std::string parity = options.parity;
  for (char& c : parity) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::to_string(options.baud) + " baud, " + std::to_string(options.dataBits) +
         " data bits, " + options.stopBits + (options.stopBits == "1" ? " stop bit, " : " stop bits, ") +
         (parity == "none" ? std::string("no parity") : parity + " parity");
}

std::string ShortLine(const LineOptions& options) {
  const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(options.parity[0])));
  return std::to_string(options.dataBits) + parity + options.stopBits;
}

HostHooks::HostHooks() {
  kavrel::SetTraceHandler([](const char* line) {
    if (gVerboseTrace.load()) std::fprintf(stderr, "kavrel-term: trace: %s", line);
  });
  kavrel::SetMessageBoxHandler([](const char* gbkText) {
    const std::string text = GbkToUtf8(gbkText);
    std::lock_guard<std::mutex> lock(Messages().mutex);
    Messages().texts.push_back(text);
  });
}

HostHooks::~HostHooks() {
  // The message-box default prints on stderr, which is right for anything
  // raised after kavrel-term has stopped listening. The trace handler stays:
  // it keeps the library's unload line out of a script's stderr.
  kavrel::SetMessageBoxHandler({});
}

void HostHooks::ShowTrace(bool show) { gVerboseTrace.store(show); }

std::string HostHooks::TakeMessages() {
  std::lock_guard<std::mutex> lock(Messages().mutex);
  std::string joined;
  for (const std::string& text : Messages().texts) {
    if (!joined.empty()) joined += "; ";
    joined += text;
  }
  Messages().texts.clear();
  return joined;
}

std::string OpenPort(SerialCtl& port, const LineOptions& options) {
  const std::string name = NormalisePortName(options.port);
  const std::string problem = PortNameProblem(name);
  if (!problem.empty()) return options.port + ": " + problem;

  std::string parity = options.parity;
  for (char& c : parity) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const int stopBits = options.stopBits == "2"   ? 2
                       : options.stopBits == "1" ? 1
                                                 : kOneAndAHalfStopBits;

  HostHooks::TakeMessages();  // only what this open raises counts
  port.SetSerial(name.c_str(), options.baud, options.dataBits, stopBits, parity.c_str(),
                 options.capture.c_str());
  port.OpenSerial();
  if (!port.IsSerialOpen()) {
    const std::string refused = HostHooks::TakeMessages();
    port.CloseSerial();
    if (!refused.empty()) {
      return name + ": settings refused: " + refused + " (" + DescribeLine(options) + ")";
    }
    return name + ": " + OpenFailureReason(DevicePathFor(name));
  }

  if (!options.capture.empty()) {
    // OpenSerial starts without a capture stream; the host attaches one now,
    // before any listener runs. CloseSerial closes it.
    std::FILE* capture = std::fopen(options.capture.c_str(), "wb");
    if (capture == nullptr) {
      const std::string reason = std::strerror(errno);
      port.CloseSerial();
      return "cannot write capture file " + options.capture + ": " + reason;
    }
    port.captureStream = capture;
  }
  return std::string();
}

bool WriteAllToFd(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written > 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EAGAIN) {
      pollfd ready{fd, POLLOUT, 0};
      poll(&ready, 1, -1);
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace kavrel_term
