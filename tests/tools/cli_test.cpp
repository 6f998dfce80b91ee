// kavrel-term driven as a user drives it: the test starts the program, feeds
// its standard input or its terminal, plays the far end of a virtual
// null-modem pair, and checks what comes out and how it exits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
  // Returns the exit status, 256 + n when signal n killed it, or -1 when it
  // had to be killed.
  int Finish(Clock::time_point end) {
    pollfd exited{pidFd, POLLIN, 0};
    const bool inTime = poll(&exited, 1, RemainingMs(end)) == 1;
    if (!inTime) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(pidFd);
    if (!inTime) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
  }
};

// The environment kavrel-term runs with: the test's, without KAVREL_TRACE
// (the tests expect a quiet library) and KAVREL_PORTS (unless a test gives
// one in extra), and with the thread sanitizer's exit sleep off: its runtime
// sleeps a second at exit while other threads live (a write left waiting on
// a stuck device), and the time bounds are the program's, not the runtime's.
std::vector<std::string> ToolEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> all;
  std::string tsan = "TSAN_OPTIONS=atexit_sleep_ms=0";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.compare(0, 13, "TSAN_OPTIONS=") == 0) {
      tsan = text + ":atexit_sleep_ms=0";
    } else if (text.compare(0, 13, "KAVREL_TRACE=") != 0 &&
               text.compare(0, 13, "KAVREL_PORTS=") != 0) {
      all.push_back(text);
    }
  }
  all.push_back(tsan);
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

