// The smallest complete Kavrel host: open a port, listen, send one line and
// print the answer, handling the data-ready notification in a plain message
// loop on kavrel::MessageQueue.
//
//   kavrel-example-loop PORT [TEXT]
//
// PORT is a name under /dev (ttyUSB0, ttyS0, pts/3). TEXT (default "*IDN?")
// is sent with CR LF; the answer is printed until the port has been quiet for
// half a second.
#include <kavrel/SerialCtl.h>
#include <kavrel/host.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [TEXT]\n", argv[0]);
    return 2;
  }
  const std::string text = std::string(argc > 2 ? argv[2] : "*IDN?") + "\r\n";

  // A SerialCtl holds a 400 KiB staging buffer: keep it off the stack.
  auto port = std::make_unique<SerialCtl>();
  port->SetSerial(argv[1], 9600, 8, 1, "NONE", "");
  port->OpenSerial();
  if (!port->IsSerialOpen()) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }

  // The queue is this program's main window: the listener posts to it from
  // its own thread, and this thread takes the messages and does the reads.
  kavrel::MessageQueue mainWindow;
  kavrel::SetMainWindow(&mainWindow);
  port->notifyTag = 1;       // the lParam of this port's notifications
  port->ListenSerial(5, 5);  // notify 5 ms after bytes arrive; look every 5 ms

  if (port->WriteSerial(reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
    std::fprintf(stderr, "write to %s failed\n", argv[1]);
  }

  std::vector<unsigned char> buffer(SerialCtl::kStagingSize);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  kavrel::Message message{};
  while (std::chrono::steady_clock::now() < giveUp && mainWindow.Wait(message, 500)) {
    if (message.message != KAVREL_WM_DATA_READY) continue;
    int count = 0;
    port->ReadSerial(buffer.data(), count);  // exactly the bytes queued now
    std::fwrite(buffer.data(), 1, static_cast<std::size_t>(count), stdout);
  }
  std::fflush(stdout);

  // Stop the listener before the window it posts to goes away.
  port->StopListenSerial();
  kavrel::SetMainWindow(nullptr);
  port->CloseSerial();
  return 0;
}
