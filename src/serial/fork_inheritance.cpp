// An object that crossed fork() without exec: in the child it is a closed
// object with the settings it had.
#include <new>

#include "kavrel/SerialCtl.h"
#include "platform/platform.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

void SerialCtl::ForgetIfInherited() {
  const unsigned current = ProcessGeneration();
  if (processGeneration_ == current) return;
  // The object was made in an ancestor of this process. Its handles are not
  // this process's (they fail as invalid here), its listener did not come
  // along, and a thread of the parent may have held its locks at the moment
  // of the fork. So nothing is closed, locked or waited for: the handles are
  // forgotten and the locks start afresh. The capture stream is the host's
  // copy, as fork() gives it; CloseSerial closes it as usual.
  new (&stateMutex_) std::mutex();
  new (&writeMutex_) std::timed_mutex();
  new (&readMutex_) std::timed_mutex();
  portHandle = kNoHandle;
  readOverlapped = kavrel::OVERLAPPED();
  writeOverlapped = kavrel::OVERLAPPED();
  commStatus = kavrel::COMSTAT();
  listenerThread = kNoHandle;
  listenerWake_ = kNoHandle;
  listenerStopRequested_.store(false);
  drainThread_ = kNoHandle;
  drainDevice_ = kNoHandle;
  modemWatch_ = 0;
  modemSeen_ = 0;
  modemSeenSignal_ = kNoHandle;
  isOpen = false;
  processGeneration_ = current;
}
