// The bad-input matrix: every kind of value a host can pass where it should
// not, and calls in the wrong order, each row with the result the library
// documents for it. Rows run on real pty pairs through the public surface;
// each table ends with the process holding what it held before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/error_reason.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/errors.h"
#include "platform/platform.h"
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

constexpr kavrel::HANDLE kEmpty{};

// A text as a failure message can show it: bytes outside printable ASCII
// as \xNN, long texts cut.
std::string Printable(const std::string& text) {
  std::string shown;
  for (const unsigned char c : text.substr(0, 24)) {
    if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    }
  }
  return "'" + shown + (text.size() > 24 ? "...'" : "'");
}

// What the device reports once the port is open.
kavrel::DCB Reported(const SerialCtl& port) {
  kavrel::DCB dcb{};
  EXPECT_TRUE(kavrel::platform::GetCommState(port.portHandle, &dcb));
  return dcb;
}

// A refused configuration: one message box, the device released.
void ExpectRefusedWithOneBox(SerialCtl& port, const HostCapture& host, const char* row) {
  EXPECT_FALSE(port.IsSerialOpen()) << row;
  EXPECT_EQ(port.portHandle, kEmpty) << row;
  ASSERT_EQ(host.messageBoxes().size(), 1u) << row;
  EXPECT_EQ(host.messageBoxes()[0], kavrel_test::kSettingsErrorGbk) << row;
}

// ---------------------------------------------------------------------------
// Numbers.

TEST(BadNumbers, RatesOpenWhenPositiveAndAreNeverWrapped) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const ResourceLedger ledger;
  const long wide = sizeof(long) > 4 ? 1 : 0;  // rows beyond 32 bits need a 64-bit long
  const struct {
    long baud;
    bool opens;
    kavrel::DWORD reported;
    const char* row;
  } rows[] = {
      {1, true, 1, "1"},
      {7, true, 7, "7"},
      {50, true, 50, "50"},
      {12345, true, 12345, "12345 (custom)"},
      {4000001, true, 4000001, "4000001 (custom)"},
      {INT32_MAX, true, 0x7FFFFFFFu, "INT32_MAX"},
      {LONG_MAX, true, 0x7FFFFFFFu, "LONG_MAX saturates"},
      {0, false, 0, "0"},
      {-1, false, 0, "-1"},
      {-115200, false, 0, "-115200"},
      {LONG_MIN, false, 0, "LONG_MIN"},
      // 2^32 + 9600 and -(2^32) + 9600 would both wrap to 9600.
      {wide ? static_cast<long>(0x100002580LL) : INT32_MAX, true, 0x7FFFFFFFu, "2^32 + 9600"},
      {wide ? static_cast<long>(-0x100000000LL + 9600) : -9600, false, 0, "-(2^32) + 9600"},
  };
  for (const auto& row : rows) {
    CountFigure("bad_input_rows");
    HostCapture host;
    SerialCtl port;
    port.SetSerial(pair.portName().c_str(), row.baud, 8, 1, "NONE", "");
    port.OpenSerial();
    if (row.opens) {
      EXPECT_TRUE(port.IsSerialOpen()) << row.row;
      if (!port.IsSerialOpen()) continue;
      EXPECT_EQ(Reported(port).BaudRate, row.reported) << row.row;
      EXPECT_TRUE(host.messageBoxes().empty()) << row.row;
    } else {
      ExpectRefusedWithOneBox(port, host, row.row);
    }
  }
  ledger.ExpectUnchanged("after the rate rows");
}

