// kavrel-term driven as a user drives it: the test starts the program, feeds
// its standard input or its terminal, plays the far end of a virtual
// null-modem pair, and checks what comes out and how it exits.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "virtual_pair.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using kavrel_term::VirtualPair;

constexpr auto kDeadline = std::chrono::seconds(100);

int RemainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A started kavrel-term: its pid and a pidfd that polls readable once it has
// exited.
struct Child {
  pid_t pid = -1;
  int pidFd = -1;

  // Waits for the exit until the deadline, killing the program past it.
  // Returns the exit status, or -1 when it had to be killed.
  int Finish(Clock::time_point end) {
    pollfd exited{pidFd, POLLIN, 0};
    const bool inTime = poll(&exited, 1, RemainingMs(end)) == 1;
    if (!inTime) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(pidFd);
    if (!inTime) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

Child Spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions) {
  std::vector<std::string> all = {KAVREL_TERM_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, KAVREL_TERM_PATH, actions, nullptr, argv.data(), environ) != 0) {
    child.pid = -1;
    return child;
  }
  child.pidFd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
  return child;
}

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs kavrel-term with input on its standard input. Standard input is
// closed once all of it is written and closeInputWhen(out) holds.
Outcome RunTool(const std::vector<std::string>& args, const std::string& input = std::string(),
            const std::function<bool(const std::string&)>& closeInputWhen = nullptr) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return Outcome();
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  Child child = Spawn(args, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  Outcome outcome;
  if (child.pid < 0) {
    ADD_FAILURE() << "cannot start " << KAVREL_TERM_PATH;
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return outcome;
  }

  fcntl(in[1], F_SETFL, O_NONBLOCK);
  const auto end = Clock::now() + kDeadline;
  std::size_t written = 0;
  int inFd = in[1];
  int outFd = out[0];
  int errFd = err[0];
  std::vector<char> buffer(1 << 16);
  while ((outFd >= 0 || errFd >= 0) && RemainingMs(end) > 0) {
    if (inFd >= 0 && written == input.size() &&
        (!closeInputWhen || closeInputWhen(outcome.out))) {
      close(inFd);
      inFd = -1;
    }
    pollfd watched[3] = {{outFd, POLLIN, 0},
                         {errFd, POLLIN, 0},
                         {written < input.size() ? inFd : -1, POLLOUT, 0}};
    if (poll(watched, 3, RemainingMs(end)) <= 0) continue;
    if (watched[2].revents & (POLLOUT | POLLERR)) {
      const ssize_t n = write(inFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno == EPIPE) written = input.size();
    }
    for (int i = 0; i < 2; ++i) {
      if (watched[i].revents == 0) continue;
      int& fd = i == 0 ? outFd : errFd;
      const ssize_t n = read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        (i == 0 ? outcome.out : outcome.err).append(buffer.data(), static_cast<std::size_t>(n));
      } else {
        close(fd);
        fd = -1;
      }
    }
  }
  for (int fd : {inFd, outFd, errFd}) {
    if (fd >= 0) close(fd);
  }
  outcome.exitCode = child.Finish(end);
  return outcome;
}

