// Kavrel.dll's entry routine announces the module at load and at unload. A
// probe process loads and frees the module under this test's debugger, and
// every line it writes to the debugger's output is collected in order.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "module_path.h"

namespace {

struct DebugRun {
  bool started = false;
  bool exited = false;
  DWORD exitCode = 0;
  std::vector<std::string> output;  // OutputDebugString lines, in order
};

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  std::string text(info.nDebugStringLength, '\0');
  SIZE_T read = 0;
  if (info.fUnicode || text.empty() ||
      !::ReadProcessMemory(process, info.lpDebugStringData, &text[0], text.size(), &read)) {
    return "<unreadable>";
  }
  text.resize(read);
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Runs program as a debuggee until it exits, or until a debug event takes
// longer than the time-out to come.
DebugRun RunUnderDebugger(const std::string& program) {
  DebugRun run;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string commandLine = "\"" + program + "\"";
  if (!::CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &process)) {
    return run;
  }
  run.started = true;
  HANDLE debuggee = nullptr;
  DEBUG_EVENT event{};
  while (!run.exited && ::WaitForDebugEvent(&event, 30000)) {
    DWORD continueStatus = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        debuggee = event.u.CreateProcessInfo.hProcess;
        if (event.u.CreateProcessInfo.hFile != nullptr) {
          ::CloseHandle(event.u.CreateProcessInfo.hFile);
        }
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) ::CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT:
        run.output.push_back(ReadDebugString(debuggee, event.u.DebugString));
        break;
      case EXCEPTION_DEBUG_EVENT:
        // The loader's initial breakpoint is ours to pass; anything else is
        // the probe's own to handle.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          continueStatus = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        run.exited = true;
        run.exitCode = event.u.ExitProcess.dwExitCode;
        break;
      default:
        break;
    }
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
  }
  if (!run.exited) ::TerminateProcess(process.hProcess, 1);
  ::WaitForSingleObject(process.hProcess, 30000);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return run;
}

TEST(DllMain, TracesAtLoadLibraryAndAtFreeLibrary) {
  const DebugRun run = RunUnderDebugger(kavrel_test::BesideThisProgram("kavrel_module_probe.exe"));
  ASSERT_TRUE(run.started) << "CreateProcess failed: " << ::GetLastError();
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.exitCode, 0u);
  // The module's lines fall inside LoadLibrary and inside FreeLibrary, once
  // each, with nothing else from the module.
  const std::vector<std::string> expected = {
      "probe: loading\n", "KAVREL.DLL Initializing!\n", "probe: loaded\n",
      "probe: freeing\n", "KAVREL.DLL Terminating!\n",  "probe: freed\n",
  };
  EXPECT_EQ(run.output, expected);
}

}  // namespace
