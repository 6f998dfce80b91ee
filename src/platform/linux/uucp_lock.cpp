#include "platform/linux/uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "host/host_services.h"
#include "platform/linux/refusal_reasons.h"
#include "platform/linux/retry_on_interrupt.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr char kDefaultLockDirectory[] = "/var/lock";
constexpr char kLockDirectoryVariable[] = "KAVREL_LOCK_DIR";
constexpr char kDevicePrefix[] = "/dev/";
constexpr char kLockPrefix[] = "LCK..";
// How often a lock that others keep taking and dropping is tried before the
// port counts as in use.
constexpr int kAttempts = 4;

std::string LockDirectory() {
  // Not in a set-user-id program: its caller must not choose where it
  // creates and removes files.
  const char* chosen = secure_getenv(kLockDirectoryVariable);
  return chosen != nullptr ? chosen : kDefaultLockDirectory;
}

// The pid a lock file's text names: ASCII digits, with blanks around them
// as the ten-wide format has; 0 for anything else.
pid_t ParsePid(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  long long pid = 0;
  const char* digits = text;
  while (*text >= '0' && *text <= '9') {
    pid = pid * 10 + (*text - '0');
    if (pid > INT_MAX) return 0;
    ++text;
  }
  if (text == digits) return 0;
  while (*text == ' ' || *text == '\t' || *text == '\n') ++text;
  return *text == '\0' ? static_cast<pid_t>(pid) : 0;
}

struct LockHolder {
  bool present = false;  // a lock file is there
  bool live = false;     // and it names a process that runs (or cannot be read)
  pid_t pid = 0;         // the process it names; 0 when unknown
};

LockHolder Inspect(const std::string& path) {
  LockHolder holder;
  // Without following a link, and without waiting, should someone have put
  // a FIFO there.
  const int fd = RetryOnInterrupt(
      [&] { return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    if (errno == ENOENT) return holder;
    holder.present = true;
    // A lock that cannot be read is someone's; a link is no lock at all.
    holder.live = errno != ELOOP;
    return holder;
  }
  holder.present = true;
  char text[64] = {};
  struct stat info {};
  ssize_t got = -1;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    got = RetryOnInterrupt([&] { return read(fd, text, sizeof text - 1); });
  }
  close(fd);
  if (got <= 0) return holder;
  holder.pid = ParsePid(text);
  // A process of another user answers EPERM: it runs all the same.
  holder.live = holder.pid > 0 && (kill(holder.pid, 0) == 0 || errno == EPERM);
  return holder;
}

// Writes a lock naming this process to a temporary file in directory and
// links it to path, which only succeeds where path does not exist: so the
// lock is never seen half written. 0, or the errno of the step that failed.
int Create(const std::string& path, const std::string& directory) {
  std::string pattern = directory + "/LTMP.XXXXXX";
  std::vector<char> temporary(pattern.begin(), pattern.end());
  temporary.push_back('\0');
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  // Readable by everyone, so that other programs can tell who holds the port.
  int error = fchmod(fd, 0644) == 0 ? 0 : errno;
  if (error == 0 && RetryOnInterrupt([&] { return write(fd, text, length); }) != length) {
    error = errno != 0 ? errno : EIO;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && link(temporary.data(), path.c_str()) != 0) error = errno;
  unlink(temporary.data());
  return error;
}

void TraceUnlocked(const std::string& devicePath, const std::string& lockPath, int error) {
  host::Trace("Kavrel: %s opened without a lock file: %s: %s\n", devicePath.c_str(),
              lockPath.c_str(), std::strerror(error));
}

}  // namespace

std::string UucpLock::FileName(const std::string& devicePath) {
  std::string name = devicePath;
  if (name.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) == 0) {
    name.erase(0, sizeof kDevicePrefix - 1);
  }
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return kLockPrefix + name;
}

DWORD UucpLock::Take(const std::string& devicePath, UucpLock* lock, std::string* why) {
  const std::string directory = LockDirectory();
  struct stat info {};
  if (directory.empty() || stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return ERROR_SUCCESS;
  }
  const std::string path = directory + "/" + FileName(devicePath);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const LockHolder holder = Inspect(path);
    if (holder.live) {
      *why = HeldBy(holder.pid);
      return ERROR_ACCESS_DENIED;
    }
    // A stale lock: its process is gone, or it names none.
    if (holder.present && unlink(path.c_str()) != 0 && errno != ENOENT) {
      TraceUnlocked(devicePath, path, errno);
      return ERROR_SUCCESS;
    }
    const int error = Create(path, directory);
    if (error == 0) {
      lock->Release();
      lock->path_ = path;
      lock->owner_ = getpid();
      return ERROR_SUCCESS;
    }
    // Another process took the lock in between: look at it again.
    if (error != EEXIST) {
      TraceUnlocked(devicePath, path, error);
      return ERROR_SUCCESS;
    }
  }
  *why = kInUseByAnotherProgram;
  return ERROR_ACCESS_DENIED;
}

UucpLock::~UucpLock() { Release(); }

UucpLock::UucpLock(UucpLock&& other) noexcept
    : path_(std::move(other.path_)), owner_(other.owner_) {
  other.path_.clear();
}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    owner_ = other.owner_;
    other.path_.clear();
  }
  return *this;
}

void UucpLock::Release() {
  if (path_.empty()) return;
  // Only the process that took the lock gives it up (a child that inherited
  // the port does not), and only while the file still names it.
  if (getpid() == owner_ && Inspect(path_).pid == owner_) unlink(path_.c_str());
  path_.clear();
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