TEST(BadNumbers, FramingOpensOnlyWhereAUartCouldSendIt) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const ResourceLedger ledger;
  const int dataBits[] = {INT_MIN, -1, 0, 4, 5, 6, 7, 8, 9, 255, 256, 264, INT_MAX};
  // Per stop-bits argument: the stop-bits code it stands for and the data
  // bits it opens with. 0 and 1 mean one stop bit, 2 two, anything else one
  // and a half, which a UART sends only with 5 data bits.
  const struct {
    int stopBits;
    int code;
    std::vector<int> opensWith;
  } rows[] = {
      {0, 0, {5, 6, 7, 8}}, {1, 0, {5, 6, 7, 8}}, {2, 2, {6, 7, 8}}, {3, 1, {5}},
      {15, 1, {5}},         {-1, 1, {5}},         {INT_MIN, 1, {5}}, {INT_MAX, 1, {5}},
  };
  for (const auto& row : rows) {
    for (const int data : dataBits) {
      const std::string name =
          "stop " + std::to_string(row.stopBits) + ", data " + std::to_string(data);
      const bool opens =
          std::find(row.opensWith.begin(), row.opensWith.end(), data) != row.opensWith.end();
      CountFigure("bad_input_rows");
      HostCapture host;
      SerialCtl port;
      port.SetSerial(pair.portName().c_str(), 9600, data, row.stopBits, "NONE", "");
      EXPECT_EQ(port.stopBitsCode, row.code) << name;
      port.OpenSerial();
      if (opens) {
        EXPECT_TRUE(port.IsSerialOpen()) << name;
        if (!port.IsSerialOpen()) continue;
        const kavrel::DCB dcb = Reported(port);
        EXPECT_EQ(dcb.ByteSize, data) << name;
        EXPECT_EQ(dcb.StopBits, row.code) << name;
        EXPECT_TRUE(host.messageBoxes().empty()) << name;
      } else {
        ExpectRefusedWithOneBox(port, host, name.c_str());
      }
    }
  }
  ledger.ExpectUnchanged("after the framing rows");
}

TEST(BadNumbers, AFramingThatOpenedOnceOpensAgain) {
  // The same settings, opened, closed and opened again: the second open must
  // not fail where the first succeeded, whatever the data bits and parity
  // and although the line speed no longer changes.
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const struct {
    int data;
    const char* parity;
  } rows[] = {{8, "NONE"}, {7, "EVEN"}, {7, "NONE"}, {6, "ODD"}, {5, "NONE"}};
  for (const auto& row : rows) {
    const std::string name = std::to_string(row.data) + " data bits, " + row.parity;
    for (int open = 0; open < 2; ++open) {
      HostCapture host;
      SerialCtl port;
      port.SetSerial(pair.portName().c_str(), 9600, row.data, 1, row.parity, "");
      port.OpenSerial();
      EXPECT_TRUE(port.IsSerialOpen()) << name << ", open " << open + 1;
      EXPECT_TRUE(host.messageBoxes().empty()) << name << ", open " << open + 1;
    }
  }
}

// ---------------------------------------------------------------------------
// Texts.

TEST(BadTexts, OnlyTheSixParityWordsChooseAParity) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const std::string longEven(100000, 'E');
  const struct {
    const char* text;
    kavrel::BYTE reported;
  } rows[] = {
      {"NONE", 0},
      {"none", 0},
      {"ODD", 1},
      {"odd", 1},
      {"EVEN", 2},
      {"even", 2},
      {"Even", 0},
      {"oDD", 0},
      {"MARK", 0},
      {"mark", 0},
      {"SPACE", 0},
      {"space", 0},
      {"E", 0},
      {"O", 0},
      {"N", 0},
      {"", 0},
      {nullptr, 0},
      {" EVEN", 0},
      {"EVEN ", 0},
      {"ODD\n", 0},
      {"EVENODD", 0},
      {"\xB6\xAB", 0},
      {"\xFF\xFE\xFD", 0},
      {"EV\x00EN", 0},
      {longEven.c_str(), 0},
  };
  for (const auto& row : rows) {
    const std::string name = row.text == nullptr ? "(null)" : Printable(row.text);
    CountFigure("bad_input_rows");
    HostCapture host;
    SerialCtl port;
    port.SetSerial(pair.portName().c_str(), 9600, 7, 1, "ODD", "");  // poison: odd parity
    port.SetSerial(pair.portName().c_str(), 9600, 7, 1, row.text, "");
    EXPECT_EQ(port.parityCode, row.reported) << name;
    port.OpenSerial();
    EXPECT_TRUE(port.IsSerialOpen()) << name;
    if (!port.IsSerialOpen()) continue;
    // The device carries what was chosen (a pty keeps the framing a wire
    // would have).
    EXPECT_EQ(Reported(port).Parity, row.reported) << name;
    EXPECT_TRUE(host.messageBoxes().empty()) << name;
    EXPECT_TRUE(host.traces().empty()) << name;
  }
}

