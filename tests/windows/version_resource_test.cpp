// Kavrel.dll's version resource, read back the way a Windows host tool reads
// it: every value of the module's version record.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "module_path.h"

namespace {

// "通用串口通讯库", written here independently of the record's UTF-8 bytes.
const wchar_t kDescription[] = L"\u901A\u7528\u4E32\u53E3\u901A\u8BAF\u5E93";

class VersionResource : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = kavrel_test::BesideThisProgram("Kavrel.dll");
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource in " << path << ", error " << ::GetLastError();
    ansi_.resize(size);
    ASSERT_TRUE(::GetFileVersionInfoA(path.c_str(), 0, size, ansi_.data()));

    const std::wstring widePath(path.begin(), path.end());
    const DWORD wideSize = ::GetFileVersionInfoSizeW(widePath.c_str(), &ignored);
    ASSERT_NE(wideSize, 0u);
    wide_.resize(wideSize);
    ASSERT_TRUE(::GetFileVersionInfoW(widePath.c_str(), 0, wideSize, wide_.data()));
  }

  // A string of the one string table, as an ANSI reader gets it.
  std::string Text(const char* name) {
    const std::string key = std::string("\\StringFileInfo\\080404b0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(ansi_.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
        value == nullptr) {
      return "<missing>";
    }
    return std::string(value);
  }

  // The same string, as stored: UTF-16.
  std::wstring WideText(const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(wide_.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
        value == nullptr) {
      return L"<missing>";
    }
    return std::wstring(value);
  }

  std::vector<char> ansi_;
  std::vector<char> wide_;
};

TEST_F(VersionResource, FixedInformationCarriesBothVersionsAndTheModuleKind) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueA(ansi_.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_NE(fixed, nullptr);
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  // 3.0.7.2
  EXPECT_EQ(fixed->dwFileVersionMS, (3u << 16) | 0u);
  EXPECT_EQ(fixed->dwFileVersionLS, (7u << 16) | 2u);
  // 20.11.8.16
  EXPECT_EQ(fixed->dwProductVersionMS, (20u << 16) | 11u);
  EXPECT_EQ(fixed->dwProductVersionLS, (8u << 16) | 16u);
  // The debug flag, and no other.
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, static_cast<DWORD>(VS_FF_DEBUG));
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionResource, OneStringTableForChinesePrcInUnicode) {
  struct LanguageAndCodePage {
    WORD language;
    WORD codePage;
  };
  LanguageAndCodePage* translations = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueA(ansi_.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translations), &length));
  ASSERT_EQ(length, sizeof(LanguageAndCodePage));
  EXPECT_EQ(translations[0].language, 0x0804);
  EXPECT_EQ(translations[0].codePage, 1200);
}

TEST_F(VersionResource, NamesAndVersionTexts) {
  EXPECT_EQ(Text("InternalName"), "Kavrel");
  EXPECT_EQ(Text("OriginalFilename"), "Kavrel.DLL");
  EXPECT_EQ(Text("FileVersion"), "3.0.7.2");
  EXPECT_EQ(Text("ProductVersion"), "20.11.8.16");
}

TEST_F(VersionResource, DescriptionAndCommentsReadRightInEveryCodePage) {
  // As stored: the Chinese text itself, whatever the system's code page.
  EXPECT_EQ(WideText(L"FileDescription"), kDescription);
  EXPECT_EQ(WideText(L"Comments"), kDescription);

  // An ANSI reader gets the same text in the system's code page.
  char expected[64] = {};
  ASSERT_GT(::WideCharToMultiByte(CP_ACP, 0, kDescription, -1, expected, sizeof expected, nullptr,
                                  nullptr),
            0);
  EXPECT_EQ(Text("FileDescription"), expected);
  EXPECT_EQ(Text("Comments"), expected);
}

}  // namespace
