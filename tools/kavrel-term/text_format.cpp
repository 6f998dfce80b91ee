#include "text_format.h"

#include <iconv.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace kavrel_term {

std::string HexDumper::Dump(const unsigned char* data, std::size_t size) {
  std::string out;
  for (std::size_t lineStart = 0; lineStart < size; lineStart += 16) {
    const std::size_t count = std::min<std::size_t>(16, size - lineStart);
    char text[32];
    std::snprintf(text, sizeof text, "%08" PRIx64 "  ", offset_ + lineStart);
    out += text;
    for (std::size_t i = 0; i < 16; ++i) {
      if (i < count) {
        std::snprintf(text, sizeof text, "%02x ", data[lineStart + i]);
        out += text;
      } else {
        out += "   ";
      }
      if (i == 7) out += ' ';
    }
    out += " |";
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned char c = data[lineStart + i];
      out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    out += '|';
    out += lineEnd_;
  }
  offset_ += size;
  return out;
}

std::string FormatPortTable(const std::vector<PortInfo>& ports) {
  if (ports.empty()) return "No serial ports found.\n";

  const std::vector<std::string> headings = {"DEVICE",  "DRIVER", "VID:PID", "MANUFACTURER",
                                             "PRODUCT", "SERIAL", "NAMES"};
  std::vector<std::vector<std::string>> rows;
  for (const PortInfo& port : ports) {
    const std::string ids = port.vendorId.empty() ? "-" : port.vendorId + ":" + port.productId;
    auto orDash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    rows.push_back({port.device, orDash(port.driver), ids, orDash(port.manufacturer),
                    orDash(port.product), orDash(port.serialNumber), orDash(port.names)});
  }

  std::vector<std::size_t> widths;
  for (const std::string& heading : headings) widths.push_back(heading.size());
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }

  auto formatRow = [&widths](const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t column = 0; column < cells.size(); ++column) {
      line += cells[column];
      if (column + 1 < cells.size()) line.append(widths[column] - cells[column].size() + 2, ' ');
    }
    return line + "\n";
  };
  std::string out = formatRow(headings);
  for (const auto& row : rows) out += formatRow(row);
  return out;
}

std::string FormatBytes(double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
    return text;
  }
  int unit = -1;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string FormatProgress(std::uint64_t done, std::uint64_t total, double bytesPerSecond,
                           int barWidth) {
  if (total == 0) {
    // A pipe or a device has no size to measure against.
    return "sent " + FormatBytes(static_cast<double>(done)) + "  " + FormatBytes(bytesPerSecond) +
           "/s";
  }
  const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
  const int filled = static_cast<int>(fraction * barWidth);
  std::string out = "[";
  out.append(static_cast<std::size_t>(filled), '#');
  out.append(static_cast<std::size_t>(barWidth - filled), '-');
  char text[32];
  std::snprintf(text, sizeof text, "] %3d%%  ", static_cast<int>(fraction * 100));
  out += text;
  out += FormatBytes(static_cast<double>(done)) + " / " + FormatBytes(static_cast<double>(total));
  out += "  " + FormatBytes(bytesPerSecond) + "/s";
  return out;
}

std::string EscapeControlBytes(const std::string& line) {
  std::string shown;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const bool ending = byte == '\n' && i + 1 == line.size();
    if ((byte < 0x20 && !ending) || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += static_cast<char>(byte);
    }
  }
  return shown;
}

std::string GbkToUtf8(const std::string& gbk) {
  iconv_t converter = iconv_open("UTF-8", "GBK");
  if (converter == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string input = gbk;
  // Two GBK bytes become at most three UTF-8 bytes.
  std::string output(input.size() * 2 + 4, '\0');
  char* in = &input[0];
  std::size_t inLeft = input.size();
  char* out = &output[0];
  std::size_t outLeft = output.size();
  const std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1)) return gbk;
  output.resize(output.size() - outLeft);
  return output;
}

}  // namespace kavrel_term