// Entries of /dev/shm with names short enough for a port name ("shm/kNNNN"
// holds nine characters), each watched for any open. What a link among them
// leads to lies outside /dev and is watched as well.
class ScratchEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch_, 0);
    struct stat info {};
    if (stat("/dev/shm", &info) != 0 || !S_ISDIR(info.st_mode)) GTEST_SKIP() << "no /dev/shm";
    char outside[] = "/tmp/kavrel-outside-XXXXXX";
    const int fd = mkstemp(outside);
    ASSERT_GE(fd, 0);
    close(fd);
    outside_ = outside;
    ASSERT_GE(inotify_add_watch(watch_, outside_.c_str(), IN_OPEN), 0);
  }
  void TearDown() override {
    for (const std::string& entry : entries_) {
      if (unlink(entry.c_str()) != 0) rmdir(entry.c_str());
    }
    if (!outside_.empty()) unlink(outside_.c_str());
    if (watch_ >= 0) close(watch_);
  }
  // The port name of a new entry made by make(path) under a free name.
  template <typename Make>
  std::string Entry(Make make) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      const std::string path = "/dev/shm/k" + std::to_string(1000 + random_() % 9000);
      if (make(path) != 0) continue;  // taken: try another name
      entries_.push_back(path);
      EXPECT_GE(inotify_add_watch(watch_, path.c_str(), IN_OPEN | IN_DONT_FOLLOW), 0) << path;
      return path.substr(std::string("/dev/").size());
    }
    ADD_FAILURE() << "no free name under /dev/shm";
    return std::string();
  }
  bool AnythingOpened() {
    char events[4096];
    return read(watch_, events, sizeof events) > 0;
  }

  std::mt19937 random_{static_cast<unsigned>(getpid())};
  std::string outside_;
  std::vector<std::string> entries_;
  int watch_ = -1;
};

TEST_F(ScratchEntries, PortNamesThatAreNotSerialPortsAreRefusedWithoutOpeningAnything) {
  // A regular file, a FIFO, a directory and a link that leads out of /dev.
  const std::string file = Entry([](const std::string& path) {
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    return fd >= 0 ? close(fd) : -1;
  });
  const std::string fifo =
      Entry([](const std::string& path) { return mkfifo(path.c_str(), 0600); });
  const std::string directory =
      Entry([](const std::string& path) { return mkdir(path.c_str(), 0700); });
  const std::string escape =
      Entry([this](const std::string& path) { return symlink(outside_.c_str(), path.c_str()); });
  AnythingOpened();  // the set-up's own opens

  const std::string names[] = {
      // Stepping out of /dev, or absolute.
      "..", "../", "../tmp", "pts/../0", "./null", "pts/./0", "pts//0", "/dev/null", "/etc",
      // Control bytes, DEL, backslashes, bytes that are no text.
      std::string("pts/\x01", 5), "tty\nS0", "\x7f", "pts\\0", "tty\x1bS0", "\xff\xfe",
      // Nodes under /dev that are not serial ports, or lead out of it.
      "null", "zero", "full", "random", "urandom", "ptmx", "pts/ptmx", "stdin", "fd/0", "shm",
      "pts", "mqueue",
      // COM names that do not map to a port, and a port that is not there.
      "COM0", "COM01", "COM", "ttyNONE9",
      // Files, FIFOs, directories and escaping links.
      file, fifo, directory, escape,
      // Empty.
      ""};
  const ResourceLedger ledger;
  HostCapture host;
  for (const std::string& name : names) {
    CountFigure("bad_input_rows");
    ASSERT_LE(name.size(), 9u) << Printable(name);
    SerialCtl port;
    port.SetSerial(name.c_str(), 9600, 8, 1, "NONE", "");
    port.OpenSerial();
    EXPECT_FALSE(port.IsSerialOpen()) << Printable(name);
    EXPECT_EQ(port.portHandle, kavrel::INVALID_HANDLE_VALUE) << Printable(name);
    EXPECT_FALSE(AnythingOpened()) << Printable(name) << " was opened";
  }
  EXPECT_TRUE(host.messageBoxes().empty());
  EXPECT_TRUE(host.traces().empty());
  ledger.ExpectUnchanged("after the refused names");
}

