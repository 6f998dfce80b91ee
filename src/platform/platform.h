// The platform seam: the Win32-named services the serial code calls.
//
// On Windows each name passes straight through to kernel32. Elsewhere the
// POSIX backend emulates a Windows serial driver with the same observable
// behaviour: handles from a handle table, driver queues fed by an I/O thread,
// overlapped completion through events.
//
// The serial code calls these as platform::Name and never includes a system
// header itself.
#ifndef KAVREL_PLATFORM_PLATFORM_H
#define KAVREL_PLATFORM_PLATFORM_H

#include <string>

#include "kavrel/types.h"

namespace kavrel {
namespace platform {

// The Win32 types read unqualified in code that uses this namespace.
using kavrel::BOOL;
using kavrel::BYTE;
using kavrel::COMSTAT;
using kavrel::DCB;
using kavrel::DWORD;
using kavrel::HANDLE;
using kavrel::LPARAM;
using kavrel::OVERLAPPED;
using kavrel::UINT;
using kavrel::WPARAM;

// The empty handle: what a handle field holds when nothing is open.
constexpr HANDLE kNoHandle{};

using ThreadRoutine = DWORD(KAVREL_CALLBACK*)(void* argument);

#if defined(_WIN32)

using ::CancelIoEx;
using ::ClearCommBreak;
using ::ClearCommError;
using ::CloseHandle;
using ::COMMTIMEOUTS;
using ::CreateFileA;
using ::EscapeCommFunction;
using ::FlushFileBuffers;
using ::GetCommModemStatus;
using ::GetCommState;
using ::GetCommTimeouts;
using ::GetExitCodeThread;
using ::GetLastError;
using ::GetOverlappedResult;
using ::PurgeComm;
using ::ReadFile;
using ::ResetEvent;
using ::SetCommBreak;
using ::SetCommMask;
using ::SetCommState;
using ::SetCommTimeouts;
using ::SetEvent;
using ::SetLastError;
using ::SetupComm;
using ::SwitchToThread;
using ::WaitCommEvent;
using ::WaitForMultipleObjects;
using ::WaitForSingleObject;
using ::WriteFile;

// Event and thread creation pass through wrappers, so a test build can make
// them fail on purpose. The library always creates them with default
// security, without a name and without asking for the thread id; taking
// std::nullptr_t for those arguments makes these the better match for the
// serial code's unqualified calls than kernel32's declarations, which
// <windows.h> puts in the global namespace beside them.
HANDLE CreateEventA(std::nullptr_t security, BOOL manualReset, BOOL initialState,
                    std::nullptr_t name);
HANDLE CreateThread(std::nullptr_t security, std::size_t stackSize, ThreadRoutine routine,
                    void* argument, DWORD flags, std::nullptr_t threadId);

// Windows has no fork(): every object lives in the process that made it.
inline unsigned ProcessGeneration() { return 0; }

// kernel32 says no more than the code.
inline std::string LastErrorDetail() { return std::string(); }

#else

using kavrel::INVALID_HANDLE_VALUE;
constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// Error codes (GetLastError).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_TIMEOUT = 1460;

// CreateFileA.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// Device events (SetCommMask, WaitCommEvent).
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;

// PurgeComm.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// DCB values.
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// EscapeCommFunction.
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// GetCommModemStatus: the input lines that are on.
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// Time-outs of reads and writes (SetCommTimeouts), in milliseconds; all
// zero means none: a read waits until it has every byte asked for, a write
// until the device has taken every byte.
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

// Waits.
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD STILL_ACTIVE = 259;

// Devices. path is "\\.\NAME"; see the POSIX backend for how NAME resolves.
HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL SetCommMask(HANDLE device, DWORD mask);
BOOL PurgeComm(HANDLE device, DWORD flags);
BOOL SetupComm(HANDLE device, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE device, DCB* dcb);
BOOL SetCommState(HANDLE device, DCB* dcb);
BOOL ClearCommError(HANDLE device, DWORD* errors, COMSTAT* status);
BOOL ReadFile(HANDLE device, void* buffer, DWORD count, DWORD* transferred, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE device, const void* buffer, DWORD count, DWORD* transferred,
               OVERLAPPED* overlapped);
BOOL WaitCommEvent(HANDLE device, DWORD* eventMask, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
BOOL CancelIoEx(HANDLE device, OVERLAPPED* overlapped);
BOOL EscapeCommFunction(HANDLE device, DWORD function);
BOOL GetCommModemStatus(HANDLE device, DWORD* status);
BOOL SetCommBreak(HANDLE device);
BOOL ClearCommBreak(HANDLE device);
// Returns once every byte written before the call has left the driver's
// queue and the kernel's own driver.
BOOL FlushFileBuffers(HANDLE device);
BOOL SetCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts);
BOOL GetCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts);

// Errors.
DWORD GetLastError();
void SetLastError(DWORD error);
// The specific reason the emulated driver knew for the last error of the
// calling thread ("in use by another program (pid 4711)", "1.5 stop bits
// need 5 data bits"), or empty when the code says all it knew. Any later
// error replaces it.
std::string LastErrorDetail();

// Events.
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD timeoutMs);

// Threads. A thread handle is signalled once its routine has returned. As
// on Windows above, the library never asks for the thread's id.
HANDLE CreateThread(void* security, std::size_t stackSize, ThreadRoutine routine, void* argument,
                    DWORD flags, std::nullptr_t threadId);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
// Offers the rest of the caller's time slice to a thread that is ready to
// run, as a zero-length Sleep does on Windows. Always TRUE: the kernel does
// not say whether another thread ran.
BOOL SwitchToThread();

// fork() without exec: 0 in a process started by exec, one more than its
// parent's in a forked child, where every handle of the parent has become
// invalid and no thread of the parent runs. An object that holds handles
// remembers the generation it was made in and so notices that it was
// inherited.
unsigned ProcessGeneration();

#endif

// Kavrel's own call beside the Win32 names (Win32 has none for it): puts the
// line back as it was before this handle opened the device. On Windows that
// is stateAtOpen, the DCB read right after the open; the emulated driver
// restores everything the kernel held for the line before the open made it
// raw, and does not need stateAtOpen.
BOOL RestoreCommState(HANDLE device, DCB* stateAtOpen);

}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_PLATFORM_H
