// What the SerialCtl operations share: the library's message-box texts and
// the wait for an overlapped transfer.
#ifndef KAVREL_SERIAL_INTERNAL_H
#define KAVREL_SERIAL_INTERNAL_H

#include <cstdint>

#include "kavrel/types.h"

namespace kavrel {
namespace serial {

// Texts the user sees, in the library's own encoding (GBK).
// "串口设置错误！": the device refused the line settings.
constexpr char kSettingsRefusedText[] = "\xB4\xAE\xBF\xDA\xC9\xE8\xD6\xC3\xB4\xED\xCE\xF3\xA3\xA1";
// "串口线程建立失败！": the listener thread could not be started.
constexpr char kListenerThreadFailedText[] =
    "\xB4\xAE\xBF\xDA\xCF\xDF\xB3\xCC\xBD\xA8\xC1\xA2\xCA\xA7\xB0\xDC\xA3\xA1";
// "辅助线程事件建立错误！": the listener's private event could not be created.
constexpr char kListenerEventFailedText[] =
    "\xB8\xA8\xD6\xFA\xCF\xDF\xB3\xCC\xCA\xC2\xBC\xFE\xBD\xA8\xC1\xA2\xB4\xED\xCE\xF3\xA3\xA1";

// Queue sizes requested from the driver at open.
constexpr DWORD kDriverQueueSize = 409600;

// The device events an open port reports (the listener's, and the mask a
// modem wait puts back when it is done).
constexpr DWORD kPortEvents = 0x0001 | 0x0004;  // EV_RXCHAR | EV_TXEMPTY

// Host values arrive as long, which is 64 bits on Linux; the fields are 32.
// Values beyond the field saturate, so an absurd value stays absurd (a rate
// is then refused at open) instead of wrapping to a plausible one.
inline LONG SaturateToLong(long value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<LONG>(value);
}

// Finishes a transfer that ReadFile or WriteFile started: started is what the
// call returned. A transfer that is still going on is waited for, for as
// long as the wait reports it incomplete. True when the transfer succeeded;
// transferred then holds its byte count.
bool FinishTransfer(HANDLE device, OVERLAPPED* overlapped, BOOL started, DWORD* transferred);

// Records the calling thread's last platform error, with the reason the
// platform gave for it, as why the current call failed (see
// kavrel::GetLastErrorReason); context, when given, comes first: "settings
// refused: 1.5 stop bits need 5 data bits".
void RecordPlatformFailure(const char* context = nullptr);

// The address of a reference a host passed, kept opaque to the optimiser:
// a host can bind a reference to a null pointer, and the compiler may not
// assume it away, so the check the caller makes stays in the code.
template <typename T>
T* AddressOfHostReference(T& reference) {
  T* address = &reference;
#if defined(__GNUC__)
  __asm__("" : "+r"(address));
#endif
  return address;
}

}  // namespace serial
}  // namespace kavrel

#endif  // KAVREL_SERIAL_INTERNAL_H
