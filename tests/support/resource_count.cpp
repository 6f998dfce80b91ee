#include "support/resource_count.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/testing.h"

namespace kavrel_test {

namespace {

std::size_t CountEntries(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == nullptr) return 0;
  std::size_t count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace

// The directory stream itself holds one descriptor while it is read.
std::size_t OpenDescriptorCount() { return CountEntries("/proc/self/fd") - 1; }

// The thread sanitizer starts a helper thread of its own when the process
// creates its first thread. One throwaway thread before the first count
// makes that happen up front, so the helper is in every count alike instead
// of appearing between a test's "before" and "after". The throwaway thread
// itself can stay listed for a moment after it is joined (see TakeSettled),
// so the first count waits until it is gone.
std::size_t ThreadCount() {
  static const bool runtimeSettled = [] {
    pid_t throwaway = 0;
    std::thread([&throwaway] { throwaway = gettid(); }).join();
    const std::string entry = "/proc/self/task/" + std::to_string(throwaway);
    WaitBrieflyWhile([&entry] { return access(entry.c_str(), F_OK) == 0; });
    return true;
  }();
  (void)runtimeSettled;
  return CountEntries("/proc/self/task");
}

ResourceSnapshot ResourceSnapshot::Take() {
  return {OpenDescriptorCount(), ThreadCount(), kavrel::platform::testing::LiveHandleCount()};
}

}  // namespace kavrel_test
