// Where Wine is not Windows.
//
// The Windows test build also runs under Wine, whose serial driver differs
// from Windows' in a few known ways. A test skips just the check that meets
// such a difference, and says which Wine behaviour it skipped; everywhere
// else (Linux, real Windows) the check runs.
#ifndef KAVREL_TESTS_WINE_H
#define KAVREL_TESTS_WINE_H

#include <cstdio>

#include "kavrel/types.h"

namespace kavrel_test {

// Wine's version text when running under Wine; nullptr elsewhere.
inline const char* WineVersion() {
#if defined(_WIN32)
  static const char* const version = [] {
    using VersionGetter = const char*(CDECL*)();
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return static_cast<const char*>(nullptr);
    const auto getter = reinterpret_cast<VersionGetter>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "wine_get_version")));
    return getter != nullptr ? getter() : nullptr;
  }();
  return version;
#else
  return nullptr;
#endif
}

// True under Wine, after writing which Wine behaviour the caller's check is
// skipped for; false elsewhere.
inline bool SkipUnderWine(const char* wineBehaviour) {
  if (WineVersion() == nullptr) return false;
  std::printf("[ WINE SKIP ] %s\n", wineBehaviour);
  std::fflush(stdout);
  return true;
}

}  // namespace kavrel_test

// Skips the rest of the current test under Wine, naming the Wine behaviour.
#define KAVREL_SKIP_UNDER_WINE(wineBehaviour)        \
  do {                                               \
    if (kavrel_test::SkipUnderWine(wineBehaviour)) { \
      GTEST_SKIP() << "Wine: " << (wineBehaviour);   \
    }                                                \
  } while (0)

#endif  // KAVREL_TESTS_WINE_H
