// A program a test runs beside itself (a server, a reference client), that
// never outlives the test: stopped by the destructor on every path, and
// killed by the kernel should the test process die first.
#ifndef KAVREL_TESTS_CHILD_PROCESS_H
#define KAVREL_TESTS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kavrel_test {

// The program's path: name itself when it holds a '/', otherwise the first
// executable of that name in PATH and then in extraDirectories (for
// programs installed in sbin, which a user's PATH may lack). Empty when
// there is none.
std::string FindProgram(const std::string& name,
                        const std::vector<std::string>& extraDirectories = {});

// The first python3 on PATH that can import module ("serial.rfc2217");
// empty when none can.
std::string FindPythonWith(const std::string& module);

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with arguments (argv[0] first), its standard input
  // /dev/null, its output and errors written to outputPath. The child gets
  // SIGKILL when the thread that started it ends, so a test that crashes
  // leaves nothing running. false with error filled when it did not start.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& outputPath, std::string* error);

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // A descriptor that polls readable once the child has ended (a pidfd),
  // for waiting on it beside other events; -1 when not running.
  int exitDescriptor() const { return exitFd_; }

  // Waits up to timeout for the child to end and reaps it: true with its
  // wait status, false when it still runs.
  bool WaitForExit(std::chrono::milliseconds timeout, int* status = nullptr);
  // SIGTERM, up to grace for the child to end, then SIGKILL; reaps it.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // SIGKILL now, and reaps it.
  void Kill();

 private:
  void Reap(int* status);

  pid_t pid_ = -1;
  int exitFd_ = -1;
};

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_CHILD_PROCESS_H
