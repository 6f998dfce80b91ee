// Leak accounting: ten thousand of each cycle a long-running host repeats
// (open and close, listen and stop, opens that fail for every reason an open
// can fail) leave the process holding exactly what it held before:
// descriptors, threads and entries of the handle table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "kavrel/SerialCtl.h"
#include "reliability_support.h"
#include "support/host_capture.h"
#include "support/null_modem.h"
#include "support/port_users.h"
#include "support/pty_pair.h"

namespace {

using kavrel_reliability::Bytes;
using kavrel_reliability::CountFigure;
using kavrel_reliability::OpenOn;
using kavrel_reliability::ReadFor;
using kavrel_reliability::ResourceLedger;
using kavrel_test::HostCapture;
using kavrel_test::NullModemPair;
using std::chrono::milliseconds;

constexpr int kCycles = 10000;

TEST(LeakAccounting, TenThousandOpenCloseCyclesEndWhereTheyStarted) {
  const ResourceLedger ledger;
  {
    NullModemPair pair;
    KAVREL_REQUIRE_PAIR(pair);
    SerialCtl port;
    port.SetSerial(pair.portName().c_str(), 115200, 8, 1, "NONE", "");
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      port.OpenSerial();
      ASSERT_TRUE(port.IsSerialOpen()) << "cycle " << cycle;
      // Now and then the open port carries a byte each way.
      if (cycle % 1000 == 0) {
        const unsigned char byte = static_cast<unsigned char>(cycle / 1000);
        ASSERT_EQ(port.WriteSerial(&byte, 1), 1);
        ASSERT_EQ(pair.PeerReadExactly(1, std::chrono::seconds(10)), Bytes{byte});
        ASSERT_TRUE(pair.PeerWrite(&byte, 1));
        ASSERT_EQ(ReadFor(port, milliseconds(5000), 1), Bytes{byte});
      }
      port.CloseSerial();
      ASSERT_FALSE(port.IsSerialOpen());
    }
    CountFigure("cycles_open_close", kCycles);
  }
  ledger.ExpectUnchanged("after 10,000 open/close cycles");
}

TEST(LeakAccounting, TenThousandListenStopCyclesEndWhereTheyStarted) {
  const ResourceLedger ledger;
  {
    kavrel::MessageQueue window;
    const kavrel_reliability::MainWindowScope mainWindow(&window);
    NullModemPair pair;
    KAVREL_REQUIRE_PAIR(pair);
    SerialCtl port;
    ASSERT_TRUE(OpenOn(port, pair));
    std::mt19937 random(17);
    std::size_t sent = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      port.ListenSerial(static_cast<long>(random() % 2), static_cast<long>(random() % 2));
      // Every so often the listener is stopped while it has bytes to
      // announce, so the stop meets it settling or posting.
      if (cycle % 50 == 0) {
        const unsigned char byte = static_cast<unsigned char>(cycle);
        ASSERT_TRUE(pair.PeerWrite(&byte, 1));
        ++sent;
      }
      port.StopListenSerial();
      ASSERT_EQ(port.listenerThread, kavrel::HANDLE{}) << "cycle " << cycle;
    }
    // Nothing was lost to the cycling.
    EXPECT_EQ(ReadFor(port, milliseconds(5000), sent).size(), sent);
    port.CloseSerial();
    CountFigure("cycles_listen_stop", kCycles);
  }
  ledger.ExpectUnchanged("after 10,000 listen/stop cycles");
}

TEST(LeakAccounting, TenThousandFailedOpensEndWhereTheyStarted) {
  const ResourceLedger ledger;
  {
    HostCapture host;
    NullModemPair free;
    NullModemPair held;
    KAVREL_REQUIRE_PAIR(free);
    KAVREL_REQUIRE_PAIR(held);
    SerialCtl holder;
    ASSERT_TRUE(OpenOn(holder, held));
    // A terminal in use, the console, and a port another program locked.
    kavrel_test::PtyPair shell, console, locked;
    if (!shell.ok() || !console.ok() || !locked.ok()) GTEST_SKIP() << "not enough ptys here";
    const kavrel_test::ProcessOnTerminal session(
        shell.path(), kavrel_test::ProcessOnTerminal::Hold::kAsControllingTerminal);
    ASSERT_TRUE(session.ok());
    const kavrel_test::ConsoleList consoles;
    consoles.AddTty("ttyS7", console.path());
    consoles.SetActive("ttyS7");
    const kavrel_test::LockDirectory locks;
    locks.Write(locked.name(), kavrel_test::LockText(getppid()));

    enum Reason {
      kMissing,
      kRefusedName,
      kNotATty,
      kRefusedSettings,
      kBusy,
      kNameTooLong,
      kTerminalInUse,
      kConsole,
      kLocked,
      kCount
    };
    int refusedSettings = 0;
    int tooLong = 0;
    SerialCtl port;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      const auto reason = static_cast<Reason>(cycle % kCount);
      switch (reason) {
        case kMissing:
          port.SetSerial("ttyNONE9", 9600, 8, 1, "NONE", "");
          break;
        case kRefusedName:
          port.SetSerial("pts/../0", 9600, 8, 1, "NONE", "");
          break;
        case kNotATty:
          port.SetSerial("null", 9600, 8, 1, "NONE", "");
          break;
        case kRefusedSettings:
          port.SetSerial(free.portName().c_str(), 0, 8, 1, "NONE", "");
          ++refusedSettings;
          break;
        case kBusy:
          port.SetSerial(held.portName().c_str(), 9600, 8, 1, "NONE", "");
          break;
        case kNameTooLong:
          port.SetSerial("ttyUSB12345", 9600, 8, 1, "NONE", "");
          ++tooLong;
          break;
        case kTerminalInUse:
          port.SetSerial(shell.name().c_str(), 9600, 8, 1, "NONE", "");
          break;
        case kConsole:
          port.SetSerial(console.name().c_str(), 9600, 8, 1, "NONE", "");
          break;
        case kLocked:
          port.SetSerial(locked.name().c_str(), 9600, 8, 1, "NONE", "");
          break;
        case kCount:
          break;
      }
      port.OpenSerial();
      ASSERT_FALSE(port.IsSerialOpen()) << "cycle " << cycle << ", reason " << reason;
    }
    port.CloseSerial();
    // One message box per refused configuration, one trace line per name
    // that did not fit, and nothing else.
    EXPECT_EQ(host.messageBoxes().size(), static_cast<std::size_t>(refusedSettings));
    EXPECT_EQ(host.traces().size(), static_cast<std::size_t>(tooLong));
    // The busy device was not disturbed by the attempts on it.
    const unsigned char byte = 0x7E;
    EXPECT_EQ(holder.WriteSerial(&byte, 1), 1);
    EXPECT_EQ(held.PeerReadExactly(1, std::chrono::seconds(5)), Bytes{0x7E});
    holder.CloseSerial();
    CountFigure("cycles_failed_open", kCycles);
  }
  ledger.ExpectUnchanged("after 10,000 failed opens");
}

}  // namespace
