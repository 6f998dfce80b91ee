#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavrel_test {

namespace {

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

int PidDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::vector<std::string> PathDirectories() {
  std::vector<std::string> directories;
  const char* path = getenv("PATH");
  for (std::string rest = path == nullptr ? "" : path; !rest.empty();) {
    const std::size_t colon = rest.find(':');
    if (colon != 0) directories.push_back(rest.substr(0, colon));
    rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
  }
  return directories;
}

}  // namespace

std::string FindProgram(const std::string& name, const std::vector<std::string>& extraDirectories) {
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : std::string();
  std::vector<std::string> directories = PathDirectories();
  directories.insert(directories.end(), extraDirectories.begin(), extraDirectories.end());
  for (const std::string& directory : directories) {
    const std::string candidate = directory + "/" + name;
    if (IsExecutable(candidate)) return candidate;
  }
  return std::string();
}

std::string FindPythonWith(const std::string& module) {
  for (const std::string& directory : PathDirectories()) {
    const std::string python = FindProgram(directory + "/python3");
    ChildProcess probe;
    std::string error;
    int status = 0;
    if (!python.empty() &&
        probe.Start(python, {python, "-c", "import " + module}, "/dev/null", &error) &&
        probe.WaitForExit(std::chrono::seconds(30), &status) && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
      return python;
    }
  }
  return std::string();
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& outputPath, std::string* error) {
  // Everything the child needs is made here: between fork and exec it may
  // only make async-signal-safe calls, since other threads of the test may
  // hold locks (the allocator's) that it would inherit held.
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (input < 0 || output < 0) {
    *error = outputPath + ": " + std::strerror(errno);
    if (input >= 0) close(input);
    if (output >= 0) close(output);
    return false;
  }
  sigset_t none;
  sigemptyset(&none);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent died before the line above
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  const int forkError = errno;
  close(input);
  close(output);
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(forkError);
    return false;
  }
  pid_ = pid;
  exitFd_ = PidDescriptor(pid);
  if (exitFd_ < 0) {
    *error = std::string("pidfd_open: ") + std::strerror(errno);
    Kill();
    return false;
  }
  return true;
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout, int* status) {
  if (pid_ <= 0) return true;
  pollfd ended{exitFd_, POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    const int ready = poll(&ended, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready > 0) break;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
  Reap(status);
  return true;
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!WaitForExit(grace)) Kill();
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Reap(nullptr);
}

void ChildProcess::Reap(int* status) {
  int result = 0;
  while (waitpid(pid_, &result, 0) < 0 && errno == EINTR) {
  }
  if (status != nullptr) *status = result;
  if (exitFd_ >= 0) close(exitFd_);
  exitFd_ = -1;
  pid_ = -1;
}

}  // namespace kavrel_test
