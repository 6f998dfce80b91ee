// Test-build switches that make the next thread or event creation or port
// listing fail, so the handling of an exhausted system can be exercised.
#if defined(KAVREL_FAULT_INJECTION)

#include "platform/fault_injection.h"

#include <atomic>

#include "platform/testing.h"

namespace kavrel {
namespace platform {

namespace {

std::atomic<bool> failNextThread{false};
std::atomic<bool> failNextEvent{false};
std::atomic<bool> failNextPortDiscovery{false};

}  // namespace

namespace testing {

void FailNextThreadCreation() { failNextThread.store(true); }
void FailNextEventCreation() { failNextEvent.store(true); }
void FailNextPortDiscovery() { failNextPortDiscovery.store(true); }

}  // namespace testing

bool TakeThreadCreationFault() { return failNextThread.exchange(false); }
bool TakeEventCreationFault() { return failNextEvent.exchange(false); }
bool TakePortDiscoveryFault() { return failNextPortDiscovery.exchange(false); }

}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_FAULT_INJECTION
