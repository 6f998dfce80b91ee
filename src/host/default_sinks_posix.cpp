// Without host handlers, the library's texts go to stderr: message boxes
// always, converted from the library's GBK to UTF-8 so a terminal shows them
// right; trace lines only when KAVREL_TRACE asks for them, as a Windows
// program's debug output is seen only with a debugger attached.
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/host_services.h"

namespace kavrel {
namespace host {

namespace {

std::string GbkToUtf8(const char* gbkText) {
  std::string input(gbkText);
  iconv_t converter = iconv_open("UTF-8", "GBK");
  if (converter == reinterpret_cast<iconv_t>(-1)) return input;

  // A GBK character is at most two bytes and becomes at most three in UTF-8.
  std::string output(input.size() * 2 + 4, '\0');
  char* in = &input[0];
  std::size_t inLeft = input.size();
  char* out = &output[0];
  std::size_t outLeft = output.size();
  const std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1)) return input;
  output.resize(output.size() - outLeft);
  return output;
}

// KAVREL_TRACE set to anything but "" or "0" turns the trace on. It is read
// for every line, so a program may switch it before the library loads or
// at any later point.
bool TraceWanted() {
  const char* setting = std::getenv("KAVREL_TRACE");
  return setting != nullptr && setting[0] != '\0' && std::string(setting) != "0";
}

}  // namespace

std::string EscapeControlBytes(const char* line) {
  std::string shown;
  for (const char* p = line; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    // The line's own ending stays; any other control byte (a name can hold
    // one) is shown, never sent to the terminal, where an escape sequence
    // would act.
    const bool ending = byte == '\n' && p[1] == '\0';
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

void DefaultTraceSink(const char* line) {
  if (!TraceWanted()) return;
  std::fputs(EscapeControlBytes(line).c_str(), stderr);
}

void DefaultMessageBox(const char* gbkText) {
  const std::string text = GbkToUtf8(gbkText) + "\n";
  std::fputs(text.c_str(), stderr);
}

}  // namespace host
}  // namespace kavrel
