// A local tty as a device's transport: a UART, a USB serial adapter or a pty
// slave, opened exclusively and in raw mode, its bytes moved with plain
// non-blocking read() and write().
#ifndef KAVREL_PLATFORM_LINUX_TTY_TRANSPORT_H
#define KAVREL_PLATFORM_LINUX_TTY_TRANSPORT_H

#include <memory>
#include <string>

#include "platform/linux/device_names.h"
#include "platform/linux/fork_safety.h"
#include "platform/linux/line_settings.h"
#include "platform/linux/termios2_speed.h"
#include "platform/linux/transport.h"
#include "platform/linux/uucp_lock.h"

namespace kavrel {
namespace platform {
namespace driver {

class TtyTransport final : public Transport {
 public:
  // Opens the resolved node (see OpenExclusive). ERROR_SUCCESS with
  // *transport set, or the error with nothing left open or locked and the
  // reason in *why where one is known.
  static DWORD Open(const DeviceNode& node, std::unique_ptr<Transport>* transport,
                    std::string* why);

  // Takes over fd, which is open exclusively and raw, and the port's lock;
  // atOpen is the line as it was before the open made it raw. The
  // descriptor is tracked for a forked child to close.
  TtyTransport(int fd, TtyKind kind, UucpLock lock, const LineSnapshot& atOpen);
  // Gives exclusive mode back, closes the descriptor, and then drops the
  // lock.
  ~TtyTransport() override;

  int descriptor() const override { return fd_; }
  Transfer Receive(unsigned char* buffer, std::size_t room) override;
  Transfer Send(const unsigned char* data, std::size_t size) override;
  std::size_t InputWaiting() override;
  void DiscardInput() override;
  DWORD ReadModemLines(ModemLines* lines) override;
  DWORD ReadSettings(DCB* dcb) override;
  DWORD ApplySettings(const DCB& dcb) override;
  DWORD DriveModemLine(ModemOutput line, bool raised) override;
  DWORD DriveBreak(bool on) override;
  DWORD RestoreSettingsAtOpen() override;
  DWORD Drain() override;
  void InterruptDrain() override;

 private:
  // Sets DTR and RTS as the DCB asks, where the device has modem lines.
  void DriveModemLines(const DCB& dcb);

  const int fd_;
  ChildClosedDescriptor tracked_;
  const TtyKind kind_;
  const LineSnapshot atOpen_;
  LineSettings line_;  // used by line calls only
  UucpLock lock_;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TTY_TRANSPORT_H