TEST(BadTexts, OverlongPortNamesAreRefusedWhateverTheirLength) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const ResourceLedger ledger;
  // Each starts with the pair's own name, so a name cut to fit would open it.
  const std::string base = pair.portName();
  const std::string names[] = {base + std::string(10 - std::min<std::size_t>(base.size(), 9), 'x'),
                               base + std::string(255, '9'), base + std::string(100000, '/')};
  for (const std::string& name : names) {
    CountFigure("bad_input_rows");
    HostCapture host;
    SerialCtl port;
    port.SetSerial(pair.portName().c_str(), 9600, 8, 1, "NONE", "");
    port.SetSerial(name.c_str(), 9600, 8, 1, "NONE", "");
    port.OpenSerial();
    EXPECT_FALSE(port.IsSerialOpen()) << name.size() << " characters";
    ASSERT_EQ(host.traces().size(), 1u);
    EXPECT_EQ(host.traces()[0], "Kavrel CString Abnormal[" + name + "]??\n");
    EXPECT_TRUE(host.messageBoxes().empty());
  }
  ledger.ExpectUnchanged("after the overlong names");
}

// ---------------------------------------------------------------------------
// Buffers and counts.

TEST(BadBuffers, ACountBeyondThirtyTwoBitsSendsNothing) {
  if (sizeof(unsigned long) <= 4) GTEST_SKIP() << "unsigned long has 32 bits here";
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl port;
  ASSERT_TRUE(OpenOn(port, pair));
  // Cut to 32 bits, 2^32 + 1 would be a one-byte write.
  const unsigned char byte = 0x41;
  EXPECT_EQ(port.WriteSerial(&byte, static_cast<unsigned long>(0x100000001ULL)), 0);
  EXPECT_TRUE(pair.PeerReadUntilQuiet(milliseconds(100)).empty());
  EXPECT_EQ(port.WriteSerial(&byte, 1), 1);
}

TEST(BadBuffers, ReadsWriteOnlyTheBytesTheyCount) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl port;
  ASSERT_TRUE(OpenOn(port, pair));
  const Bytes sent = kavrel_reliability::RandomBytes(10, 3);
  for (const bool second : {false, true}) {
    ASSERT_TRUE(pair.PeerWrite(sent.data(), sent.size()));
    // Room for a full delivery wherever in the buffer a read starts.
    Bytes buffer(SerialCtl::kStagingSize + 4096 + sent.size(), 0xEE);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t claimed = 0;
    while (claimed < sent.size() && std::chrono::steady_clock::now() < end) {
      int count = -1;
      if (second) {
        port.ReadSerial2(buffer.data() + claimed, count);
      } else {
        port.ReadSerial(buffer.data() + claimed, count);
      }
      ASSERT_GE(count, 0);
      claimed += static_cast<std::size_t>(count);
    }
    ASSERT_EQ(claimed, sent.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + claimed, buffer.begin() + claimed + 4096,
                            [](unsigned char b) { return b == 0xEE; }))
        << (second ? "ReadSerial2" : "ReadSerial") << " wrote past the bytes it counted";
  }
}

