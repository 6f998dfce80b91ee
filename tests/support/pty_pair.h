// A virtual null-modem pair: a pseudo-terminal whose slave the library opens
// by its "pts/N" name while the test drives the master.
#ifndef KAVREL_TESTS_PTY_PAIR_H
#define KAVREL_TESTS_PTY_PAIR_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace kavrel_test {

class PtyPair {
 public:
  // Opens a master in raw mode. Check ok() (tests skip when no pty exists).
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  int master() const { return master_; }
  // "pts/N": the name a host passes to SetSerial.
  const std::string& name() const { return name_; }
  // "/dev/pts/N".
  std::string path() const { return "/dev/" + name_; }

  // Writes all of data to the master (blocking until written or the deadline).
  bool WriteAll(const void* data, std::size_t size,
                std::chrono::milliseconds deadline = std::chrono::seconds(30));
  // Reads exactly size bytes from the master, waiting up to the deadline.
  std::vector<unsigned char> ReadExactly(
      std::size_t size, std::chrono::milliseconds deadline = std::chrono::seconds(30));
  // Reads whatever arrives until the line is quiet for quiet.
  std::vector<unsigned char> ReadUntilQuiet(std::chrono::milliseconds quiet);
  // Closes the master: the peer hangs up.
  void HangUp();

 private:
  int master_ = -1;
  std::string name_;
};

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_PTY_PAIR_H
