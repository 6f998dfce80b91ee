// Load and unload of Kavrel.dll: the library announces itself in the debug
// trace when a process maps it and when it is removed (see module_posix.cpp
// for libKavrel.so). No serial-port state lives at module level, so there is
// nothing else to set up or tear down.
#include "host/host_services.h"
#include "kavrel/types.h"

// C linkage: the runtime's DLL entry calls DllMain by its plain name; a
// mangled C++ name would leave the runtime's empty default in its place.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // Thread attach and detach do nothing: no need to be called for them.
      ::DisableThreadLibraryCalls(instance);
      kavrel::host::Trace("%s", "KAVREL.DLL Initializing!\n");
      break;
    case DLL_PROCESS_DETACH:
      kavrel::host::Trace("%s", "KAVREL.DLL Terminating!\n");
      break;
    default:
      break;
  }
  return TRUE;
}
