// What a process holds, counted from /proc/self: descriptors and threads.
#ifndef KAVREL_TESTS_RESOURCE_COUNT_H
#define KAVREL_TESTS_RESOURCE_COUNT_H

#include <chrono>
#include <cstddef>
#include <thread>

namespace kavrel_test {

std::size_t OpenDescriptorCount();
std::size_t ThreadCount();

// Asks again every millisecond, for at most two seconds, while `holds`
// answers true: for what the kernel finishes without announcing it.
template <typename Condition>
void WaitBrieflyWhile(Condition holds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (holds() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct ResourceSnapshot {
  std::size_t descriptors;
  std::size_t threads;
  std::size_t handles;  // live entries of the library's handle table
  static ResourceSnapshot Take();

  // The snapshot once threads the test has joined are gone from the count.
  // A joined thread can still be listed for a moment: the kernel wakes the
  // joiner before it unlists the thread, and nothing announces the unlisting,
  // so the count is read again (for at most two seconds) while it exceeds
  // the one taken before.
  static ResourceSnapshot TakeSettled(const ResourceSnapshot& before) {
    ResourceSnapshot now{};
    WaitBrieflyWhile([&] {
      now = Take();
      return now.threads > before.threads;
    });
    return now;
  }
};

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_RESOURCE_COUNT_H
