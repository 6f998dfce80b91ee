// kavrel-term's own logic: the simulated instrument, line splitting, the
// terminal's keys, and the text it shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "instrument.h"
#include "instrument_thread.h"
#include "key_names.h"
#include "line_maps.h"
#include "terminal_keys.h"
#include "text_format.h"
#include "virtual_pair.h"

namespace kavrel_term {
namespace {

std::vector<std::string> Drain(LineSplitter& lines) {
  std::vector<std::string> out;
  std::string line;
  while (lines.Next(line)) out.push_back(line);
  return out;
}

TEST(LineSplitter, SplitsOnLineFeedDroppingCarriageReturnAcrossPieces) {
  LineSplitter lines;
  lines.Feed("*IDN?\r", 6);
  EXPECT_TRUE(Drain(lines).empty()) << "a line is complete only at its line feed";
  lines.Feed("\nMEAS?\nSYS", 10);
  EXPECT_EQ(Drain(lines), (std::vector<std::string>{"*IDN?", "MEAS?"}));
  EXPECT_EQ(lines.pending(), "SYS");
  lines.Feed("T\r\n\r\n", 5);
  EXPECT_EQ(Drain(lines), (std::vector<std::string>{"SYST", ""}));
}

TEST(InstrumentModel, AnswersIdentificationWhateverTheCaseAndBlanks) {
  InstrumentModel model;
  EXPECT_EQ(model.Answer("*IDN?"), std::string(InstrumentModel::kIdentity) + "\r\n");
  EXPECT_EQ(model.Answer("  *idn?  "), std::string(InstrumentModel::kIdentity) + "\r\n");
}

// "+5.00200E+00 V\r\n": a signed value in scientific notation, a unit.
bool IsReading(const std::string& reply, char unit) {
  double value = 0;
  char seenUnit = 0;
  int consumed = 0;
  if (std::sscanf(reply.c_str(), "%lf %c%n", &value, &seenUnit, &consumed) != 2) return false;
  return reply.size() == 16 && (reply[0] == '+' || reply[0] == '-') && reply[2] == '.' &&
         reply[8] == 'E' && seenUnit == unit && reply.compare(14, 2, "\r\n") == 0 && consumed == 14;
}

TEST(InstrumentModel, MeasurementsCarryValueAndUnit) {
  InstrumentModel model;
  const std::pair<const char*, char> commands[] = {
      {"MEAS:VOLT?", 'V'}, {"MEAS?", 'V'}, {"MEAS:CURR?", 'A'}, {"MEAS:TEMP?", 'C'}};
  for (const auto& command : commands) {
    const std::string reply = model.Answer(command.first);
    EXPECT_TRUE(IsReading(reply, command.second)) << command.first << " -> " << reply;
  }
  EXPECT_EQ(model.measurements(), 4u);
  EXPECT_EQ(model.Answer("MEAS:VOLT?").back(), '\n');
}

TEST(InstrumentModel, UnknownCommandIsAnsweredAndQueuedForTheErrorQuery) {
  InstrumentModel model;
  EXPECT_EQ(model.Answer("CONF:RANGE 10?"), "ERR -113,\"Undefined header\"\r\n");
  EXPECT_NE(model.StatusLine(1.0).find("state=ERROR"), std::string::npos);
  EXPECT_EQ(model.Answer("SYST:ERR?"), "-113,\"Undefined header\"\r\n");
  EXPECT_EQ(model.Answer("SYST:ERR?"), "0,\"No error\"\r\n");
  EXPECT_NE(model.StatusLine(1.0).find("state=OK"), std::string::npos);
}

TEST(InstrumentModel, ResetAndEmptyLinesHaveNoReply) {
  InstrumentModel model;
  model.Answer("MEAS?");
  model.Answer("BOGUS");
  EXPECT_EQ(model.Answer("*RST"), "");
  EXPECT_EQ(model.Answer("   "), "");
  EXPECT_EQ(model.measurements(), 0u);
  EXPECT_EQ(model.Answer("SYST:ERR?"), "0,\"No error\"\r\n");
}

TEST(InstrumentModel, StatusLineIsMarkedAsUnsolicited) {
  InstrumentModel model;
  model.Answer("MEAS?");
  const std::string status = model.StatusLine(1.25);
  EXPECT_EQ(status, "#STATUS uptime=1.25s measurements=1 state=OK\r\n");
}

// The instrument on the master of a real pty pair; the test plays the port
// side by opening the slave itself.
class InstrumentOnPair : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pair_.ok()) GTEST_SKIP() << "no pseudo-terminal: " << pair_.error();
    slave_ = open(("/dev/" + pair_.portName()).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave_, 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave_, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &raw), 0);
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
  }

  // Reads from the slave until text contains want or the deadline passes.
  std::string ReadUntil(const std::string& want, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::string text;
    char buffer[1024];
    while (text.find(want) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd ready{slave_, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t got = read(slave_, buffer, sizeof buffer);
      if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

  VirtualPair pair_;
  int slave_ = -1;
};

TEST_F(InstrumentOnPair, AnswersCommandsSendsStatusAndKeepsTranscript) {
  InstrumentThread instrument(pair_.master(), std::chrono::milliseconds(50));
  std::string error;
  ASSERT_TRUE(instrument.Start(error)) << error;

  const std::string commands = "*IDN?\r\nBOGUS\n";
  ASSERT_EQ(write(slave_, commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
  const std::string seen = ReadUntil("Undefined header\"\r\n", std::chrono::seconds(10));
  const std::string withStatus = seen + ReadUntil("#STATUS", std::chrono::seconds(10));
  instrument.Stop();
  instrument.Stop();  // a second stop is harmless

  EXPECT_NE(seen.find(std::string(InstrumentModel::kIdentity) + "\r\n"), std::string::npos);
  EXPECT_NE(withStatus.find("#STATUS uptime="), std::string::npos);
  const InstrumentThread::Transcript transcript = instrument.transcript();
  EXPECT_EQ(transcript.received, commands);
  EXPECT_EQ(transcript.replies, (std::vector<std::string>{InstrumentModel::kIdentity,
                                                          "ERR -113,\"Undefined header\""}));
  EXPECT_GE(transcript.statusLines, 1u);
  EXPECT_TRUE(transcript.failure.empty()) << transcript.failure;
  // Everything the slave read came from the transcript, in order.
  EXPECT_EQ(transcript.sent.compare(0, withStatus.size(), withStatus), 0);
}

TEST_F(InstrumentOnPair, EndsByItselfWhenThePortSideHangsUp) {
  InstrumentThread instrument(pair_.master(), std::chrono::seconds(10));
  std::string error;
  ASSERT_TRUE(instrument.Start(error)) << error;
  close(slave_);
  slave_ = -1;
  // It notices by itself, before any Stop.
  ASSERT_TRUE(instrument.WaitUntilEnded(std::chrono::seconds(10)));
  EXPECT_NE(instrument.transcript().failure.find("closed"), std::string::npos);
  instrument.Stop();
}

TEST(HexDumper, OffsetsRunOnAcrossDeliveriesAndColumnsStayAligned) {
  HexDumper dumper;
  const unsigned char first[] = {'H', 'i', 0x00, 0x0d, 0x0a};
  EXPECT_EQ(dumper.Dump(first, sizeof first),
            "00000000  48 69 00 0d 0a                                    |Hi...|\n");
  std::vector<unsigned char> second(20);
  for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<unsigned char>('A' + i);
  const std::string dump = dumper.Dump(second.data(), second.size());
  EXPECT_EQ(dump,
            "00000005  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
            "00000015  51 52 53 54                                       |QRST|\n");
}

TEST(HexDumper, RawTerminalLinesEndInCarriageReturnLineFeed) {
  HexDumper dumper("\r\n");
  const unsigned char byte = 'A';
  EXPECT_EQ(dumper.Dump(&byte, 1),
            "00000000  41                                                |A|\r\n");
}

TEST(TraceText, ControlBytesAreShownNotSent) {
  EXPECT_EQ(EscapeControlBytes("open [\x1b[2J]\n"), "open [\\x1B[2J]\n");
  EXPECT_EQ(EscapeControlBytes("a\nb\x7f"), "a\\x0Ab\\x7F");
}

struct MapCase {
  const char* maps;
  const char* in;
  const char* out;
};

TEST(ByteMap, EachMapChangesItsByteOnly) {
  const MapCase cases[] = {
      {"", "a\r\nb\b\x7f", "a\r\nb\b\x7f"},
      {"crlf", "a\r\n", "a\n\n"},
      {"crcrlf", "a\rb", "a\r\nb"},
      {"igncr", "a\r\nb", "a\nb"},
      {"lfcr", "a\nb", "a\rb"},
      {"lfcrlf", "a\r\nb\n", "a\r\r\nb\r\n"},
      {"ignlf", "a\r\n", "a\r"},
      {"bsdel,delbs", "\b\x7f", "\x7f\b"},
      {"igncr,lfcrlf", "x\r\n", "x\r\n"},
  };
  for (const MapCase& c : cases) {
    ByteMap map;
    std::string why;
    ASSERT_TRUE(ByteMap::Parse(c.maps, map, why)) << c.maps << ": " << why;
    const std::string in = c.in;
    EXPECT_EQ(map.Apply(reinterpret_cast<const unsigned char*>(in.data()), in.size()), c.out)
        << c.maps;
  }
  ByteMap map;
  std::string why;
  EXPECT_FALSE(ByteMap::Parse("crlf,crlf", map, why));
  EXPECT_FALSE(ByteMap::Parse("CRLF", map, why)) << "names are lower case, as in the help";
  EXPECT_NE(why.find("unknown map \"CRLF\""), std::string::npos) << why;
}

TEST(KeyNames, ControlKeysAndHexBytes) {
  const std::pair<const char*, int> cases[] = {
      {"C-]", 0x1D},  {"c-a", 0x01},  {"Ctrl-X", 0x18}, {"^t", 0x14}, {"^@", 0x00},
      {"0x7f", 0x7F}, {"0XFF", 0xFF}, {"C-1", -1},      {"C-", -1},   {"0x", -1},
      {"0x100", -1},  {"0xg", -1},    {"x", -1},        {"C-ab", -1},
  };
  for (const auto& c : cases) {
    unsigned char key = 0xAA;
    EXPECT_EQ(ParseKey(c.first, key), c.second >= 0) << c.first;
    if (c.second >= 0) {
      EXPECT_EQ(key, c.second) << c.first;
    }
  }
  EXPECT_EQ(KeyName(0x1D), "Ctrl-]");
  EXPECT_EQ(KeyName(0x01), "Ctrl-A");
  EXPECT_EQ(KeyName(0x7F), "0x7f");
}

TEST(KeyScanner, MenuKeyCommandsAcrossPiecesAndTheExitKey) {
  KeyScanner keys(kDefaultExitKey, kDefaultMenuKey);
  ScannedKeys scanned = keys.Scan("ab\x14");
  EXPECT_EQ(scanned.toPort, "ab");
  EXPECT_TRUE(scanned.commands.empty()) << "the command is in the next piece";
  scanned = keys.Scan("b\x14P\x14\x04x\x14r\x14?\x14\x14y");
  EXPECT_EQ(scanned.toPort, "x\x14y") << "the menu key twice sends it once";
  const std::vector<KeyCommand> typed = {KeyCommand::kBreak, KeyCommand::kPulseDtr,
                                         KeyCommand::kToggleDtr, KeyCommand::kToggleRts,
                                         KeyCommand::kHelp};
  EXPECT_EQ(scanned.commands, typed);
  EXPECT_FALSE(scanned.exitPressed);
  scanned = keys.Scan("q\x1dzz");
  EXPECT_EQ(scanned.toPort, "q");
  EXPECT_TRUE(scanned.exitPressed);
}

TEST(PortTable, EmptyListSaysSo) { EXPECT_EQ(FormatPortTable({}), "No serial ports found.\n"); }

TEST(PortTable, ColumnsLineUpAndMissingUsbFieldsShowDashes) {
  PortInfo uart{"ttyS0", "serial", "", "", "", "", "", ""};
  PortInfo usb{"ttyUSB0", "ftdi_sio",        "0403",     "6001",
               "FTDI",    "FT232R USB UART", "A50285BI", "psu1, dut"};
  const std::string table = FormatPortTable({uart, usb});
  std::vector<std::string> rows;
  std::size_t start = 0;
  for (std::size_t end; (end = table.find('\n', start)) != std::string::npos; start = end + 1) {
    rows.push_back(table.substr(start, end - start));
  }
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].compare(0, 6, "DEVICE"), 0);
  const std::size_t driverColumn = rows[0].find("DRIVER");
  const std::size_t serialColumn = rows[0].find("SERIAL");
  EXPECT_EQ(rows[1].find("serial"), driverColumn);
  EXPECT_EQ(rows[2].find("ftdi_sio"), driverColumn);
  EXPECT_EQ(rows[2].find("A50285BI"), serialColumn);
  EXPECT_NE(rows[2].find("0403:6001"), std::string::npos);
  EXPECT_NE(rows[2].find("FT232R USB UART"), std::string::npos);
  const std::size_t namesColumn = rows[0].find("NAMES");
  EXPECT_EQ(rows[1][serialColumn], '-');
  EXPECT_EQ(rows[1].substr(namesColumn), "-");
  EXPECT_EQ(rows[2].substr(namesColumn), "psu1, dut");
}

TEST(Progress, BarFillsWithTheFractionSent) {
  EXPECT_EQ(FormatProgress(0, 2048, 0, 10), "[----------]   0%  0 B / 2.0 KiB  0 B/s");
  EXPECT_EQ(FormatProgress(1024, 2048, 1536, 10),
            "[#####-----]  50%  1.0 KiB / 2.0 KiB  1.5 KiB/s");
  EXPECT_EQ(FormatProgress(2048, 2048, 1048576, 10),
            "[##########] 100%  2.0 KiB / 2.0 KiB  1.0 MiB/s");
  EXPECT_EQ(FormatProgress(5 << 20, 0, 0, 10), "sent 5.0 MiB  0 B/s");
}

TEST(GbkText, LibraryMessageBecomesReadableUtf8) {
  // The library's "settings refused" message box, in its own GBK bytes.
  const std::string gbk = "\xB4\xAE\xBF\xDA\xC9\xE8\xD6\xC3\xB4\xED\xCE\xF3\xA3\xA1";
  EXPECT_EQ(GbkToUtf8(gbk), "串口设置错误！");
  EXPECT_EQ(GbkToUtf8("plain ASCII"), "plain ASCII");
  const std::string broken = "\xB4";  // half a character
  EXPECT_EQ(GbkToUtf8(broken), broken);
}

}  // namespace
}  // namespace kavrel_term
