// Load and unload of libKavrel.so: the library announces itself in the debug
// trace. There is no host framework to register with on Linux.
#include "host/host_services.h"

namespace {

__attribute__((constructor)) void KavrelModuleLoaded() {
  kavrel::host::Trace("%s", "KAVREL.DLL Initializing!\n");
}

__attribute__((destructor)) void KavrelModuleUnloaded() {
  kavrel::host::Trace("%s", "KAVREL.DLL Terminating!\n");
}

}  // namespace
