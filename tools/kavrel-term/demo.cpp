// The demo drives the port exactly as a host application would: settings,
// open, a capture stream, the listener posting to a kavrel::MessageQueue,
// and for each command a WriteSerial followed by ReadSerial calls as the
// data-ready notifications arrive. The simulated instrument on the far end
// keeps its own transcript, so at the end the demo checks that every byte
// went each way unchanged and that the capture file holds every delivery.
#include "demo.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "instrument.h"
#include "instrument_thread.h"
#include "virtual_pair.h"

namespace kavrel_term {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kStatusPeriod{300};
constexpr std::chrono::milliseconds kReplyDeadline{2000};
constexpr unsigned kStatusLinesWanted = 2;

const char* const kScript[] = {
    "*IDN?",     "MEAS:VOLT?", "MEAS:CURR?", "MEAS:TEMP?", "CONF:RANGE 10?", "SYST:ERR?",
    "SYST:ERR?", "MEAS:VOLT?", "MEAS:VOLT?", "MEAS:VOLT?", "MEAS:VOLT?",     "MEAS:VOLT?",
};

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

std::string DefaultCapturePath() {
  const char* tmp = std::getenv("TMPDIR");
  std::string directory = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  return directory + "/kavrel-demo-" + std::to_string(getpid()) + ".cap";
}

void Fail(const std::string& line) {
  std::fprintf(stderr, "kavrel-term: demo failed: %s\n", line.c_str());
}

// The host's side of the exchange.
class DemoHost {
 public:
  DemoHost() : port_(new SerialCtl), buffer_(SerialCtl::kStagingSize) {}
  ~DemoHost() { Close(); }
  DemoHost(const DemoHost&) = delete;
  DemoHost& operator=(const DemoHost&) = delete;

  std::string Open(const LineOptions& line) {
    std::string error = OpenPort(*port_, line);
    if (!error.empty()) return error;
    kavrel::SetMainWindow(&queue_);
    port_->ListenSerial(line.settleMs, line.pollMs);
    return HostHooks::TakeMessages();
  }

  // Sends one command and waits for its reply line, printing status lines
  // that arrive meanwhile. False (with why) when no reply comes in time.
  bool Exchange(const std::string& command, std::string& reply, double& roundTripMs,
                std::string& why) {
    const std::string wire = command + "\r\n";
    const auto started = Clock::now();
    if (port_->WriteSerial(reinterpret_cast<const unsigned char*>(wire.data()), wire.size()) != 1) {
      why = "WriteSerial did not send \"" + command + "\": " + LibraryReason();
      return false;
    }
    bytesSent_ += wire.size();
    ++commands_;
    std::printf("  -> %s\n", command.c_str());
    const auto deadline = started + kReplyDeadline;
    while (!TakeReply(reply)) {
      if (!Pump(deadline)) {
        why = "no reply to \"" + command + "\" within " + std::to_string(kReplyDeadline.count()) +
              " ms";
        return false;
      }
    }
    roundTripMs = Milliseconds(Clock::now() - started);
    std::printf("  <- %-40s %7.2f ms\n", reply.c_str(), roundTripMs);
    return true;
  }

  // Keeps reading until the instrument has sent wanted status lines.
  bool AwaitStatusLines(unsigned wanted, std::string& why) {
    const auto deadline = Clock::now() + kStatusPeriod * (wanted + 2);
    while (statusLines_ < wanted) {
      if (!Pump(deadline)) {
        why = "the instrument's status lines stopped";
        return false;
      }
    }
    return true;
  }

  // Reads on until total bytes have arrived (what the instrument says it
  // sent), then stops listening. A pty hands bytes to the far side
  // asynchronously, so the last line can still be on its way.
  void DrainTo(std::size_t total) {
    const auto deadline = Clock::now() + kReplyDeadline;
    while (received_.size() < total && Pump(deadline)) {
    }
    port_->StopListenSerial();
    while (ReadOnce() > 0) {
    }
  }

  void Close() {
    port_->StopListenSerial();
    port_->CloseSerial();
    kavrel::SetMainWindow(nullptr);
  }

  const std::string& received() const { return received_; }
  const std::vector<std::string>& deliveries() const { return deliveries_; }
  const std::vector<std::string>& replies() const { return replies_; }
  std::size_t bytesSent() const { return bytesSent_; }
  unsigned commands() const { return commands_; }
  unsigned notifications() const { return notifications_; }
  unsigned statusLines() const { return statusLines_; }

 private:
  // Waits for one message and handles it; false at the deadline.
  bool Pump(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    kavrel::Message message{};
    if (!queue_.Wait(message, static_cast<int>(left.count()))) return false;
    if (message.message == KAVREL_WM_DATA_READY) {
      ++notifications_;
      ReadOnce();
    }
    return true;
  }

  int ReadOnce() {
    int count = 0;
    port_->ReadSerial(buffer_.data(), count);
    if (count <= 0) return 0;
    const std::string delivery(reinterpret_cast<const char*>(buffer_.data()),
                               static_cast<std::size_t>(count));
    received_ += delivery;
    deliveries_.push_back(delivery);
    lines_.Feed(delivery.data(), delivery.size());
    // Status lines ('#') are shown as they come; replies wait for the
    // command they answer.
    std::string line;
    while (lines_.Next(line)) {
      if (!line.empty() && line[0] == '#') {
        ++statusLines_;
        std::printf("  .. %s\n", line.c_str());
      } else {
        replies_.push_back(line);
      }
    }
    return count;
  }

  // The oldest reply not yet taken by a command.
  bool TakeReply(std::string& reply) {
    if (repliesTaken_ == replies_.size()) return false;
    reply = replies_[repliesTaken_++];
    return true;
  }