TEST(BadBuffers, AClosedObjectWhoseLastSnapshotCountedBytesDeliversNone) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl port;
  ASSERT_TRUE(OpenOn(port, pair));
  const Bytes sent = {1, 2, 3, 4, 5};
  ASSERT_TRUE(pair.PeerWrite(sent.data(), sent.size()));
  // A zero-length write refreshes the snapshot without reading.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (port.commStatus.cbInQue < sent.size() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(milliseconds(2));
    port.WriteSerial(nullptr, 0);
  }
  ASSERT_EQ(port.commStatus.cbInQue, sent.size());
  port.CloseSerial();
  Bytes buffer(64, 0xEE);
  int count = -1;
  port.ReadSerial(buffer.data(), count);
  EXPECT_EQ(count, 0);
  count = -1;
  port.ReadSerial2(buffer.data(), count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(buffer, Bytes(64, 0xEE));
  EXPECT_EQ(port.WriteSerial(nullptr, 0), 0);  // not open: even an empty block is not sent
}

// ---------------------------------------------------------------------------
// Reasons.

// Every refusal the README's table lists, and a failed call of each kind,
// comes back from kavrel::GetLastErrorReason as the Win32 code and the text a
// host shows its user.
TEST(RefusalReasons, EveryRefusalComesBackAsACodeAndAText) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  kavrel_test::PtyPair shell, console, locked, held, dropped;
  if (!shell.ok() || !console.ok() || !locked.ok() || !held.ok() || !dropped.ok()) {
    GTEST_SKIP() << "not enough ptys here";
  }
  using kavrel_test::ProcessOnTerminal;
  const ProcessOnTerminal session(shell.path(), ProcessOnTerminal::Hold::kAsControllingTerminal);
  const ProcessOnTerminal other(held.path(), ProcessOnTerminal::Hold::kWithFlock);
  ASSERT_TRUE(session.ok() && other.ok());
  const kavrel_test::LockDirectory locks;
  locks.Write(locked.name(), kavrel_test::LockText(getppid()));
  // The kernel's consoles: another device, and the virtual console in front,
  // which is the pty.
  const kavrel_test::ConsoleList consoles;
  ASSERT_TRUE(consoles.ok());
  consoles.AddTty("ttyS8", "/dev/null");
  consoles.AddTty("ttyFRONT", console.path());
  consoles.SetInFront("tty0", "ttyFRONT");
  consoles.SetActive("ttyS8 tty0");

  using Call = std::function<void(SerialCtl&)>;
  const auto open = [](const std::string& name, long baud = 9600, int data = 8, int stop = 1) {
    return Call([=](SerialCtl& port) {
      port.SetSerial(name.c_str(), baud, data, stop, "NONE", "");
      port.OpenSerial();
    });
  };
  const std::string port = pair.portName();
  const unsigned char byte = 0x41;
  const std::string pid = " (pid ";
  const struct {
    const char* what;
    Call call;
    kavrel::DWORD code;
    std::string text;
  } rows[] = {
      {"a name over 9 characters",
       [](SerialCtl& p) { p.SetSerial("ttyUSB12345", 9600, 8, 1, "NONE", ""); }, 123,
       "port name longer than 9 characters"},
      {"an open after it",
       [](SerialCtl& p) {
         p.SetSerial("ttyUSB12345", 9600, 8, 1, "NONE", "");
         p.OpenSerial();
       },
       123, "no port name"},
      {"an empty name", open(""), 123, "no port name"},
      {"a .. component", open("pts/../0"), 123, "not a valid port name"},
      {"an absolute name", open("/dev/null"), 123, "not a valid port name"},
      {"a missing device", open("ttyNONE9"), 2, "no such device"},
      {"a node that is no tty", open("null"), 2, "not a serial port"},
      {"the pty multiplexer", open("ptmx"), 2, "not a serial port"},
      {"the console's node", open("console"), 2, "the system console"},
      {"the caller's terminal's node", open("tty"), 2, "a terminal in use"},
      {"a tty the kernel's console is on", open(console.name()), 5, "the system console"},
      {"a session's terminal", open(shell.name()), 5,
       "a terminal in use" + pid + std::to_string(session.pid()) + ")"},
      {"a UUCP lock of a live process", open(locked.name()), 5,
       "in use by another program" + pid + std::to_string(getppid()) + ")"},
      {"another program's flock", open(held.name()), 5,
       "in use by another program" + pid + std::to_string(other.pid()) + ")"},
      {"another object's open",
       [&](SerialCtl& p) {
         SerialCtl first;
         open(port)(first);
         open(port)(p);
       },
       5, "already open in this program"},
      {"baud 0", open(port, 0), 87, "settings refused: the baud rate must be above 0"},
      {"a negative baud rate", open(port, -9600), 87,
       "settings refused: the baud rate must be above 0"},
      {"9 data bits", open(port, 9600, 9), 87, "settings refused: data bits must be 5 to 8"},
      {"2 stop bits with 5 data bits", open(port, 9600, 5, 2), 87,
       "settings refused: 2 stop bits need 6 to 8 data bits"},
      {"1.5 stop bits with 8 data bits", open(port, 9600, 8, 3), 87,
       "settings refused: 1.5 stop bits need 5 data bits"},
      {"a null capture name",
       [](SerialCtl& p) { p.SetSerial("ttyS0", 9600, 8, 1, "NONE", nullptr); }, 87,
       "no capture name"},
      {"a null read buffer",
       [&](SerialCtl& p) {
         int count = 0;
         open(port)(p);
         p.ReadSerial(nullptr, count);
       },
       87, "no buffer or count to read into"},
      {"a null block to write", [](SerialCtl& p) { p.WriteSerial(nullptr, 5); }, 87,
       "no bytes to send: the buffer is null"},
      {"a block over 4 GiB",
       [&](SerialCtl& p) { p.WriteSerial(&byte, static_cast<unsigned long>(0x100000001ULL)); }, 87,
       "a block over 4 GiB"},
      {"a write to a closed port", [&](SerialCtl& p) { p.WriteSerial(&byte, 1); }, 6,
       "the port is not open"},
      {"a read from a closed port",
       [](SerialCtl& p) {
         Bytes buffer(SerialCtl::kStagingSize);
         int count = 0;
         p.ReadSerial2(buffer.data(), count);
       },
       6, "the port is not open"},
      {"a write after the peer hung up",
       [&](SerialCtl& p) {
         open(dropped.name())(p);
         dropped.HangUp();
         p.WriteSerial(&byte, 1);
       },
       1167, "the device is not connected"},
  };
  HostCapture host;
  for (const auto& row : rows) {
    if (std::string(row.what) == "a block over 4 GiB" && sizeof(unsigned long) <= 4) continue;
    CountFigure("bad_input_rows");
    kavrel::host::RecordFailure(0xDEAD, "no reason recorded");
    SerialCtl object;
    row.call(object);
    const kavrel::ErrorReason reason = kavrel::GetLastErrorReason();
    EXPECT_EQ(reason.code, row.code) << row.what;
    EXPECT_EQ(reason.text, row.text) << row.what;
  }
}

