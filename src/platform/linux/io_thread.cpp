#include "platform/linux/io_thread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/system_errors.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

// Clients are known to epoll by their keys, which are never 0.
constexpr std::uint64_t kWakeKey = 0;
constexpr int kEventsPerWait = 16;

}  // namespace

void IoInterest::Want(std::uint32_t events) {
  if (!watching_ || events == events_) return;
  epoll_event event{};
  event.events = events;
  event.data.u64 = key_;
  if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, descriptor_, &event) == 0) events_ = events;
}

void IoInterest::Drop() {
  if (!watching_) return;
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, descriptor_, nullptr);
  watching_ = false;
}

IoThread& IoThread::Process() {
  static IoThread* const thread = new IoThread;
  return *thread;
}

DWORD IoThread::Start() {
  if (thread_.joinable()) return ERROR_SUCCESS;
  const int epollFd = epoll_create1(EPOLL_CLOEXEC);
  const int wakeFd = epollFd >= 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = kWakeKey;
  if (wakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0) {
    const DWORD error = ErrorWhileOpening(errno);
    if (wakeFd >= 0) close(wakeFd);
    if (epollFd >= 0) close(epollFd);
    return error;
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
  return ERROR_SUCCESS;
}

DWORD IoThread::Add(const std::shared_ptr<IoClient>& client, IoInterest* interest) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_);
  DWORD error = Start();
  if (error != ERROR_SUCCESS) return error;

  bool none;
  {
    // The descriptor joins epoll and the interest is filled under the
    // registry's lock, which the thread takes to find the client of an
    // event: so the client is never called before its interest is set.
    std::lock_guard<std::mutex> registry(registry_);
    const std::uint64_t key = nextKey_++;
    try {
      clients_.emplace(key, client);
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = key;
      if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, client->descriptor(), &event) == 0) {
        ++served_;
        interest->epollFd_ = epollFd_;
        interest->descriptor_ = client->descriptor();
        interest->key_ = key;
        interest->events_ = EPOLLIN;
        interest->watching_ = true;
      } else {
        error = ErrorWhileOpening(errno);
        clients_.erase(key);
      }
    } catch (const std::bad_alloc&) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
    none = served_ == 0;
  }
  if (error != ERROR_SUCCESS && none) Stop();
  return error;
}

void IoThread::Remove(std::uint64_t key) {
  std::lock_guard<std::mutex> lifecycle(lifecycle_);
  bool last;
  {
    std::lock_guard<std::mutex> registry(registry_);
    if (clients_.erase(key) == 0) return;
    last = --served_ == 0;
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
  (void)!RetryOnInterrupt([&] { return write(wakeFd_, &one, sizeof one); });
  thread_.join();
  close(wakeFd_);
  close(epollFd_);
  wakeFd_ = -1;
  epollFd_ = -1;
  std::lock_guard<std::mutex> registry(registry_);
  stopping_ = false;
}

void IoThread::HoldForFork() {
  lifecycle_.lock();
  registry_.lock();
}

void IoThread::ReleaseAfterFork() {
  registry_.unlock();
  lifecycle_.unlock();
}

void IoThread::ResetInChild() {
  // The epoll set is the parent's own (a forked descriptor names the same
  // set), so the child only closes its copies; its first open starts a
  // thread with a set of its own. The std::thread names a thread that did
  // not come along: it is overwritten, never joined or destroyed.
  if (wakeFd_ >= 0) close(wakeFd_);
  if (epollFd_ >= 0) close(epollFd_);
  wakeFd_ = -1;
  epollFd_ = -1;
  new (&thread_) std::thread();
  served_ = 0;
  stopping_ = false;
  ReleaseAfterFork();
}

void IoThread::Run(int epollFd, int wakeFd) {
  epoll_event events[kEventsPerWait];
  for (;;) {
    const int ready =
        RetryOnInterrupt([&] { return epoll_wait(epollFd, events, kEventsPerWait, -1); });
    // Only a broken epoll descriptor fails here; waiting again would spin.
    if (ready < 0) return;
    for (int i = 0; i < ready; ++i) {
      const std::uint64_t key = events[i].data.u64;
      if (key == kWakeKey) {
        std::uint64_t count = 0;
        (void)!RetryOnInterrupt([&] { return read(wakeFd, &count, sizeof count); });
        std::lock_guard<std::mutex> registry(registry_);
        if (stopping_) return;
        continue;
      }
      std::shared_ptr<IoClient> client;
      {
        std::lock_guard<std::mutex> registry(registry_);
        auto found = clients_.find(key);
        if (found != clients_.end()) client = found->second;
      }
      // An event can still name a client that was removed since epoll
      // reported it; such a client is simply no longer found.
      if (client != nullptr) client->OnReady(events[i].events);
    }
  }
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
