#include "platform/linux/io_thread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/linux/comm_device.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

// Devices are known to epoll by their id, which is never 0.
constexpr std::uint64_t kWakeId = 0;
constexpr int kEventsPerWait = 16;

}  // namespace

IoThread& IoThread::Process() {
  static IoThread* const thread = new IoThread;
  return *thread;
}

DWORD IoThread::Add(const std::shared_ptr<CommDevice>& device) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_);
  if (!thread_.joinable()) {
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    const int wakeFd = epollFd >= 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeId;
    if (wakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0) {
      if (wakeFd >= 0) close(wakeFd);
      if (epollFd >= 0) close(epollFd);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    try {
      thread_ = std::thread([this, epollFd, wakeFd] { Run(epollFd, wakeFd); });
    } catch (const std::system_error&) {
      close(wakeFd);
      close(epollFd);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    epollFd_ = epollFd;
    wakeFd_ = wakeFd;
  }

  {
    std::lock_guard<std::mutex> registry(registry_);
    devices_.emplace(device->id(), device);
  }
  if (!device->Watch(epollFd_)) {
    bool last;
    {
      std::lock_guard<std::mutex> registry(registry_);
      devices_.erase(device->id());
      last = devices_.empty();
    }
    if (last) Stop();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

void IoThread::Remove(std::uint64_t deviceId) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_);
  bool last;
  {
    std::lock_guard<std::mutex> registry(registry_);
    if (devices_.erase(deviceId) == 0) return;
    last = devices_.empty();
  }
  if (last) Stop();
}

void IoThread::Stop() {
  {
    std::lock_guard<std::mutex> registry(registry_);
    stopping_ = true;
  }
  const std::uint64_t one = 1;
  // An eventfd write only fails when its counter would overflow, which a
  // single stop request cannot cause.
  (void)!write(wakeFd_, &one, sizeof one);
  thread_.join();
  close(wakeFd_);
  close(epollFd_);
  wakeFd_ = -1;
  epollFd_ = -1;
  std::lock_guard<std::mutex> registry(registry_);
  stopping_ = false;
}

void IoThread::Run(int epollFd, int wakeFd) {
  epoll_event events[kEventsPerWait];
  for (;;) {
    const int ready = epoll_wait(epollFd, events, kEventsPerWait, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      // Only a broken epoll descriptor fails here; waiting again would spin.
      return;
    }
    for (int i = 0; i < ready; ++i) {
      const std::uint64_t id = events[i].data.u64;
      if (id == kWakeId) {
        std::uint64_t count = 0;
        (void)!read(wakeFd, &count, sizeof count);
        std::lock_guard<std::mutex> registry(registry_);
        if (stopping_) return;
        continue;
      }
      std::shared_ptr<CommDevice> device;
      {
        std::lock_guard<std::mutex> registry(registry_);
        auto found = devices_.find(id);
        if (found != devices_.end()) device = found->second;
      }
      // An event can still name a device that was closed since epoll
      // reported it; such a device is simply no longer found.
      if (device != nullptr) device->OnReady(events[i].events);
    }
  }
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