  kavrel::MessageQueue queue_;
  std::unique_ptr<SerialCtl> port_;
  std::vector<unsigned char> buffer_;
  LineSplitter lines_;
  std::string received_;
  std::vector<std::string> deliveries_;
  std::vector<std::string> replies_;
  std::size_t repliesTaken_ = 0;
  std::size_t bytesSent_ = 0;
  unsigned commands_ = 0;
  unsigned notifications_ = 0;
  unsigned statusLines_ = 0;
};

bool ReadFile(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int RunDemo(LineOptions line) {
  if (line.capture.empty()) line.capture = DefaultCapturePath();

  VirtualPair pair;
  if (!pair.ok()) {
    Fail("cannot create a virtual null-modem pair: " + pair.error());
    return 1;
  }
  line.port = pair.portName();

  std::printf("Kavrel demo: a simulated instrument on a virtual null-modem pair\n");
  std::printf("  near end   %s, opened by Kavrel's SerialCtl at %s\n", line.port.c_str(),
              DescribeLine(line).c_str());
  std::printf(
      "  far end    the pty master: simulated instrument \"%s\",\n"
      "             status line every %lld ms\n",
      InstrumentModel::kIdentity, static_cast<long long>(kStatusPeriod.count()));
  std::printf("  listener   ListenSerial(%ld, %ld) posting to a kavrel::MessageQueue\n",
              line.settleMs, line.pollMs);
  std::printf("  capture    %s\n\n", line.capture.c_str());
  std::fflush(stdout);

  // The capture file is appended to: what this run adds starts here.
  std::string before;
  const std::size_t captureStart = ReadFile(line.capture, before) ? before.size() : 0;

  DemoHost host;
  const std::string openError = host.Open(line);
  if (!openError.empty()) {
    Fail(openError);
    return 1;
  }

  // The instrument starts once the port is open: a pty master whose slave is
  // not open reports a hang-up.
  InstrumentThread instrument(pair.master(), kStatusPeriod);
  std::string why;
  if (!instrument.Start(why)) {
    Fail(why);
    return 1;
  }

  std::vector<double> roundTrips;
  bool ok = true;
  for (const char* command : kScript) {
    std::string reply;
    double roundTripMs = 0;
    if (!host.Exchange(command, reply, roundTripMs, why)) {
      ok = false;
      break;
    }
    roundTrips.push_back(roundTripMs);
  }
  if (ok) ok = host.AwaitStatusLines(kStatusLinesWanted, why);
  std::fflush(stdout);

  instrument.Stop();
  const InstrumentThread::Transcript far = instrument.transcript();
  host.DrainTo(far.sent.size());
  host.Close();  // closes the capture file as well

  // The link check: what one end sent is exactly what the other received.
  if (ok && !far.failure.empty()) {
    ok = false;
    why = "the instrument stopped: " + far.failure;
  }
  if (ok && far.received.size() != host.bytesSent()) {
    ok = false;
    why = "the instrument received " + std::to_string(far.received.size()) + " bytes of " +
          std::to_string(host.bytesSent()) + " sent";
  }
  if (ok && host.received() != far.sent) {
    ok = false;
    why = "the bytes received differ from what the instrument sent (" +
          std::to_string(host.received().size()) + " received, " + std::to_string(far.sent.size()) +
          " sent)";
  }
  const std::vector<std::string>& allReplies = host.replies();
  if (ok && allReplies != far.replies) {
    ok = false;
    why = "the replies do not match the instrument's";
  }

  // The capture check: each delivery followed by CR LF CR LF, nothing else.
  std::string expectedCapture;
  for (const std::string& delivery : host.deliveries()) expectedCapture += delivery + "\r\n\r\n";
  std::string capture;
  const bool captureRead = ReadFile(line.capture, capture);
  if (ok && !captureRead) {
    ok = false;
    why = "cannot read the capture file " + line.capture;
  }
  if (ok && capture.compare(std::min(captureStart, capture.size()), std::string::npos,
                            expectedCapture) != 0) {
    ok = false;
    why = "the capture file does not hold the deliveries";
  }

  double minimum = 0;
  double maximum = 0;
  double mean = 0;
  if (!roundTrips.empty()) {
    minimum = *std::min_element(roundTrips.begin(), roundTrips.end());
    maximum = *std::max_element(roundTrips.begin(), roundTrips.end());
    for (double value : roundTrips) mean += value;
    mean /= static_cast<double>(roundTrips.size());
  }

  std::printf("\nSummary\n");
  std::printf("  sent        %zu bytes in %u commands (WriteSerial)\n", host.bytesSent(),
              host.commands());
  std::printf(
      "  received    %zu bytes in %zu deliveries (ReadSerial): %zu replies, %u status lines\n",
      host.received().size(), host.deliveries().size(), allReplies.size(), host.statusLines());
  std::printf("  notified    %u data-ready notifications (0x%04X)\n", host.notifications(),
              KAVREL_WM_DATA_READY);
  std::printf("  round trip  min %.2f ms, mean %.2f ms, max %.2f ms over %zu commands\n", minimum,
              mean, maximum, roundTrips.size());
  std::printf("  capture     %s: %zu bytes added (%zu received + %zu x CR LF CR LF)\n",
              line.capture.c_str(), capture.size() - std::min(captureStart, capture.size()),
              host.received().size(), host.deliveries().size());
  std::printf("  link check  %s\n", ok ? "every byte arrived unchanged, both ways" : "FAILED");
  std::fflush(stdout);
  if (!ok) {
    Fail(why);
    return 1;
  }
  std::printf("Demo passed.\n");
  return 0;
}

}  // namespace kavrel_term