Child Spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions,
            const std::vector<std::string>& extraEnvironment = {}) {
  std::vector<std::string> all = {KAVREL_TERM_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<std::string> environment = ToolEnvironment(extraEnvironment);
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, KAVREL_TERM_PATH, actions, nullptr, argv.data(), envp.data()) != 0) {
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

// A started kavrel-term with pipes on its standard input, output and error
// (the test's ends, non-blocking).
struct Running {
  Child child;
  int in = -1;
  int out = -1;
  int err = -1;

  void CloseAll() {
    for (int* fd : {&in, &out, &err}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
};

Running StartTool(const std::vector<std::string>& args,
                  const std::vector<std::string>& extraEnvironment = {}) {
  Running running;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return running;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  running.child = Spawn(args, &actions, extraEnvironment);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  running.in = in[1];
  running.out = out[0];
  running.err = err[0];
  for (int fd : {running.in, running.out, running.err}) fcntl(fd, F_SETFL, O_NONBLOCK);
  if (running.child.pid < 0) {
    ADD_FAILURE() << "cannot start " << KAVREL_TERM_PATH;
    running.CloseAll();
  }
  return running;
}

// Runs kavrel-term with input on its standard input. Standard input is
// closed once all of it is written and closeInputWhen(out) holds.
Outcome RunTool(const std::vector<std::string>& args, const std::string& input = std::string(),
                const std::function<bool(const std::string&)>& closeInputWhen = nullptr,
                const std::vector<std::string>& extraEnvironment = {}) {
  Running running = StartTool(args, extraEnvironment);
  Outcome outcome;
  if (running.child.pid < 0) return outcome;
  const auto end = Clock::now() + kDeadline;
  std::size_t written = 0;
  int inFd = running.in;
  int outFd = running.out;
  int errFd = running.err;
  std::vector<char> buffer(1 << 16);
  while ((outFd >= 0 || errFd >= 0) && RemainingMs(end) > 0) {
    if (inFd >= 0 && written == input.size() && (!closeInputWhen || closeInputWhen(outcome.out))) {
      close(inFd);
      inFd = -1;
    }
    pollfd watched[3] = {
        {outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {written < input.size() ? inFd : -1, POLLOUT, 0}};
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
  outcome.exitCode = running.child.Finish(end);
  return outcome;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
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
  EXPECT_EQ(result.err, "");

  EXPECT_NE(result.out.find("  -> *IDN?\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("  <- KAVREL,SIM-METER 1,000001,1.0 "), std::string::npos);
  EXPECT_NE(result.out.find("  .. #STATUS uptime="), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("link check  every byte arrived unchanged, both ways"),
            std::string::npos);

  // The summary's figures, read back from its lines.
  auto summaryLine = [&result](const std::string& start) {
    const std::size_t at = result.out.find("\n  " + start);
    return at == std::string::npos
               ? std::string()
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

TEST(Demo, RefusedSettingsFailWithTheLibraryReason) {
  ScratchDir dir;
  const Outcome result =
      RunTool({"--demo", "--data", "8", "--stop", "1.5", "--capture", dir.File("x")});
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = Lines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_NE(lines[0].find("settings refused: 1.5 stop bits need 5 data bits (error 87; "),
            std::string::npos)
      << lines[0];
}

// --- --pipe ---------------------------------------------------------------

// The far end of the pair: writes toSend to the master while reading until
// expected bytes have come back.
class FarEnd {
 public:
  FarEnd(int master, std::string toSend, std::size_t expected)
      : master_(master),
        toSend_(std::move(toSend)),
        expected_(expected),
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
        const ssize_t n = write(master_, toSend_.data() + sent,
                                std::min<std::size_t>(65536, toSend_.size() - sent));
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

// A null-modem relay made by socat between two pseudo-terminals: the tool
// opens one end by its pts name, the test plays the far end on the other.
class SocatRelay {
 public:
  SocatRelay() {
    char pattern[] = "/tmp/kavrel-term-relay.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    std::vector<std::string> args = {"socat", "PTY,raw,echo=0,link=" + dir_ + "/near",
                                     "PTY,raw,echo=0,link=" + dir_ + "/far"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawnp(&pid_, "socat", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      return;
    }
    // socat makes the links once both pseudo-terminals exist.
    char near[64] = {};
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (RemainingMs(end) > 0) {
      const ssize_t length = readlink((dir_ + "/near").c_str(), near, sizeof near - 1);
      if (length > 5 && access((dir_ + "/far").c_str(), F_OK) == 0) {
        near[length] = '\0';
        break;
      }
      pollfd none{-1, 0, 0};
      poll(&none, 0, 10);
    }
    if (std::strncmp(near, "/dev/", 5) != 0) return;
    far_ = open((dir_ + "/far").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    if (far_ < 0 || tcgetattr(far_, &raw) != 0) return;
    cfmakeraw(&raw);
    tcsetattr(far_, TCSANOW, &raw);
    nearName_ = near + 5;
  }
  ~SocatRelay() {
    if (far_ >= 0) close(far_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
      unlink((dir_ + "/near").c_str());
      unlink((dir_ + "/far").c_str());
      rmdir(dir_.c_str());
    }
  }
  SocatRelay(const SocatRelay&) = delete;
  SocatRelay& operator=(const SocatRelay&) = delete;

  bool ok() const { return !nearName_.empty(); }
  const std::string& nearName() const { return nearName_; }
  // socat's link= path to the near end.
  std::string nearLink() const { return dir_ + "/near"; }
  int far() const { return far_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int far_ = -1;
  std::string nearName_;
};

#define REQUIRE_RELAY(relay) \
  if (!(relay).ok()) GTEST_SKIP() << "no socat relay (is socat installed?)"

// One exchange through a running `--pipe`: toTool goes into its standard
// input while toFar leaves the far end, both at once, until the tool has
// given toFar.size() bytes on its standard output and the far end has
// received toTool.size(). With farWaits the far end starts sending only once
// the tool's first byte has reached it: the tool's open empties the port's
// queues, so bytes sent before it could be lost.
::testing::AssertionResult Exchange(Running& tool, int far, const std::string& toTool,
                                    const std::string& toFar, bool farWaits, std::string& toolOut,
                                    std::string& farIn) {
  const auto end = Clock::now() + kDeadline;
  std::size_t toolWritten = 0;
  std::size_t farWritten = 0;
  std::vector<char> buffer(1 << 16);
  while (toolOut.size() < toFar.size() || farIn.size() < toTool.size()) {
    if (RemainingMs(end) == 0) {
      return ::testing::AssertionFailure()
             << "stalled: the tool took " << toolWritten << " and gave " << toolOut.size()
             << "; the far end sent " << farWritten << " and received " << farIn.size();
    }
    const bool farMayWrite = farWritten < toFar.size() && (!farWaits || !farIn.empty());
    pollfd watched[3] = {{toolWritten < toTool.size() ? tool.in : -1, POLLOUT, 0},
                         {tool.out, POLLIN, 0},
                         {far, static_cast<short>(POLLIN | (farMayWrite ? POLLOUT : 0)), 0}};
    if (poll(watched, 3, RemainingMs(end)) <= 0) continue;
    if (watched[0].revents != 0) {
      const ssize_t n = write(tool.in, toTool.data() + toolWritten,
                              std::min<std::size_t>(65536, toTool.size() - toolWritten));
      if (n > 0) toolWritten += static_cast<std::size_t>(n);
    }
    if (watched[1].revents != 0) {
      const ssize_t n = read(tool.out, buffer.data(), buffer.size());
      if (n <= 0) return ::testing::AssertionFailure() << "the tool's output ended";
      toolOut.append(buffer.data(), static_cast<std::size_t>(n));
    }
    if (watched[2].revents & POLLIN) {
      const ssize_t n = read(far, buffer.data(), buffer.size());
      if (n > 0) farIn.append(buffer.data(), static_cast<std::size_t>(n));
    }
    if ((watched[2].revents & POLLOUT) && farMayWrite) {
      const ssize_t n = write(far, toFar.data() + farWritten,
                              std::min<std::size_t>(65536, toFar.size() - farWritten));
      if (n > 0) farWritten += static_cast<std::size_t>(n);
    }
  }
  return ::testing::AssertionSuccess();
}

// Ends the tool's input and returns its exit status, checking that nothing
// more came out.
int EndInputAndFinish(Running& tool, std::string& err) {
  close(tool.in);
  tool.in = -1;
  const auto end = Clock::now() + kDeadline;
  std::string more;
  char buffer[4096];
  for (int fd : {tool.out, tool.err}) {
    std::string& text = fd == tool.out ? more : err;
    for (;;) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, RemainingMs(end)) <= 0) break;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  EXPECT_EQ(more.size(), 0u) << "output after the end of the exchange";
  tool.CloseAll();
  return tool.child.Finish(end);
}

TEST(Pipe, FiveMebibytesInWhileOneComesBackThroughASocatRelay) {
  SocatRelay relay;
  REQUIRE_RELAY(relay);
  Running tool = StartTool({"--pipe", relay.nearName()});
  ASSERT_GE(tool.child.pid, 0);
  const std::string toPort = RandomBytes(5 << 20, 1);
  const std::string fromPort = RandomBytes(1 << 20, 2);
  std::string out;
  std::string farIn;
  EXPECT_TRUE(Exchange(tool, relay.far(), toPort, fromPort, true, out, farIn));
  std::string err;
  EXPECT_EQ(EndInputAndFinish(tool, err), 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_TRUE(out == fromPort) << "bytes from the port changed on the way out";
  EXPECT_TRUE(farIn == toPort) << "bytes to the port changed on the way";
}

TEST(Pipe, HundredRoundsOfSixtyFourKibibytesEachWayAtOnce) {
  SocatRelay relay;
  REQUIRE_RELAY(relay);
  Running tool = StartTool({"--pipe", relay.nearName()});
  ASSERT_GE(tool.child.pid, 0);
  for (unsigned round = 0; round < 100; ++round) {
    const std::string toPort = RandomBytes(64 << 10, 100 + round);
    const std::string fromPort = RandomBytes(64 << 10, 300 + round);
    std::string out;
    std::string farIn;
    ASSERT_TRUE(Exchange(tool, relay.far(), toPort, fromPort, round == 0, out, farIn))
        << "round " << round;
    ASSERT_TRUE(out == fromPort && farIn == toPort) << "round " << round << " changed bytes";
  }
  std::string err;
  EXPECT_EQ(EndInputAndFinish(tool, err), 0) << err;
  EXPECT_EQ(err, "");
}

// A path PORT (here socat's link= path) is named for the library at run time
// and opened through the name.
TEST(Pipe, APathOpensThroughItsLink) {
  SocatRelay relay;
  REQUIRE_RELAY(relay);
  Running tool = StartTool({"--pipe", relay.nearLink()});
  ASSERT_GE(tool.child.pid, 0);
  std::string out;
  std::string farIn;
  EXPECT_TRUE(Exchange(tool, relay.far(), "to the port", "from the port", true, out, farIn));
  std::string err;
  EXPECT_EQ(EndInputAndFinish(tool, err), 0) << err;
  EXPECT_EQ(out, "from the port");
  EXPECT_EQ(farIn, "to the port");
}

// A port that hangs up ends the pipe at once with the library's reason, after
// the bytes that came before the hang-up.
TEST(Pipe, AHangUpEndsThePipeWithTheLibraryReasonAfterTheLastBytes) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  char path[64];
  termios raw{};
  ASSERT_TRUE(grantpt(master) == 0 && unlockpt(master) == 0 &&
              ptsname_r(master, path, sizeof path) == 0 && tcgetattr(master, &raw) == 0);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  const std::string port = path + 5;
  Running tool = StartTool({"--pipe", port});
  ASSERT_GE(tool.child.pid, 0);
  std::string out;
  std::string farIn;
  EXPECT_TRUE(Exchange(tool, master, "?", "last words", true, out, farIn));
  close(master);
  std::string err;
  EXPECT_EQ(EndInputAndFinish(tool, err), 1);
  EXPECT_EQ(out, "last words");
  EXPECT_EQ(err,
            "kavrel-term: " + port + ": read failed: the device is not connected (error 1167)\n");
}

// SIGTERM, SIGINT and SIGHUP end the pipe within a second while everything
// it could wait on is stuck: its write on a port whose far end never reads,
// and its standard output, which nobody reads while the port floods it.
class SignalsEndThePipe : public ::testing::TestWithParam<int> {};

TEST_P(SignalsEndThePipe, WithinASecondWhileItsWriteAndItsOutputAreStuck) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  Running tool = StartTool({"--pipe", pair.portName()});
  ASSERT_GE(tool.child.pid, 0);
  const std::string block(65536, 'x');
  const auto end = Clock::now() + kDeadline;
  bool stuck = false;
  while (!stuck && RemainingMs(end) > 0) {
    while (write(tool.in, block.data(), block.size()) > 0) {
    }
    while (write(pair.master(), block.data(), block.size()) > 0) {
    }
    // The input stays full once the port takes nothing more.
    pollfd room{tool.in, POLLOUT, 0};
    stuck = poll(&room, 1, 300) == 0;
  }
  ASSERT_TRUE(stuck) << "the tool kept taking input";
  const int signal = GetParam();
  const auto sent = Clock::now();
  ASSERT_EQ(kill(tool.child.pid, signal), 0);
  const int exitCode = tool.child.Finish(sent + std::chrono::seconds(1));
  const auto took = Clock::now() - sent;
  tool.CloseAll();
  EXPECT_EQ(exitCode, 128 + signal) << "exit status after " << strsignal(signal);
  EXPECT_LE(took, std::chrono::seconds(1));
}

INSTANTIATE_TEST_SUITE_P(QuitSignals, SignalsEndThePipe, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

TEST(Pipe, EndOfInputWaitsForTheAnswerThenExitsAndLogsAppendEitherWayOfReading) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  ScratchDir dir;
  const std::string log = dir.File("session.log");
  const std::string capture = dir.File("session.cap");
  for (int session = 0; session < 2; ++session) {
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
      EXPECT_EQ(write(pair.master(), answer.data(), answer.size()),
                static_cast<ssize_t>(answer.size()));
    });
    // The second session reads on the listener's notification.
    std::vector<std::string> args = {"--pipe", pair.portName(), "--linger", "3000", "-l", log,
                                     "-c",     capture};
    if (session == 1) args.insert(args.end(), {"--settle", "1", "--poll", "1"});
    const Outcome result = RunTool(args, "*IDN?\r\n");
    answerer.join();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "ANSWER to *IDN?\r\n");
  }

  // Both sessions are in the log, each record a header line; tx and rx
  // headers give the count of the raw bytes that follow.
  const std::string text = ReadWholeFile(log);
  std::vector<std::string> kinds;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t lineEnd = text.find('\n', at);
    ASSERT_NE(lineEnd, std::string::npos) << text;
    const std::string header = text.substr(at, lineEnd - at);
    ASSERT_TRUE(header.size() > 28 && header[10] == 'T' && header[26] == 'Z') << header;
    const std::string kind = header.substr(28);
    kinds.push_back(kind.substr(0, kind.find(' ')));
    at = lineEnd + 1;
    if (kinds.back() == "tx" || kinds.back() == "rx") {
      const std::size_t count = std::stoul(kind.substr(3));
      EXPECT_EQ(text.substr(at, count), kinds.back() == "tx" ? "*IDN?\r\n" : "ANSWER to *IDN?\r\n");
      at += count + 1;
    } else if (kinds.back() == "open") {
      EXPECT_EQ(kind, "open " + pair.portName() + " 8N1 115200 baud");
    }
  }
  // The writer logs a block once the device has taken it and the reader logs
  // what arrives, each on its own thread, so a quick answer may be logged
  // before the question: within a session the order of tx and rx is free.
  for (std::size_t session = 0; session + 4 <= kinds.size(); session += 4) {
    std::sort(kinds.begin() + static_cast<std::ptrdiff_t>(session) + 1,
              kinds.begin() + static_cast<std::ptrdiff_t>(session) + 3);
  }
  const std::vector<std::string> twoSessions = {"open", "rx", "tx", "close",
                                                "open", "rx", "tx", "close"};
  EXPECT_EQ(kinds, twoSessions) << text;
  EXPECT_EQ(ReadWholeFile(capture), "ANSWER to *IDN?\r\n\r\n\r\nANSWER to *IDN?\r\n\r\n\r\n");
}

// --- --send ---------------------------------------------------------------

TEST(Send, SendsTheWholeFileAndExits) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  ScratchDir dir;
  const std::string path = dir.File("payload.bin");
  const std::string payload = RandomBytes((1 << 20) + 123, 3);
  std::ofstream(path, std::ios::binary)
      .write(payload.data(), static_cast<std::streamsize>(payload.size()));
  FarEnd far(pair.master(), std::string(), payload.size());
  const Outcome result = RunTool({"--send", path, "--block", "1000", pair.portName()});
  far.Join();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "") << "no progress bar when stderr is no terminal";
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
  const std::vector<std::string> lines = Lines(result.err);
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
        Misuse{"HexInThePipe", {"--pipe", "--hex", "ttyS0"}, 2, "exclude"},
        Misuse{"UnknownMap", {"--imap", "crlf,bogus", "ttyS0"}, 2, "unknown map \"bogus\""},
        Misuse{"TwoMapsOfOneByte", {"--omap", "crlf,igncr", "ttyS0"}, 2, "already maps"},
        Misuse{"NotAKey", {"--exit-key", "C-1", "ttyS0"}, 2, "not a key"},
        Misuse{"MenuKeyIsExitKey", {"--menu-key", "C-]", "ttyS0"}, 2, "must differ"},
        Misuse{"UnknownFlow", {"--flow", "hw", "ttyS0"}, 2, "--flow"},
        Misuse{"XonWithoutXonXoff", {"--xon", "C-a", "ttyS0"}, 2, "need --flow xonxoff"},
        Misuse{"DtrMaybe", {"--dtr", "maybe", "ttyS0"}, 2, "--dtr"},
        Misuse{"NothingToDo", {}, 2, "no port given"},
        // Rows of the README's table of refusals, as the library words them.
        Misuse{"MissingPort", {"--pipe", "ttyNOPE9"}, 1, ": ttyNOPE9: no such device (error 2)"},
        Misuse{"MissingPortByPath",
               {"--pipe", "/dev/ttyNOPE9"},
               1,
               ": /dev/ttyNOPE9: no such device (error 2)"},
        Misuse{"NameTooLong",
               {"--pipe", "ttyUSB12345"},
               1,
               ": ttyUSB12345: port name longer than 9 characters (error 123)"},
        Misuse{"DotDotName", {"--pipe", "../null"}, 1, "not a valid port name (error 123)"},
        Misuse{"NotATty", {"--pipe", "null"}, 1, ": null: not a serial port (error 2)"},
        Misuse{"NotATtyByPath", {"--pipe", "/dev/null"}, 1, "/dev/null: not a serial port"},
        Misuse{"SendFileMissing",
               {"--send", "/nonexistent/file", "ttyS0"},
               1,
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
  const std::vector<std::string> lines = Lines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_NE(lines[0].find(pair.portName() + ": in use by another program (pid " +
                          std::to_string(getpid()) + ") (error 5)"),
            std::string::npos)
      << lines[0];
}

TEST(PortErrors, RefusedSettingsGiveTheLibraryReasonAndWhatWasAsked) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  const Outcome result = RunTool({"--pipe", pair.portName(), "--data", "8", "--stop", "1.5"});
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = Lines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_EQ(lines[0], "kavrel-term: " + pair.portName() +
                          ": settings refused: 1.5 stop bits need 5 data bits (error 87; asked "
                          "for 115200 baud, 8 data bits, 1.5 stop bits, no parity)");
}

// --- line controls ----------------------------------------------------------

// A pseudo-terminal has no modem lines: the library refuses there what needs
// them, and what it cannot do anywhere, and accepts the rest.
struct ControlCase {
  const char* name;
  std::vector<std::string> args;
  std::string says;  // after "kavrel-term: PORT: "; empty: accepted
};

void PrintTo(const ControlCase& control, std::ostream* out) { *out << control.name; }

class LineControlsOnAPty : public ::testing::TestWithParam<ControlCase> {};

TEST_P(LineControlsOnAPty, AreRefusedWithTheLibraryReasonOrAccepted) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  std::vector<std::string> args = {"--pipe", pair.portName(), "--linger", "0"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  const Outcome result = RunTool(args);
  if (GetParam().says.empty()) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
  } else {
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "kavrel-term: " + pair.portName() + ": " + GetParam().says + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Controls, LineControlsOnAPty,
    ::testing::Values(
        ControlCase{
            "DtrOn",
            {"--dtr", "on"},
            "--dtr on: the port has no modem lines (a pseudo-terminal has none) (error 50)"},
        ControlCase{"RtsUnderRtsCts",
                    {"--flow", "rtscts", "--rts", "on"},
                    "--rts on: RTS is driven by RTS/CTS flow control: choose another flow control "
                    "first (error 87)"},
        ControlCase{"DtrDsrFlow",
                    {"--flow", "dtrdsr"},
                    "settings refused: DTR/DSR flow control is not supported by this port (error "
                    "87; asked for 115200 baud, 8 data bits, 1 stop bit, no parity, DTR/DSR flow "
                    "control)"},
        ControlCase{"XonIsXoff",
                    {"-f", "xonxoff", "--xon", "C-a", "--xoff", "^A"},
                    "--flow xonxoff: XON and XOFF must be different characters (error 87)"},
        ControlCase{"RtsCtsFlow", {"--flow", "RTSCTS"}, ""}),
    [](const ::testing::TestParamInfo<ControlCase>& info) { return std::string(info.param.name); });

// The line as kavrel-term found it comes back at the exit unless --no-reset:
// the XON/XOFF flow and the raw mode of the session are gone after it.
TEST(LineControls, TheLineIsPutBackUnlessNoReset) {
  VirtualPair pair;
  REQUIRE_PAIR(pair);
  termios cooked{};
  ASSERT_EQ(tcgetattr(pair.master(), &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO;
  cooked.c_iflag &= ~static_cast<tcflag_t>(IXON);
  ASSERT_EQ(tcsetattr(pair.master(), TCSANOW, &cooked), 0);
  for (const bool reset : {true, false}) {
    std::vector<std::string> args = {"--pipe", pair.portName(), "--linger", "0", "-f", "xonxoff"};
    if (!reset) args.push_back("--no-reset");
    const Outcome result = RunTool(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    termios after{};
    ASSERT_EQ(tcgetattr(pair.master(), &after), 0);
    EXPECT_EQ((after.c_lflag & ICANON) != 0, reset) << (reset ? "reset" : "--no-reset");
    EXPECT_EQ((after.c_iflag & IXON) != 0, !reset) << (reset ? "reset" : "--no-reset");
  }
}

// --- --version, -v and --list -----------------------------------------------

TEST(Verbose, TheLibraryTracesOnlyWhenAsked) {
  const Outcome quiet = RunTool({"--version"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.err, "");
  const Outcome verbose = RunTool({"-v", "--version"});
  EXPECT_EQ(verbose.exitCode, 0);
  EXPECT_NE(verbose.err.find("kavrel-term: trace: KAVREL.DLL Terminating!\n"), std::string::npos)
      << verbose.err;
}

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

TEST(List, ShowsNamedPortsThatNoListedPortAnswersTo) {
  ScratchDir dir;
  const std::string ports = dir.File("ports");
  const std::string device = dir.File("ttyV0");  // a socat link= path, say
  std::ofstream(ports) << "# the test's ports\nlab1  rfc2217://127.0.0.1:7000\nvirt  " << device
                       << "\n";
  ASSERT_EQ(chmod(ports.c_str(), 0600), 0);
  const Outcome result = RunTool({"--list"}, "", nullptr, {"KAVREL_PORTS=" + ports});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::vector<std::string> rows = Lines(result.out);
  ASSERT_GE(rows.size(), 3u) << result.out;
  EXPECT_EQ(rows[0].substr(rows[0].rfind(' ') + 1), "NAMES");
  auto row = [&rows](const std::string& device) {
    for (const std::string& line : rows) {
      if (line.compare(0, device.size() + 1, device + " ") == 0) return line;
    }
    return std::string();
  };
  const std::string lab1 = row("lab1");
  EXPECT_NE(lab1.find(" rfc2217 "), std::string::npos) << result.out;
  EXPECT_EQ(lab1.substr(lab1.find("->")), "-> rfc2217://127.0.0.1:7000") << result.out;
  const std::string virt = row("virt");
  EXPECT_EQ(virt.substr(virt.find("->")), "-> " + device) << result.out;
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
    ASSERT_EQ(write(keyboard_.master(), keys.data(), keys.size()),
              static_cast<ssize_t>(keys.size()));
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
  const std::string reply = "SIM-METER\r\nLF\nALONE";
  ASSERT_EQ(write(port_.master(), reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  ReadUntil(keyboard_.master(), screen_, "ALONE");
  EXPECT_NE(screen_.find(reply), std::string::npos) << "bytes are shown as received";
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

TEST_F(Terminal, MenuKeysDriveTheLineAndSayWhyAPtyCannot) {
  Start({});
  ReadUntil(keyboard_.master(), screen_, "Ctrl-T then h lists the line keys.");
  Type("\x14p");
  ReadUntil(keyboard_.master(), screen_, "(error 50)");
  EXPECT_NE(screen_.find("kavrel-term: cannot pulse DTR: the port has no modem lines (a "
                         "pseudo-terminal has none) (error 50)\r\n"),
            std::string::npos)
      << screen_;
  // A pty takes a break (it goes nowhere).
  Type("\x14\x02");
  ReadUntil(keyboard_.master(), screen_, "kavrel-term: break for 250 ms\r\n");
  Type("\x14?");
  ReadUntil(keyboard_.master(), screen_, "quits\r\n");
  EXPECT_NE(screen_.find("kavrel-term: keys after Ctrl-T: b break, p pulse DTR"), std::string::npos)
      << screen_;
  Type("A\x14\x14Z");
  EXPECT_EQ(ReadUntil(port_.master(), wire_, "Z"), "A\x14Z") << "Ctrl-T twice sends it";
  Type("\x1d");
  EXPECT_EQ(child_.Finish(Clock::now() + kDeadline), 0);
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

TEST_F(Terminal, EchoMapsAndAnotherExitKey) {
  Start({"--echo", "--imap", "lfcrlf", "--omap", "crlf", "--exit-key", "C-a"});
  ReadUntil(keyboard_.master(), screen_, "Press Ctrl-A to quit.");
  Type("hi\r\x1d");
  EXPECT_EQ(ReadUntil(port_.master(), wire_, "\x1d"), "hi\n\x1d")
      << "CR sent as LF; Ctrl-] is a key";
  ReadUntil(keyboard_.master(), screen_, "hi\r\n");
  const std::string reply = "ONE\nTWO";
  ASSERT_EQ(write(port_.master(), reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  ReadUntil(keyboard_.master(), screen_, "TWO");
  EXPECT_NE(screen_.find("ONE\r\nTWO"), std::string::npos) << screen_;
  Type("\x01");
  EXPECT_EQ(child_.Finish(Clock::now() + kDeadline), 0);
}

TEST_F(Terminal, ExitKeyEndsAHexSessionUnderAFloodWithinASecond) {
  Start({"--hex"});
  ReadUntil(keyboard_.master(), screen_, "Press Ctrl-] to quit.");
  std::atomic<bool> flooding{true};
  std::thread flood([this, &flooding] {
    const std::string block(4096, 'Z');
    while (flooding.load()) {
      pollfd room{port_.master(), POLLOUT, 0};
      if (poll(&room, 1, 50) == 1) (void)!write(port_.master(), block.data(), block.size());
    }
  });
  // The screen fills as fast as the test reads it.
  std::size_t shown = 0;
  char buffer[65536];
  while (shown < (4u << 20)) {
    pollfd ready{keyboard_.master(), POLLIN, 0};
    if (poll(&ready, 1, RemainingMs(Clock::now() + kDeadline)) <= 0) break;
    const ssize_t n = read(keyboard_.master(), buffer, sizeof buffer);
    if (n <= 0) break;
    shown += static_cast<std::size_t>(n);
  }
  ASSERT_GE(shown, 4u << 20) << "the flood did not reach the screen";
  Type("\x1d");
  const auto pressed = Clock::now();
  // Read on until the program has gone, counting what it still shows.
  std::size_t after = 0;
  for (;;) {
    pollfd watched[2] = {{child_.pidFd, POLLIN, 0}, {keyboard_.master(), POLLIN, 0}};
    if (poll(watched, 2, RemainingMs(pressed + std::chrono::seconds(2))) <= 0) break;
    if (watched[0].revents != 0) break;
    const ssize_t n = read(keyboard_.master(), buffer, sizeof buffer);
    if (n > 0) after += static_cast<std::size_t>(n);
  }
  const auto took = Clock::now() - pressed;
  flooding.store(false);
  flood.join();
  EXPECT_EQ(child_.Finish(pressed + std::chrono::seconds(3)), 0);
  EXPECT_LE(took, std::chrono::seconds(1));
  EXPECT_LT(after, 1u << 20) << "a backlog was shown after the exit key";
}

}  // namespace
