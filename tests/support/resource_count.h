// What a process holds, counted from /proc/self: descriptors and threads.
#ifndef KAVREL_TESTS_RESOURCE_COUNT_H
#define KAVREL_TESTS_RESOURCE_COUNT_H

#include <cstddef>

namespace kavrel_test {

std::size_t OpenDescriptorCount();
std::size_t ThreadCount();

struct ResourceSnapshot {
  std::size_t descriptors;
  std::size_t threads;
  std::size_t handles;  // live entries of the library's handle table
  static ResourceSnapshot Take();
};

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_RESOURCE_COUNT_H