// ---------------------------------------------------------------------------
// Calls in the wrong order.

enum class Call {
  kSetPair,     // SetSerial with the pair's name and good settings
  kSetMissing,  // SetSerial with a device that is not there
  kOpen,
  kClose,
  kWrite,  // one byte; expected: WriteSerial's result
  kRead,   // expected: ReadSerial's count
  kRead2,  // expected: ReadSerial2's count
  kClear,
  kListen,
  kStop,
};

struct Step {
  Call call;
  int expected = 0;
};

TEST(WrongOrder, EveryCallHasItsDocumentedResultAndNothingIsLeft) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  using C = Call;
  const struct {
    const char* name;
    std::vector<Step> steps;
    bool endsOpen;
  } rows[] = {
      {"open before any settings", {{C::kOpen}}, false},
      {"write before open", {{C::kWrite, 0}}, false},
      {"reads before open", {{C::kRead, 0}, {C::kRead2, 0}}, false},
      {"clear before open", {{C::kClear}, {C::kRead, 0}}, false},
      {"close twice before open", {{C::kClose}, {C::kClose}}, false},
      {"stop twice before listening", {{C::kStop}, {C::kStop}}, false},
      {"listen before open, then open",
       {{C::kListen}, {C::kSetPair}, {C::kOpen}, {C::kWrite, 1}},
       true},
      {"everything after close",
       {{C::kSetPair},
        {C::kOpen},
        {C::kClose},
        {C::kWrite, 0},
        {C::kRead, 0},
        {C::kRead2, 0},
        {C::kClear},
        {C::kListen},
        {C::kStop},
        {C::kClose}},
       false},
      {"listen twice, close twice",
       {{C::kSetPair}, {C::kOpen}, {C::kListen}, {C::kListen}, {C::kClose}, {C::kClose}},
       false},
      {"open twice", {{C::kSetPair}, {C::kOpen}, {C::kOpen}, {C::kWrite, 1}}, true},
      {"everything after a failed open",
       {{C::kSetMissing},
        {C::kOpen},
        {C::kWrite, 0},
        {C::kRead, 0},
        {C::kRead2, 0},
        {C::kClear},
        {C::kListen},
        {C::kStop}},
       false},
      {"stop twice after listening",
       {{C::kSetPair}, {C::kOpen}, {C::kListen}, {C::kStop}, {C::kStop}, {C::kWrite, 1}},
       true},
      {"destroyed while listening", {{C::kSetPair}, {C::kOpen}, {C::kListen}}, true},
      {"destroyed while listening on a failed open",
       {{C::kSetMissing}, {C::kOpen}, {C::kListen}},
       false},
  };
  const ResourceLedger ledger;
  HostCapture host;
  Bytes buffer(SerialCtl::kStagingSize);
  for (const auto& row : rows) {
    CountFigure("bad_input_rows");
    {
      SerialCtl port;
      for (std::size_t index = 0; index < row.steps.size(); ++index) {
        const Step& step = row.steps[index];
        SCOPED_TRACE(testing::Message() << row.name << ", step " << index);
        int count = -1;
        const unsigned char byte = 0x30;
        switch (step.call) {
          case C::kSetPair:
            port.SetSerial(pair.portName().c_str(), 9600, 8, 1, "NONE", "");
            break;
          case C::kSetMissing:
            port.SetSerial("ttyNONE9", 9600, 8, 1, "NONE", "");
            break;
          case C::kOpen:
            port.OpenSerial();
            break;
          case C::kClose:
            port.CloseSerial();
            EXPECT_EQ(port.portHandle, kEmpty);
            EXPECT_EQ(port.listenerThread, kEmpty);
            break;
          case C::kWrite:
            EXPECT_EQ(port.WriteSerial(&byte, 1), step.expected);
            break;
          case C::kRead:
            port.ReadSerial(buffer.data(), count);
            EXPECT_EQ(count, step.expected);
            break;
          case C::kRead2:
            port.ReadSerial2(buffer.data(), count);
            EXPECT_EQ(count, step.expected);
            break;
          case C::kClear:
            port.ClearSerialBuf();
            EXPECT_EQ(port.commStatus.cbInQue, 0u);
            break;
          case C::kListen:
            port.ListenSerial(0, 1);
            EXPECT_NE(port.listenerThread, kEmpty);
            break;
          case C::kStop:
            port.StopListenSerial();
            EXPECT_EQ(port.listenerThread, kEmpty);
            break;
        }
      }
      EXPECT_EQ(port.IsSerialOpen(), row.endsOpen) << row.name;
    }
    // Whatever the object sent reached the peer and goes no further.
    pair.PeerReadUntilQuiet(milliseconds(20));
  }
  EXPECT_TRUE(host.messageBoxes().empty());
  EXPECT_TRUE(host.traces().empty());
  ledger.ExpectUnchanged("after the wrong-order rows");
}

}  // namespace
