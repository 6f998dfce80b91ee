// Loads Kavrel.dll from the directory of this program and frees it again.
// Each step is announced in the debugger's output, so a test debugging this
// process sees where the module's own trace lines fall.
#include <windows.h>

#include <string>

int main() {
  char self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return 2;
  std::string path(self, length);
  path.erase(path.find_last_of("\\/") + 1);
  path += "Kavrel.dll";

  ::OutputDebugStringA("probe: loading\n");
  const HMODULE module = ::LoadLibraryA(path.c_str());
  if (module == nullptr) return 3;
  ::OutputDebugStringA("probe: loaded\n");
  ::OutputDebugStringA("probe: freeing\n");
  if (!::FreeLibrary(module)) return 4;
  ::OutputDebugStringA("probe: freed\n");
  return 0;
}
