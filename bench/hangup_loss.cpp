// How many bytes the kernel itself drops when a pseudo-terminal hangs up,
// measured with a plain reader and no Kavrel at all.
//
// Each round opens a pty pair, both ends raw. The peer (the master) writes a
// stream of known bytes and then closes, which hangs the slave up; a reader
// on the slave takes what comes with plain blocking read() calls until the
// line reports the hang-up. A round's loss is what the master's write()
// calls accepted minus what the reader got; every byte the reader got is
// checked against the stream, so a hole (bytes missing in the middle) is
// told apart from a lost tail.
//
// Two kinds of round alternate:
// - streaming: the reader reads all the time, as a busy host does, while the
//   peer writes 1 MiB in blocks of 1 byte to 64 KiB and hangs up at once;
// - idle reader: the peer writes until the kernel takes no more (non-blocking
//   writes until EAGAIN), hangs up, and only then does the reader read. This
//   is the most the kernel holds for a reader, so the most it can drop.
//
// Usage: kavrel_hangup_loss [rounds]   (default 200)
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Pair {
  int master = -1;
  int slave = -1;
};

bool OpenPair(Pair* pair) {
  pair->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pair->master < 0 || grantpt(pair->master) != 0 || unlockpt(pair->master) != 0) return false;
  char name[64];
  if (ptsname_r(pair->master, name, sizeof name) != 0) return false;
  pair->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pair->slave < 0) return false;
  for (const int fd : {pair->master, pair->slave}) {
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    tcsetattr(fd, TCSANOW, &line);
  }
  return true;
}

// Reads the slave until it reports the hang-up (0 or an error).
void ReadUntilHangUp(int slave, std::vector<unsigned char>* got) {
  std::vector<unsigned char> buffer(65536);
  for (;;) {
    const ssize_t n = read(slave, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    got->insert(got->end(), buffer.begin(), buffer.begin() + n);
  }
}

struct Outcome {
  std::size_t accepted = 0;  // bytes the master's write() took
  std::size_t received = 0;  // bytes the reader got
  std::size_t hole = 0;      // bytes missing before the last byte received
  bool inOrder = true;       // what was received is the stream, less the hole
};

// Compares what arrived with the stream: a prefix, optionally followed (after
// one hole) by a later run of the stream.
Outcome Judge(const std::vector<unsigned char>& stream, std::size_t accepted,
              const std::vector<unsigned char>& got) {
  Outcome outcome;
  outcome.accepted = accepted;
  outcome.received = got.size();
  const auto mismatch = std::mismatch(got.begin(), got.end(), stream.begin());
  const std::size_t prefix = static_cast<std::size_t>(mismatch.first - got.begin());
  if (prefix == got.size()) return outcome;
  // Find where the rest resumes in the stream.
  const std::size_t probe = std::min<std::size_t>(64, got.size() - prefix);
  const auto resume = std::search(stream.begin() + prefix, stream.begin() + accepted,
                                  got.begin() + prefix, got.begin() + prefix + probe);
  if (resume == stream.begin() + accepted) {
    outcome.inOrder = false;
    return outcome;
  }
  const std::size_t at = static_cast<std::size_t>(resume - stream.begin());
  outcome.hole = at - prefix;
  outcome.inOrder = std::equal(got.begin() + prefix, got.end(), stream.begin() + at) &&
                    at + (got.size() - prefix) <= accepted;
  return outcome;
}

Outcome Streaming(const std::vector<unsigned char>& stream, std::mt19937& random) {
  Pair pair;
  if (!OpenPair(&pair)) return Outcome{};
  std::vector<unsigned char> got;
  std::thread reader(ReadUntilHangUp, pair.slave, &got);
  std::size_t accepted = 0;
  while (accepted < stream.size()) {
    const std::size_t block = std::min<std::size_t>(1 + random() % 65536, stream.size() - accepted);
    const ssize_t n = write(pair.master, stream.data() + accepted, block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    accepted += static_cast<std::size_t>(n);
  }
  close(pair.master);
  reader.join();
  close(pair.slave);
  return Judge(stream, accepted, got);
}

Outcome IdleReader(const std::vector<unsigned char>& stream) {
  Pair pair;
  if (!OpenPair(&pair)) return Outcome{};
  fcntl(pair.master, F_SETFL, fcntl(pair.master, F_GETFL) | O_NONBLOCK);
  std::size_t accepted = 0;
  while (accepted < stream.size()) {
    const ssize_t n = write(pair.master, stream.data() + accepted, 512);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    accepted += static_cast<std::size_t>(n);
  }
  close(pair.master);
  std::vector<unsigned char> got;
  ReadUntilHangUp(pair.slave, &got);
  close(pair.slave);
  return Judge(stream, accepted, got);
}

struct Tally {
  int rounds = 0;
  int lossy = 0;
  std::size_t mostLost = 0;
  std::size_t mostHole = 0;
  std::size_t mostAccepted = 0;
  std::size_t totalLost = 0;
  int outOfOrder = 0;

  void Add(const Outcome& outcome) {
    ++rounds;
    const std::size_t lost = outcome.accepted - std::min(outcome.accepted, outcome.received);
    if (lost > 0) ++lossy;
    mostLost = std::max(mostLost, lost);
    mostHole = std::max(mostHole, outcome.hole);
    mostAccepted = std::max(mostAccepted, outcome.accepted);
    totalLost += lost;
    if (!outcome.inOrder) ++outOfOrder;
  }
  void Print(const char* kind) const {
    std::printf(
        "%-14s rounds %4d  rounds with a loss %4d  most lost %6zu bytes  largest hole %6zu  "
        "mean lost %8.1f  out of order %d\n",
        kind, rounds, lossy, mostLost, mostHole, rounds > 0 ? double(totalLost) / rounds : 0.0,
        outOfOrder);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  std::mt19937 random(20261208);
  std::vector<unsigned char> stream(1 << 20);
  for (unsigned char& byte : stream) byte = static_cast<unsigned char>(random());

  Tally streaming;
  Tally idle;
  for (int round = 0; round < rounds; ++round) {
    streaming.Add(Streaming(stream, random));
    if (round % 4 == 0) idle.Add(IdleReader(stream));
  }
  streaming.Print("streaming");
  idle.Print("idle reader");
  std::printf("most the kernel held for an idle reader: %zu bytes\n", idle.mostAccepted);
  std::printf("KAVREL-FIGURE hangup_kernel_loss_most=%zu\n",
              std::max(streaming.mostLost, idle.mostLost));
  std::printf("KAVREL-FIGURE hangup_kernel_loss_rounds=%d\n", streaming.rounds + idle.rounds);
  return streaming.outOfOrder + idle.outOfOrder == 0 ? 0 : 1;
}
