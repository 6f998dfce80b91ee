// Loading and unloading libKavrel.so in a process of its own writes the two
// trace lines, in order, through the default trace sink (stderr when
// KAVREL_TRACE asks for it, nothing otherwise).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/host_services.h"

namespace {

// Runs body in a child process and returns what it wrote to stderr.
template <typename Body>
std::string ChildStderr(Body body, int* exitStatus) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    _exit(body());
  }
  close(pipeFds[1]);
  std::string output;
  char buffer[256];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  *exitStatus = status;
  return output;
}

TEST(ModuleLoad, LoadAndUnloadAreTracedOnlyWhenAsked) {
  // The library is quiet by default; KAVREL_TRACE sends its trace to stderr.
  struct Case {
    const char* trace;  // KAVREL_TRACE, or null for unset
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, ""},
      {"", ""},
      {"0", ""},
      {"1", "KAVREL.DLL Initializing!\nKAVREL.DLL Terminating!\n"},
  };
  for (const Case& c : cases) {
    int status = -1;
    const std::string output = ChildStderr(
        [&c] {
          if (c.trace != nullptr) {
            setenv("KAVREL_TRACE", c.trace, 1);
          } else {
            unsetenv("KAVREL_TRACE");
          }
          void* module = dlopen(KAVREL_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
          if (module == nullptr) return 2;
          // Only the two module lines: nothing else runs in between.
          if (dlsym(module, "_ZN6kavrel16GetModuleVersionEv") == nullptr) return 3;
          return dlclose(module) == 0 ? 0 : 4;
        },
        &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_EQ(output, c.expected) << (c.trace != nullptr ? c.trace : "(unset)");
  }
}

TEST(ModuleLoad, TracedControlBytesAreShownEscaped) {
  EXPECT_EQ(kavrel::host::EscapeControlBytes("Kavrel CString Abnormal[\x1b[2Jx\ty]??\n"),
            "Kavrel CString Abnormal[\\x1B[2Jx\\x09y]??\n");
  EXPECT_EQ(kavrel::host::EscapeControlBytes("a\nb\x7f\n"), "a\\x0Ab\\x7F\n");
  EXPECT_EQ(kavrel::host::EscapeControlBytes("\xB4\xAE ok"), "\xB4\xAE ok");
}

TEST(ModuleLoad, OnlyThePublicSurfaceIsExported) {
  void* module = dlopen(KAVREL_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  // SerialCtl::OpenSerial() and kavrel::SetMainWindow are exported ...
  EXPECT_NE(dlsym(module, "_ZN9SerialCtl10OpenSerialEv"), nullptr);
  EXPECT_NE(dlsym(module, "_ZN6kavrel13SetMainWindowEPNS_6WindowE"), nullptr);
  EXPECT_NE(dlsym(module, "_ZN6kavrel15ListSerialPortsERSt6vectorINS_14SerialPortInfoESaIS1_EE"),
            nullptr);
  // ... the platform layer is not.
  EXPECT_EQ(dlsym(module, "_ZN6kavrel8platform11CreateFileAEPKcjjPvjjj"), nullptr);
  EXPECT_EQ(dlsym(module, "_ZN6kavrel4host5TraceEPKcz"), nullptr);
  EXPECT_EQ(
      dlsym(module,
            "_ZN6kavrel8platform6driver18DescribeSerialPortERKNS1_7UdevTtyEPNS_14SerialPortInfoE"),
      nullptr);
  dlclose(module);
}

}  // namespace
