#include "session.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "kavrel/host.h"
#include "port_names.h"
#include "settings_reason.h"
#include "text_format.h"

namespace kavrel_term {

namespace {

// SetSerial's stop-bit argument: 1 and 2 mean themselves, any other value
// asks for one and a half.
constexpr int kOneAndAHalfStopBits = 15;

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
         " data bits, " + options.stopBits +
         (options.stopBits == "1" ? " stop bit, " : " stop bits, ") +
         (parity == "none" ? std::string("no parity") : parity + " parity");
}

std::string ShortLine(const LineOptions& options) {
  const char parity =
      static_cast<char>(std::toupper(static_cast<unsigned char>(options.parity[0])));
  return std::to_string(options.dataBits) + parity + options.stopBits;
}

HostHooks::HostHooks() {
  kavrel::SetMessageBoxHandler([](const char* gbkText) {
    const std::string text = GbkToUtf8(gbkText);
    std::lock_guard<std::mutex> lock(Messages().mutex);
    Messages().texts.push_back(text);
  });
}

HostHooks::~HostHooks() {
  // The message-box default prints on stderr, which is right for anything
  // raised after kavrel-term has stopped listening.
  kavrel::SetMessageBoxHandler({});
}

void HostHooks::ShowTrace() {
  // The handler stays for the library's unload line at process exit, after
  // kavrel-term's statics are gone: it uses none.
  kavrel::SetTraceHandler([](const char* line) {
    std::fprintf(stderr, "kavrel-term: trace: %s", EscapeControlBytes(line).c_str());
  });
}

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
      return name + ": settings refused: " +
             ExplainRefusedSettings(options.baud, options.dataBits, options.stopBits) +
             " (asked for " + DescribeLine(options) + "; the library says " + refused + ")";
    }
    return name + ": " + OpenFailureReason(DevicePathFor(name));
  }

  if (!options.capture.empty()) {
    // OpenSerial starts without a capture stream; the host attaches one now,
    // before any listener runs. CloseSerial closes it. An existing file is
    // added to, never emptied.
    std::FILE* capture = std::fopen(options.capture.c_str(), "ab");
    if (capture == nullptr) {
      const std::string reason = std::strerror(errno);
      port.CloseSerial();
      return "cannot write capture file " + options.capture + ": " + reason;
    }
    port.captureStream = capture;
  }
  return std::string();
}

}  // namespace kavrel_term
