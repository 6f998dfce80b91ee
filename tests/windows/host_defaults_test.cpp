// The Windows host defaults: the library's GBK texts reach the wide API as
// the right characters whatever the system's code page.
#include <gtest/gtest.h>

#include <string>

#include "host/gbk_text_windows.h"
#include "support/host_capture.h"

namespace {

using kavrel::host::GbkToUtf16;

TEST(GbkText, TheLibrarysMessagesConvertToTheirCharacters) {
  // "串口设置错误！", "串口线程建立失败！", "辅助线程事件建立错误！".
  EXPECT_EQ(GbkToUtf16(kavrel_test::kSettingsErrorGbk),
            L"\u4E32\u53E3\u8BBE\u7F6E\u9519\u8BEF\uFF01");
  EXPECT_EQ(GbkToUtf16(kavrel_test::kThreadFailedGbk),
            L"\u4E32\u53E3\u7EBF\u7A0B\u5EFA\u7ACB\u5931\u8D25\uFF01");
  EXPECT_EQ(GbkToUtf16(kavrel_test::kEventFailedGbk),
            L"\u8F85\u52A9\u7EBF\u7A0B\u4E8B\u4EF6\u5EFA\u7ACB\u9519\u8BEF\uFF01");
}

TEST(GbkText, AsciiPassesAndEmptyOrNullGiveNothing) {
  EXPECT_EQ(GbkToUtf16("COM1 9600"), L"COM1 9600");
  EXPECT_EQ(GbkToUtf16(""), L"");
  EXPECT_EQ(GbkToUtf16(nullptr), L"");
}

TEST(GbkText, ATruncatedCharacterDoesNotSwallowTheText) {
  // A lead byte with nothing after it: the characters before it survive.
  const std::wstring text = GbkToUtf16("\xB4\xAE\xB4");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], L'\u4E32');
}

}  // namespace
