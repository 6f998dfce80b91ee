// Text kavrel-term shows a person: hex dumps of received bytes, the port
// table of --list, the progress bar of --send, and the library's GBK message
// texts in UTF-8.
#ifndef KAVREL_TERM_TEXT_FORMAT_H
#define KAVREL_TERM_TEXT_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavrel_term {

// A hex dump of a byte stream that arrives in pieces: offsets run on across
// calls, each line shows up to 16 bytes and their printable characters and
// ends with lineEnd ("\r\n" on a raw terminal).
class HexDumper {
 public:
  explicit HexDumper(const char* lineEnd = "\n") : lineEnd_(lineEnd) {}
  std::string Dump(const unsigned char* data, std::size_t size);

 private:
  std::uint64_t offset_ = 0;
  const char* lineEnd_;
};

// One serial port as --list shows it: a port of this machine, or a named
// port that is none of them (on the network, or a device not listed). USB
// fields stay empty for other ports.
struct PortInfo {
  std::string device;  // the name a host passes to SetSerial: "ttyUSB0", "lab1"
  std::string driver;
  std::string vendorId;  // four hex digits
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serialNumber;
  // A port of this machine: the named ports that open it ("psu1, dut").
  // A named port that is none of them: "-> " and what it opens.
  std::string names;
};

// The --list table, aligned in columns, or a sentence saying no port exists.
std::string FormatPortTable(const std::vector<PortInfo>& ports);

// "[#####-----]  45%  460.0 KiB / 1.0 MiB  112.0 KiB/s" for --send; with
// total 0 (size unknown) just the count and the rate.
std::string FormatProgress(std::uint64_t done, std::uint64_t total, double bytesPerSecond,
                           int barWidth);
// 1536 -> "1.5 KiB"; below 1 KiB the exact count with "B".
std::string FormatBytes(double bytes);

// A trace line with its control bytes shown as \xNN (its final "\n" kept),
// so a hostile port name cannot send escape sequences to the terminal.
std::string EscapeControlBytes(const std::string& line);

// The library's message texts are GBK; a UTF-8 terminal needs them converted.
// Text that is not valid GBK is returned unchanged.
std::string GbkToUtf8(const std::string& gbk);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_TEXT_FORMAT_H
