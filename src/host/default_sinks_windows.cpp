// Without host handlers, trace lines go to the debugger's output, as a
// Windows library's trace always did, and message boxes are real modal boxes.
#include <string>

#include "host/gbk_text_windows.h"
#include "host/host_services.h"
#include "kavrel/types.h"

namespace kavrel {
namespace host {

namespace {

constexpr UINT kGbkCodePage = 936;

}  // namespace

std::wstring GbkToUtf16(const char* gbkText) {
  if (gbkText == nullptr || *gbkText == '\0') return std::wstring();
  // Without MB_ERR_INVALID_CHARS, bytes that are not GBK become U+FFFD
  // instead of failing the whole text.
  const int length = ::MultiByteToWideChar(kGbkCodePage, 0, gbkText, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(kGbkCodePage, 0, gbkText, -1, &text[0], length);
  text.resize(static_cast<std::size_t>(length) - 1);  // the terminating NUL
  return text;
}

void DefaultTraceSink(const char* line) { ::OutputDebugStringA(line); }

void DefaultMessageBox(const char* gbkText) {
  // The ANSI MessageBoxA would read GBK bytes in the system's code page and
  // show mojibake on any system that is not set to Simplified Chinese.
  const std::wstring text = GbkToUtf16(gbkText);
  ::MessageBoxW(nullptr, text.c_str(), L"Kavrel", MB_OK);
}

}  // namespace host
}  // namespace kavrel
