// The one thread that services every open device: it drains input into the
// devices' queues as bytes arrive and writes pending output as the devices
// take it, so the kernel's small tty buffers never overflow while a host is
// busy elsewhere.
//
// It runs only while a device is open: the first open starts it and the last
// close stops and joins it. So thread counts return to where they were, and
// unloading the library never leaves a thread running its code.
#ifndef KAVREL_PLATFORM_LINUX_IO_THREAD_H
#define KAVREL_PLATFORM_LINUX_IO_THREAD_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

class CommDevice;

class IoThread {
 public:
  static IoThread& Process();

  // Registers device and has it watched, starting the thread first if no
  // device was open. ERROR_SUCCESS or the reason it failed; on failure
  // nothing is left registered or running on the device's account.
  DWORD Add(const std::shared_ptr<CommDevice>& device);
  // Forgets the device (which has already stopped watching); stops and
  // joins the thread when it was the last one.
  void Remove(std::uint64_t deviceId);

 private:
  IoThread() = default;

  void Run(int epollFd, int wakeFd);
  // Stops the thread and releases its descriptors. lifecycle_ held.
  void Stop();

  // Serialises starting and stopping, including the join. The I/O thread
  // never takes it, so holding it while joining cannot deadlock.
  std::mutex lifecycle_;
  std::thread thread_;  // guarded by lifecycle_
  int epollFd_ = -1;    // guarded by lifecycle_
  int wakeFd_ = -1;     // guarded by lifecycle_

  // Guards the registry, which the I/O thread reads to find the device an
  // epoll event belongs to. Never held while a device's mutex is taken.
  std::mutex registry_;
  std::unordered_map<std::uint64_t, std::shared_ptr<CommDevice>> devices_;
  bool stopping_ = false;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_IO_THREAD_H
