// The one thread that services every open device: it drains input into the
// devices' queues as bytes arrive and writes pending output as the devices
// take it, so the kernel's small tty buffers never overflow while a host is
// busy elsewhere.
//
// It runs only while a device is open: the first open starts it and the last
// close stops and joins it. So thread counts return to where they were, and
// unloading the library never leaves a thread running its code.
//
// The thread knows its clients only through IoClient; a client changes what
// it is watched for through the IoInterest the thread gave it.
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

// What the I/O thread serves: a descriptor and what to do when it is ready.
class IoClient {
 public:
  virtual ~IoClient() = default;
  // The descriptor to watch, the same for as long as the client is added.
  virtual int descriptor() const = 0;
  // Called on the I/O thread with what epoll reported for the descriptor.
  virtual void OnReady(std::uint32_t events) = 0;
};

// What a client's descriptor is watched for (EPOLLIN, EPOLLOUT). Filled by
// IoThread::Add; from then on only its client uses it, under the client's own
// lock, until the client is removed.
class IoInterest {
 public:
  // Watches for events from now on; no system call when nothing changes.
  void Want(std::uint32_t events);
  // Stops watching the descriptor at all, so a hung-up descriptor, which
  // epoll reports whatever is asked, is not reported for ever.
  void Drop();
  std::uint64_t key() const { return key_; }

 private:
  friend class IoThread;

  int epollFd_ = -1;
  int descriptor_ = -1;
  std::uint64_t key_ = 0;
  std::uint32_t events_ = 0;
  bool watching_ = false;
};

class IoThread {
 public:
  static IoThread& Process();

  // Registers client and watches its descriptor for input, starting the
  // thread first if no client was registered. interest is filled before the
  // thread can call the client, so the client finds it set in OnReady.
  // ERROR_SUCCESS or the reason it failed; on failure nothing is left
  // registered or running on the client's account.
  DWORD Add(const std::shared_ptr<IoClient>& client, IoInterest* interest);
  // Forgets the client with this key (which has dropped its interest); stops
  // and joins the thread when it was the last one. Never called with a
  // client's lock held: the thread may be waiting for it.
  void Remove(std::uint64_t key);

  // fork() (fork_safety.h): the locks are held across it so the child's copy
  // is whole. In the child the thread is not running: its descriptors are
  // closed, and the clients of the parent stay listed but are never reported
  // (they are in no epoll set of the child) nor counted.
  void HoldForFork();
  void ReleaseAfterFork();
  void ResetInChild();

 private:
  IoThread() = default;

  // Starts the thread if it is not running. lifecycle_ held.
  DWORD Start();
  void Run(int epollFd, int wakeFd);
  // Stops the thread and releases its descriptors. lifecycle_ held.
  void Stop();

  // Serialises starting and stopping, including the join. The I/O thread
  // never takes it, so holding it while joining cannot deadlock.
  std::mutex lifecycle_;
  std::thread thread_;  // guarded by lifecycle_
  int epollFd_ = -1;    // guarded by lifecycle_
  int wakeFd_ = -1;     // guarded by lifecycle_

  // Guards the registry, which the I/O thread reads to find the client an
  // epoll event belongs to. Never held while a client's lock is taken.
  std::mutex registry_;
  std::unordered_map<std::uint64_t, std::shared_ptr<IoClient>> clients_;
  // The clients this process added and has not removed; the thread runs
  // while there are any.
  std::size_t served_ = 0;
  std::uint64_t nextKey_ = 1;  // 0 names the thread's own wake-up descriptor
  bool stopping_ = false;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_IO_THREAD_H
