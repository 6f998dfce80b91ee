// The simulated instrument that kavrel-term --demo talks to: a small
// line-oriented bench meter, answering text commands the way SCPI-style
// instruments do, plus an unsolicited status line of its own.
//
// This is the instrument's logic only. The demo runs it on the master side of
// a pseudo-terminal pair (see demo.cpp); tests drive it directly.
#ifndef KAVREL_TERM_INSTRUMENT_H
#define KAVREL_TERM_INSTRUMENT_H

#include <cstddef>
#include <string>
#include <vector>

namespace kavrel_term {

// Splits a byte stream into lines. A line ends at '\n'; a '\r' before it is
// dropped, so "\r\n" and "\n" both work, as on most instruments.
class LineSplitter {
 public:
  void Feed(const char* data, std::size_t size);
  // Takes the oldest complete line; false when none is complete yet.
  bool Next(std::string& line);
  // Bytes received that do not yet form a complete line.
  const std::string& pending() const { return partial_; }

 private:
  std::string partial_;
  std::vector<std::string> lines_;
  std::size_t nextLine_ = 0;
};

class InstrumentModel {
 public:
  static constexpr const char* kIdentity = "KAVREL,SIM-METER 1,000001,1.0";

  // The reply to one command line, terminated by "\r\n", or an empty string
  // for a command that has no reply (*RST, an empty line). Commands are
  // case-insensitive; surrounding blanks are ignored.
  std::string Answer(const std::string& commandLine);
  // The unsolicited status line, sent periodically: "#STATUS ..." + "\r\n".
  // Lines starting with '#' never answer a command.
  std::string StatusLine(double uptimeSeconds) const;

  unsigned measurements() const { return measurements_; }

 private:
  // Readings follow a fixed, repeating pattern so a run is reproducible.
  double NextReading(double base, double spread);

  unsigned measurements_ = 0;
  unsigned step_ = 0;
  std::vector<std::string> errors_;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_INSTRUMENT_H
