// Without host handlers, the library's texts go to stderr. Message boxes are
// converted from the library's GBK to UTF-8 so a terminal shows them right.
#include <iconv.h>

#include <cstdio>
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

}  // namespace

void DefaultTraceSink(const char* line) { std::fputs(line, stderr); }

void DefaultMessageBox(const char* gbkText) {
  const std::string text = GbkToUtf8(gbkText) + "\n";
  std::fputs(text.c_str(), stderr);
}

}  // namespace host
}  // namespace kavrel
