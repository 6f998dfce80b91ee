#include "session.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "kavrel/errors.h"
#include "kavrel/host.h"
#include "kavrel/named_ports.h"
#include "kavrel/port_control.h"
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

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

kavrel::FlowControl FlowKind(const std::string& flow) {
  if (flow == "rtscts") return kavrel::FlowControl::kRtsCts;
  if (flow == "xonxoff") return kavrel::FlowControl::kXonXoff;
  if (flow == "dtrdsr") return kavrel::FlowControl::kDtrDsr;
  return kavrel::FlowControl::kNone;
}

// The library's name for a path PORT: one name for the process is enough,
// since a process opens one such port. A name beginning with '_' is one a
// ports file is unlikely to hold, and the process's own names come first.
std::string PathPortName() { return "_" + std::to_string(getpid()); }

// The choices the open applies: flow control, the time-outs and restoring
// the line on close. False with why when the library refuses one.
bool ChooseBeforeOpen(SerialCtl& port, const LineOptions& options, std::string& why) {
  kavrel::SetRestoreOnClose(port, options.restoreOnClose);
  kavrel::FlowSettings flow;
  flow.kind = FlowKind(options.flow);
  flow.xon = static_cast<char>(options.xon);
  flow.xoff = static_cast<char>(options.xoff);
  if (!kavrel::SetFlowControl(port, flow)) {
    why = "--flow " + options.flow + ": " + LibraryReason();
    return false;
  }
  if (options.readWaitMs != 0) {
    kavrel::PortTimeouts timeouts;
    timeouts.readWaitMs = options.readWaitMs;
    if (!kavrel::SetTimeouts(port, timeouts)) {
      why = "cannot choose the read wait: " + LibraryReason();
      return false;
    }
  }
  return true;
}

// DTR and RTS, set on the open port so that a port without modem lines
// refuses them (on a closed port the library keeps the level for later).
bool SetModemOutputs(SerialCtl& port, const LineOptions& options, std::string& why) {
  if (!options.dtr.empty() && !kavrel::SetDtr(port, options.dtr == "on")) {
    why = "--dtr " + options.dtr + ": " + LibraryReason();
    return false;
  }
  if (!options.rts.empty() && !kavrel::SetRts(port, options.rts == "on")) {
    why = "--rts " + options.rts + ": " + LibraryReason();
    return false;
  }
  return true;
}

}  // namespace

std::string DescribeLine(const LineOptions& options) {
  const std::string parity = Lower(options.parity);
  static const char* const kFlowNames[] = {"", ", RTS/CTS flow control", ", XON/XOFF flow control",
                                           ", DTR/DSR flow control"};
  return std::to_string(options.baud) + " baud, " + std::to_string(options.dataBits) +
         " data bits, " + options.stopBits +
         (options.stopBits == "1" ? " stop bit, " : " stop bits, ") +
         (parity == "none" ? std::string("no parity") : parity + " parity") +
         kFlowNames[static_cast<int>(FlowKind(options.flow))];
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

std::string LibraryReason() {
  const kavrel::ErrorReason reason = kavrel::GetLastErrorReason();
  return reason.text + " (error " + std::to_string(reason.code) + ")";
}

bool IsDevicePath(const std::string& port) { return !port.empty() && port[0] == '/'; }

std::string OpenPort(SerialCtl& port, const LineOptions& options) {
  // Messages name the port as the user typed it.
  const std::string& shown = options.port;
  std::string name = options.port;
  if (IsDevicePath(options.port)) {
    // The library takes names of up to 9 characters; a path gets one. Where
    // the path leads is checked at the open, as for any port.
    name = PathPortName();
    if (!kavrel::NamePort(name.c_str(), options.port.c_str()))
      return shown + ": " + LibraryReason();
  }

  const std::string parity = Lower(options.parity);
  const int stopBits = options.stopBits == "2"   ? 2
                       : options.stopBits == "1" ? 1
                                                 : kOneAndAHalfStopBits;
  port.SetSerial(name.c_str(), options.baud, options.dataBits, stopBits,
                 parity == "odd"    ? "ODD"
                 : parity == "even" ? "EVEN"
                                    : "NONE",
                 options.capture.c_str());
  // A name SetSerial refuses is not stored; its reason is the better one
  // (the open would only say there is no name).
  if (!name.empty() && port.portName[0] == '\0') return shown + ": " + LibraryReason();
  std::string why;
  if (!ChooseBeforeOpen(port, options, why)) return shown + ": " + why;

  HostHooks::TakeMessages();  // the settings message box says less than the reason
  port.OpenSerial();
  if (!port.IsSerialOpen()) {
    const kavrel::ErrorReason reason = kavrel::GetLastErrorReason();
    HostHooks::TakeMessages();
    port.CloseSerial();
    std::string line = shown + ": " + reason.text + " (error " + std::to_string(reason.code);
    if (reason.code == kavrel::kErrorRefused) line += "; asked for " + DescribeLine(options);
    return line + ")";
  }
  if (!SetModemOutputs(port, options, why)) {
    port.CloseSerial();
    return shown + ": " + why;
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
