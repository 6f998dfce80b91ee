// Files the Windows tests find beside their own program.
#ifndef KAVREL_TESTS_WINDOWS_MODULE_PATH_H
#define KAVREL_TESTS_WINDOWS_MODULE_PATH_H

#include <windows.h>

#include <string>

namespace kavrel_test {

inline std::string BesideThisProgram(const char* fileName) {
  char self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, length < MAX_PATH ? length : 0);
  path.erase(path.find_last_of("\\/") + 1);
  return path + fileName;
}

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_WINDOWS_MODULE_PATH_H
