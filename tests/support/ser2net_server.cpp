#include "support/ser2net_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kavrel_test {

namespace {

constexpr char kPidFile[] = "ser2net.pid";
constexpr char kConfigFile[] = "ser2net.yaml";
constexpr char kOutputFile[] = "ser2net.out";
// Starting takes ser2net a few milliseconds; the bound is for loaded CI.
constexpr std::chrono::seconds kStartBound{20};
// A port found free can be taken by someone else before ser2net binds it;
// another is then tried.
constexpr int kPortAttempts = 3;

// A port of 127.0.0.1 that nothing is bound to at this moment.
std::uint16_t FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(probe);
  return port;
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

std::string Ser2netServer::Program() { return FindProgram("ser2net", {"/usr/sbin", "/sbin"}); }

Ser2netServer::Ser2netServer(const std::vector<std::string>& devicePaths,
                             const std::string& lineSettings, Protocol protocol) {
  const std::string program = Program();
  if (program.empty()) {
    error_ = "ser2net is not installed";
    return;
  }
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kavrel-ser2net-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    error_ = pattern + ": " + std::strerror(errno);
    return;
  }
  directory_ = pattern;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    std::string why;
    if (StartOnce(program, devicePaths, lineSettings, protocol, &why)) {
      error_.clear();
      return;
    }
    error_ = why + "\nser2net said: " + Output();
    process_.Kill();
    ports_.clear();
  }
}

Ser2netServer::~Ser2netServer() {
  Stop();
  if (directory_.empty()) return;
  for (const char* leaf : {kPidFile, kConfigFile, kOutputFile}) {
    unlink((directory_ + "/" + leaf).c_str());
  }
  rmdir(directory_.c_str());
}

std::string Ser2netServer::url(std::size_t index) const {
  return "rfc2217://127.0.0.1:" + std::to_string(port(index));
}

void Ser2netServer::Stop() { process_.Stop(); }

void Ser2netServer::Kill() { process_.Kill(); }

bool Ser2netServer::StartOnce(const std::string& program,
                              const std::vector<std::string>& devicePaths,
                              const std::string& lineSettings, Protocol protocol,
                              std::string* why) {
  ports_.clear();
  for (std::size_t i = 0; i < devicePaths.size(); ++i) {
    // Each probe socket is closed before the next is made, so the same port
    // can come twice; a repeat is asked for again.
    std::uint16_t port = FreePort();
    for (int retry = 0; port != 0 && retry < 8; ++retry) {
      bool repeated = false;
      for (std::uint16_t taken : ports_) repeated = repeated || taken == port;
      if (!repeated) break;
      port = FreePort();
    }
    if (port == 0) {
      *why = "no free port on 127.0.0.1";
      return false;
    }
    ports_.push_back(port);
  }
  // telnet(rfc2217) over TCP on loopback only; "local" ignores the modem
  // lines a pty lacks; kickolduser lets a test reconnect at once; mdns off,
  // since nothing may be announced on the network; chardelay off, so bytes
  // from the device go on at once instead of after a wait for more (which
  // would dominate a latency figure).
  const std::string config = directory_ + "/" + kConfigFile;
  {
    std::ofstream file(config);
    const char* accepter = protocol == Protocol::kRfc2217 ? "telnet(rfc2217)" : "telnet";
    for (std::size_t i = 0; i < devicePaths.size(); ++i) {
      file << "connection: &kavrel" << i << "\n"
           << "  accepter: " << accepter << ",tcp,127.0.0.1," << ports_[i] << "\n"
           << "  connector: serialdev," << devicePaths[i] << "," << lineSettings << ",local\n"
           << "  options:\n"
           << "    kickolduser: true\n"
           << "    chardelay: false\n"
           << "    mdns: false\n";
    }
    if (!file) {
      *why = config + ": cannot write";
      return false;
    }
  }
  unlink((directory_ + "/" + kPidFile).c_str());
  // -n: foreground; -d: debug output to stdout; -u: no UUCP lock files
  // (they need a system directory); -P: the pid file written once the
  // accepters listen, which is the moment to wait for.
  return process_.Start(
             program, {program, "-n", "-d", "-u", "-c", config, "-P", directory_ + "/" + kPidFile},
             directory_ + "/" + kOutputFile, why) &&
         WaitUntilListening(why);
}

bool Ser2netServer::WaitUntilListening(std::string* why) {
  // ser2net writes its pid file after its accepters have started (bind
  // and listen, then the file), so its closing is the event to wait for;
  // the process ending first is a failure to start.
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0 || inotify_add_watch(watch, directory_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    *why = std::string("inotify: ") + std::strerror(errno);
    if (watch >= 0) close(watch);
    return false;
  }
  const std::string pidFile = directory_ + "/" + kPidFile;
  const auto end = std::chrono::steady_clock::now() + kStartBound;
  bool written = access(pidFile.c_str(), F_OK) == 0 && !ReadText(pidFile).empty();
  while (!written) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd events[2] = {{watch, POLLIN, 0}, {process_.exitDescriptor(), POLLIN, 0}};
    if (poll(events, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (events[1].revents != 0) {
      *why = "ser2net ended at start";
      close(watch);
      return false;
    }
    char buffer[4096];
    while (read(watch, buffer, sizeof buffer) > 0) {
    }
    written = !ReadText(pidFile).empty();
  }
  close(watch);
  if (!written) {
    *why = "ser2net did not start within " + std::to_string(kStartBound.count()) + " s";
    return false;
  }
  // A port taken by another program between FreePort and ser2net's bind
  // leaves ser2net running without its accepter.
  for (std::uint16_t port : ports_) {
    if (!ListensOnPort(port)) {
      *why = "ser2net is not listening on 127.0.0.1:" + std::to_string(port);
      return false;
    }
  }
  return true;
}

bool Ser2netServer::ListensOnPort(std::uint16_t port) const {
  // The listening socket of 127.0.0.1:port in the kernel's table, and
  // whether it is among ser2net's descriptors.
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::string inode;
  std::getline(table, line);  // the heading
  while (inode.empty() && std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, node;
    fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> node;
    if (address == local && state == "0A") inode = node;
  }
  if (inode.empty()) return false;
  const std::string socketLink = "socket:[" + inode + "]";
  const std::string descriptors = "/proc/" + std::to_string(process_.pid()) + "/fd";
  DIR* dir = opendir(descriptors.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    char target[64] = {};
    const std::string link = descriptors + "/" + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && socketLink == target) found = true;
  }
  closedir(dir);
  return found;
}

std::string Ser2netServer::Output() const { return ReadText(directory_ + "/" + kOutputFile); }

}  // namespace kavrel_test
