// Loading and unloading libKavrel.so in a process of its own writes the two
// trace lines, in order, through the default trace sink (stderr).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

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

TEST(ModuleLoad, LoadAndUnloadAreTraced) {
  int status = -1;
  const std::string output = ChildStderr(
      [] {
        void* module = dlopen(KAVREL_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) return 2;
        // Only the two module lines: nothing else runs in between.
        if (dlsym(module, "_ZN6kavrel16GetModuleVersionEv") == nullptr) return 3;
        return dlclose(module) == 0 ? 0 : 4;
      },
      &status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_EQ(output, "KAVREL.DLL Initializing!\nKAVREL.DLL Terminating!\n");
}

TEST(ModuleLoad, OnlyThePublicSurfaceIsExported) {
  void* module = dlopen(KAVREL_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  // SerialCtl::OpenSerial() and kavrel::SetMainWindow are exported ...
  EXPECT_NE(dlsym(module, "_ZN9SerialCtl10OpenSerialEv"), nullptr);
  EXPECT_NE(dlsym(module, "_ZN6kavrel13SetMainWindowEPNS_6WindowE"), nullptr);
  // ... the platform layer is not.
  EXPECT_EQ(dlsym(module, "_ZN6kavrel8platform11CreateFileAEPKcjjPvjjj"), nullptr);
  EXPECT_EQ(dlsym(module, "_ZN6kavrel4host5TraceEPKcz"), nullptr);
  dlclose(module);
}

}  // namespace
