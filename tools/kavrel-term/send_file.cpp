#include "send_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "duplex_session.h"

namespace kavrel_term {

int RunSend(const SendOptions& options) {
  const int file = open(options.file.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    std::fprintf(stderr, "kavrel-term: cannot read %s: %s\n", options.file.c_str(),
                 std::strerror(errno));
    return 1;
  }
  struct stat info {};
  DuplexOptions session;
  session.kind = DuplexOptions::Kind::kSend;
  session.line = options.line;
  session.inputFd = file;
  session.blockSize = options.blockSize;
  session.maxWaiting = 4 * options.blockSize;
  session.lingerMs = options.lingerMs;
  session.logFile = options.logFile;
  session.progress = isatty(STDERR_FILENO) != 0;
  // A pipe or a device has no size to measure the progress against.
  if (fstat(file, &info) == 0 && S_ISREG(info.st_mode)) {
    session.inputSize = static_cast<std::uint64_t>(info.st_size);
  }
  const int exitCode = RunDuplex(session);
  close(file);
  return exitCode;
}

}  // namespace kavrel_term
