// The switches behind testing::FailNext*, which each backend's CreateThread,
// CreateEventA and port discovery consult. Without KAVREL_FAULT_INJECTION they
// do not exist and creation never fails on purpose.
#ifndef KAVREL_PLATFORM_FAULT_INJECTION_H
#define KAVREL_PLATFORM_FAULT_INJECTION_H

namespace kavrel {
namespace platform {

#if defined(KAVREL_FAULT_INJECTION)
// True once after the matching switch was set; each call clears it.
bool TakeThreadCreationFault();
bool TakeEventCreationFault();
bool TakePortDiscoveryFault();
#else
inline bool TakeThreadCreationFault() { return false; }
inline bool TakeEventCreationFault() { return false; }
inline bool TakePortDiscoveryFault() { return false; }
#endif

}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_FAULT_INJECTION_H
