#include "instrument.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace kavrel_term {

void LineSplitter::Feed(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\n') {
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      lines_.push_back(std::move(partial_));
      partial_.clear();
    } else {
      partial_.push_back(c);
    }
  }
}

bool LineSplitter::Next(std::string& line) {
  if (nextLine_ == lines_.size()) return false;
  line = std::move(lines_[nextLine_++]);
  if (nextLine_ == lines_.size()) {
    lines_.clear();
    nextLine_ = 0;
  }
  return true;
}

namespace {

std::string Normalise(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  std::string out = text.substr(begin, end - begin);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

std::string Reading(double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%+.5E %s\r\n", value, unit);
  return text;
}

}  // namespace

double InstrumentModel::NextReading(double base, double spread) {
  // A short deterministic wobble around the base value.
  static constexpr int kPattern[] = {0, 3, -2, 5, -4, 1, -1, 2};
  const int offset = kPattern[step_++ % (sizeof kPattern / sizeof kPattern[0])];
  ++measurements_;
  return base + spread * offset / 5.0;
}

std::string InstrumentModel::Answer(const std::string& commandLine) {
  const std::string command = Normalise(commandLine);
  if (command.empty()) return std::string();
  if (command == "*IDN?") return std::string(kIdentity) + "\r\n";
  if (command == "*RST") {
    measurements_ = 0;
    step_ = 0;
    errors_.clear();
    return std::string();
  }
  if (command == "MEAS:VOLT?" || command == "MEAS?") return Reading(NextReading(5.0, 0.002), "V");
  if (command == "MEAS:CURR?") return Reading(NextReading(0.125, 0.0005), "A");
  if (command == "MEAS:TEMP?") return Reading(NextReading(23.5, 0.05), "C");
  if (command == "SYST:ERR?") {
    if (errors_.empty()) return "0,\"No error\"\r\n";
    std::string oldest = errors_.front();
    errors_.erase(errors_.begin());
    return oldest + "\r\n";
  }
  // An unknown command is answered at once, so a host never waits in vain,
  // and queued for SYST:ERR? as instruments do.
  const std::string error = "-113,\"Undefined header\"";
  errors_.push_back(error);
  return "ERR " + error + "\r\n";
}

std::string InstrumentModel::StatusLine(double uptimeSeconds) const {
  char text[96];
  std::snprintf(text, sizeof text, "#STATUS uptime=%.2fs measurements=%u state=%s\r\n",
                uptimeSeconds, measurements_, errors_.empty() ? "OK" : "ERROR");
  return text;
}

}  // namespace kavrel_term