// The lines kavrel-term wrote on standard error. The library writes its load
// line there before kavrel-term's main runs; that one is not kavrel-term's.
std::vector<std::string> ToolErrorLines(const std::string& err) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < err.size()) {
    std::size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    const std::string line = err.substr(start, end - start);
    if (line != "KAVREL.DLL Initializing!") lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/kavrel-term-test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    for (const std::string& file : files_) unlink(file.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  std::string File(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#define REQUIRE_PAIR(pair) \
  if (!(pair).ok()) GTEST_SKIP() << "no pseudo-terminal: " << (pair).error()

// --- --demo ---------------------------------------------------------------

TEST(Demo, RunsTheExchangeAndItsSummaryMatchesTheCaptureFile) {
  ScratchDir dir;
  const std::string capture = dir.File("demo.cap");
  const Outcome result = RunTool({"--demo", "--capture", capture});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(ToolErrorLines(result.err).empty()) << result.err;

  EXPECT_NE(result.out.find("  -> *IDN?\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("  <- KAVREL,SIM-METER 1,000001,1.0 "), std::string::npos);
  EXPECT_NE(result.out.find("  .. #STATUS uptime="), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("link check  every byte arrived unchanged, both ways"),
            std::string::npos);

  // The summary's figures, read back from its lines.
  auto summaryLine = [&result](const std::string& start) {
    const std::size_t at = result.out.find("\n  " + start);
    return at == std::string::npos ? std::string()
                                   : result.out.substr(at + 1, result.out.find('\n', at + 1) - at - 1);
  };
  std::size_t sentBytes = 0;
  unsigned commands = 0;
  EXPECT_EQ(std::sscanf(summaryLine("sent ").c_str(), " sent %zu bytes in %u commands", &sentBytes,
                        &commands),
            2)
      << result.out;
  EXPECT_EQ(commands, 12u);
  EXPECT_GT(sentBytes, 0u);
  std::size_t bytes = 0;
  std::size_t deliveries = 0;
  ASSERT_EQ(std::sscanf(summaryLine("received ").c_str(), " received %zu bytes in %zu deliveries",
                        &bytes, &deliveries),
            2);
  unsigned notifications = 0;
  EXPECT_EQ(std::sscanf(summaryLine("notified ").c_str(),
                        " notified %u data-ready notifications (0x0432)", &notifications),
            1);
  EXPECT_GE(notifications, 1u);
  double minimum = 0, mean = 0, maximum = 0;
  unsigned timed = 0;
  EXPECT_EQ(std::sscanf(summaryLine("round trip ").c_str(),
                        " round trip min %lf ms, mean %lf ms, max %lf ms over %u commands",
                        &minimum, &mean, &maximum, &timed),
            4);
  EXPECT_EQ(timed, 12u);
  EXPECT_LE(minimum, mean);
  EXPECT_LE(mean, maximum);

  // The capture file on disk: every delivery plus CR LF CR LF after each.
  const std::string content = ReadWholeFile(capture);
  EXPECT_EQ(content.size(), bytes + 4 * deliveries);
  EXPECT_NE(content.find("KAVREL,SIM-METER 1,000001,1.0\r\n"), std::string::npos);
  EXPECT_EQ(content.substr(content.size() - 4), "\r\n\r\n");
}

TEST(Demo, RefusedSettingsFailWithTheLibraryMessage) {
  ScratchDir dir;
  const Outcome result = RunTool({"--demo", "--data", "8", "--stop", "1.5", "--capture", dir.File("x")});
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = ToolErrorLines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_NE(lines[0].find("settings refused: 串口设置错误！"), std::string::npos) << lines[0];
}

// --- --pipe ---------------------------------------------------------------

// The far end of the pair: writes toSend to the master while reading until
// expected bytes have come back.
class FarEnd {
 public:
  FarEnd(int master, std::string toSend, std::size_t expected)
      : master_(master), toSend_(std::move(toSend)), expected_(expected),
        thread_([this] { Run(); }) {}
  ~FarEnd() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& received() const { return received_; }
  std::size_t sent() const { return sent_; }

 private:
  void Run() {
    const auto end = Clock::now() + kDeadline;
    std::size_t& sent = sent_;
    std::vector<char> buffer(1 << 16);
    while ((sent < toSend_.size() || received_.size() < expected_) && RemainingMs(end) > 0) {
      // Opening the port purges its input, so bytes sent before the tool has
      // opened it would be discarded. The tool's first byte shows the port
      // is open; only then does this end start sending.
      const bool mayWrite = sent < toSend_.size() && (expected_ == 0 || !received_.empty());
      pollfd ready{master_, static_cast<short>(POLLIN | (mayWrite ? POLLOUT : 0)), 0};
      if (poll(&ready, 1, RemainingMs(end)) <= 0) continue;
      if (ready.revents & POLLIN) {
        const ssize_t n = read(master_, buffer.data(), buffer.size());
        if (n > 0) received_.append(buffer.data(), static_cast<std::size_t>(n));
      }
      if ((ready.revents & POLLOUT) && mayWrite) {
        const ssize_t n =
            write(master_, toSend_.data() + sent, std::min<std::size_t>(65536, toSend_.size() - sent));
        if (n > 0) sent += static_cast<std::size_t>(n);
      }
      if (ready.revents & (POLLHUP | POLLERR)) {
        // Not open on the port side yet, or closed already: wait for the
        // open without spinning.
        pollfd none{-1, 0, 0};
        poll(&none, 0, 5);
      }
    }
  }

  int master_;
  std::string toSend_;
  std::size_t expected_;
  std::string received_;
  std::size_t sent_ = 0;
  std::thread thread_;
};

TEST(Pipe, MovesTenMegabytesEachWayByteExact) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  const std::string toPort = RandomBytes(10 << 20, 1);
  const std::string fromPort = RandomBytes(10 << 20, 2);
  FarEnd far(pair.master(), fromPort, toPort.size());
  // Standard input ends only once everything from the port has come out,
  // so the exit cannot cut the transfer short.
  const Outcome result = RunTool({"--pipe", pair.portName()}, toPort, [&](const std::string& out) {
    return out.size() >= fromPort.size();
  });
  far.Join();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(ToolErrorLines(result.err).empty()) << result.err;
  ASSERT_EQ(result.out.size(), fromPort.size())
      << "the far end sent " << far.sent() << " and received " << far.received().size();
  EXPECT_TRUE(result.out == fromPort) << "bytes from the port changed on the way out";
  ASSERT_EQ(far.received().size(), toPort.size());
  EXPECT_TRUE(far.received() == toPort) << "bytes to the port changed on the way";
}

TEST(Pipe, EndOfInputWaitsForTheAnswerThenExits) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  // An instrument that answers once the whole question has arrived.
  std::thread answerer([&pair] {
    std::string question;
    const auto end = Clock::now() + kDeadline;
    char buffer[256];
    while (question.find('\n') == std::string::npos && RemainingMs(end) > 0) {
      pollfd ready{pair.master(), POLLIN, 0};
      if (poll(&ready, 1, RemainingMs(end)) <= 0) continue;
      const ssize_t n = read(pair.master(), buffer, sizeof buffer);
      if (n > 0) question.append(buffer, static_cast<std::size_t>(n));
      if (n <= 0) {
        pollfd none{-1, 0, 0};
        poll(&none, 0, 5);  // the port side is not open yet
      }
    }
    const std::string answer = "ANSWER to " + question;
    EXPECT_EQ(write(pair.master(), answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
  });
  const Outcome result = RunTool({"--pipe", pair.portName(), "--linger", "3000"}, "*IDN?\r\n");
  answerer.join();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "ANSWER to *IDN?\r\n");
}

// --- --send ---------------------------------------------------------------

TEST(Send, SendsTheWholeFileAndExits) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  ScratchDir dir;
  const std::string path = dir.File("payload.bin");
  const std::string payload = RandomBytes((1 << 20) + 123, 3);
  std::ofstream(path, std::ios::binary).write(payload.data(), static_cast<std::streamsize>(payload.size()));
  FarEnd far(pair.master(), std::string(), payload.size());
  const Outcome result = RunTool({"--send", path, "--block", "1000", pair.portName()});
  far.Join();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(ToolErrorLines(result.err).empty()) << "no progress bar when stderr is no terminal";
  ASSERT_EQ(far.received().size(), payload.size());
  EXPECT_TRUE(far.received() == payload);
}

// --- errors: one line each -------------------------------------------------

struct Misuse {
  const char* name;
  std::vector<std::string> args;
  int exitCode;
  std::string says;
};

void PrintTo(const Misuse& misuse, std::ostream* out) {
  *out << "kavrel-term";
  for (const std::string& arg : misuse.args) *out << ' ' << arg;
}

class OneLineErrors : public ::testing::TestWithParam<Misuse> {};

TEST_P(OneLineErrors, ExitNonZeroWithOneClearLine) {
  const Misuse& misuse = GetParam();
  const Outcome result = RunTool(misuse.args);
  EXPECT_EQ(result.exitCode, misuse.exitCode) << result.err;
  EXPECT_EQ(result.out, "");
  const std::vector<std::string> lines = ToolErrorLines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_EQ(lines[0].compare(0, 13, "kavrel-term: "), 0) << lines[0];
  EXPECT_NE(lines[0].find(misuse.says), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    BadOptionsAndPorts, OneLineErrors,
    ::testing::Values(
        Misuse{"BaudNotANumber", {"--baud", "fast", "ttyS0"}, 2, "--baud"},
        Misuse{"BaudZero", {"--baud", "0", "ttyS0"}, 2, "--baud"},
        Misuse{"NineDataBits", {"--data", "9", "ttyS0"}, 2, "--data"},
        Misuse{"ThreeStopBits", {"--stop", "3", "ttyS0"}, 2, "--stop"},
        Misuse{"MarkParity", {"--parity", "mark", "ttyS0"}, 2, "--parity"},
        Misuse{"UnknownOption", {"--frobnicate"}, 2, "--frobnicate"},
        Misuse{"TwoModes", {"--demo", "--list"}, 2, "exclude"},
        Misuse{"PipeWithoutPort", {"--pipe"}, 2, "PORT"},
        Misuse{"LingerWithoutPipe", {"--linger", "5", "ttyS0"}, 2, "--pipe"},
        Misuse{"NothingToDo", {}, 2, "no port given"},
        Misuse{"MissingPort", {"--pipe", "ttyNOPE9"}, 1, "ttyNOPE9: no such port"},
        Misuse{"MissingPortByPath", {"--pipe", "/dev/ttyNOPE9"}, 1, "ttyNOPE9: no such port"},
        Misuse{"NameTooLong", {"--pipe", "ttyUSB12345"}, 1, "longer than 9 characters"},
        Misuse{"DotDotName", {"--pipe", "../null"}, 1, "\"..\" is refused"},
        Misuse{"NotATty", {"--pipe", "null"}, 1, "not a serial port"},
        Misuse{"SendFileMissing", {"--send", "/nonexistent/file", "ttyS0"}, 1,
               "cannot read /nonexistent/file"}),
    [](const ::testing::TestParamInfo<Misuse>& info) { return std::string(info.param.name); });

TEST(PortErrors, BusyPortIsSaidSo) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  // Another program holding the port the way Kavrel itself holds one.
  const int holder = open(("/dev/" + pair.portName()).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const Outcome result = RunTool({"--pipe", pair.portName()});
  close(holder);
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = ToolErrorLines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_NE(lines[0].find(pair.portName() + ": port busy"), std::string::npos) << lines[0];
}

TEST(PortErrors, RefusedSettingsShowTheLibraryMessageInUtf8) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  const Outcome result = RunTool({"--pipe", pair.portName(), "--data", "8", "--stop", "1.5"});
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = ToolErrorLines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_EQ(lines[0], "kavrel-term: " + pair.portName() +
                          ": settings refused: 串口设置错误！ (115200 baud, 8 data bits, 1.5 stop "
                          "bits, no parity)");
}

// --- --version and --list ---------------------------------------------------

TEST(Version, ShowsTheInterfaceVersionAndTheModuleRecord) {
  const Outcome result = RunTool({"--version"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.out.find("Kavrel interface version 3.1 (GetVer 301)"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("file version 3.0.7.2, product version 20.11.8.16"), std::string::npos);
  EXPECT_NE(result.out.find("通用串口通讯库"), std::string::npos);
  EXPECT_NE(result.out.find("Kavrel.DLL"), std::string::npos);
}

TEST(List, PrintsATableOrSaysThereIsNone) {
  const Outcome result = RunTool({"--list"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const bool table = result.out.compare(0, 6, "DEVICE") == 0;
  EXPECT_TRUE(table || result.out == "No serial ports found.\n") << result.out;
  if (table) {
    // Every listed device is a name Kavrel opens, not a path.
    std::size_t start = result.out.find('\n') + 1;
    while (start < result.out.size()) {
      const std::string device = result.out.substr(start, result.out.find(' ', start) - start);
      EXPECT_NE(device.compare(0, 3, "tty"), 1) << device;
      EXPECT_EQ(device.find('/'), std::string::npos) << device;
      start = result.out.find('\n', start) + 1;
    }
  }
}

// --- the interactive terminal -----------------------------------------------

// kavrel-term on a terminal of its own (a second pty pair: the test types on
// its master and reads the screen from it), talking to the port pair.
class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PAIR(port_);
    REQUIRE_PAIR(keyboard_);
    // A terminal as a shell leaves it: line editing and echo on.
    termios cooked{};
    ASSERT_EQ(tcgetattr(keyboard_.master(), &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(keyboard_.master(), TCSANOW, &cooked), 0);
  }

  void Start(std::vector<std::string> args) {
    const std::string tty = "/dev/" + keyboard_.portName();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, tty.c_str(), O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    args.push_back(port_.portName());
    child_ = Spawn(args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_GE(child_.pid, 0);
  }

  // Reads fd until its text contains want.
  static std::string ReadUntil(int fd, std::string& seen, const std::string& want) {
    const auto end = Clock::now() + kDeadline;
    char buffer[4096];
    while (seen.find(want) == std::string::npos && RemainingMs(end) > 0) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, RemainingMs(end)) <= 0) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        seen.append(buffer, static_cast<std::size_t>(n));
      } else {
        pollfd none{-1, 0, 0};
        poll(&none, 0, 5);  // the other side is not open yet
      }
    }
    return seen;
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(write(keyboard_.master(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  VirtualPair port_;
  VirtualPair keyboard_;
  Child child_;
  std::string screen_;
  std::string wire_;
};

TEST_F(Terminal, KeysGoToThePortRepliesToTheScreenAndCtrlBracketQuits) {
  Start({});
  ReadUntil(keyboard_.master(), screen_, "Press Ctrl-] to quit.");
  Type("*IDN?\r");
  EXPECT_EQ(ReadUntil(port_.master(), wire_, "\r"), "*IDN?\r") << "keys pass raw, no echo";
  const std::string reply = "SIM-METER\r\n";
  ASSERT_EQ(write(port_.master(), reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  ReadUntil(keyboard_.master(), screen_, "SIM-METER");
  EXPECT_EQ(screen_.find("*IDN?"), std::string::npos) << "the terminal must not echo";
  Type("\x1d");
  EXPECT_EQ(child_.Finish(Clock::now() + kDeadline), 0);
  ReadUntil(keyboard_.master(), screen_, "closed");
  EXPECT_NE(screen_.find("kavrel-term: closed " + port_.portName()), std::string::npos) << screen_;

  // The terminal is as the shell left it.
  termios after{};
  ASSERT_EQ(tcgetattr(keyboard_.master(), &after), 0);
  EXPECT_NE(after.c_lflag & ICANON, 0u);
  EXPECT_NE(after.c_lflag & ECHO, 0u);
}

TEST_F(Terminal, HexShowsReceivedBytesAsADump) {
  Start({"--hex"});
  ReadUntil(keyboard_.master(), screen_, "Press Ctrl-] to quit.");
  const std::string bytes("A\0\xff", 3);
  ASSERT_EQ(write(port_.master(), bytes.data(), bytes.size()), 3);
  ReadUntil(keyboard_.master(), screen_, "|A..|");
  EXPECT_NE(screen_.find("00000000  41 00 ff"), std::string::npos) << screen_;
  Type("\x1d");
  EXPECT_EQ(child_.Finish(Clock::now() + kDeadline), 0);
}

}  // namespace
