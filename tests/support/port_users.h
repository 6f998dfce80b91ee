// Others that use a tty, staged by the tests: a session that has a pty as
// its controlling terminal, a UUCP lock directory of the test's own, and a
// kernel console list of the test's own.
#ifndef KAVREL_TESTS_PORT_USERS_H
#define KAVREL_TESTS_PORT_USERS_H

#include <sys/types.h>

#include <string>

namespace kavrel_test {

// A child process that holds the tty at path until End(): either as the
// controlling terminal of a session of its own, as a login shell has its
// terminal, or open with a flock() on it, as another program using the port.
class ProcessOnTerminal {
 public:
  enum class Hold { kAsControllingTerminal, kWithFlock };
  ProcessOnTerminal(const std::string& path, Hold hold);
  ~ProcessOnTerminal();
  ProcessOnTerminal(const ProcessOnTerminal&) = delete;
  ProcessOnTerminal& operator=(const ProcessOnTerminal&) = delete;

  // Whether the child holds the terminal.
  bool ok() const { return ok_; }
  pid_t pid() const { return child_; }
  // The child exits (and is waited for), so the terminal is nobody's.
  void End();

 private:
  pid_t child_ = -1;
  int link_ = -1;  // closing it lets the child exit
  bool ok_ = false;
};

// Points the library's UUCP lock files (KAVREL_LOCK_DIR) at a fresh
// directory, or at a given one, for the object's life.
class LockDirectory {
 public:
  LockDirectory();
  explicit LockDirectory(const std::string& existing);
  ~LockDirectory();
  LockDirectory(const LockDirectory&) = delete;
  LockDirectory& operator=(const LockDirectory&) = delete;

  // The text of the lock file of the port portName ("pts/3": LCK..pts_3),
  // or "(none)".
  std::string Read(const std::string& portName) const;
  void Write(const std::string& portName, const std::string& text) const;

 private:
  std::string LockOf(const std::string& portName) const;

  std::string path_;
  bool owned_ = false;
};

// The text a lock file naming pid holds: ten characters wide, a line feed.
std::string LockText(pid_t pid);

// A tty class tree of the test's own, where the library's console check
// reads the kernel's list of active consoles, for the object's life.
class ConsoleList {
 public:
  ConsoleList();
  ~ConsoleList();
  ConsoleList(const ConsoleList&) = delete;
  ConsoleList& operator=(const ConsoleList&) = delete;

  bool ok() const { return !path_.empty(); }
  // The kernel's active consoles, as it lists them: "tty0 ttyS0".
  void SetActive(const std::string& names) const;
  // A tty of the class, with the numbers of the device at devicePath.
  void AddTty(const std::string& name, const std::string& devicePath) const;
  // name (as tty0 does) stands for the tty inFront.
  void SetInFront(const std::string& name, const std::string& inFront) const;

 private:
  std::string path_;
};

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_PORT_USERS_H
