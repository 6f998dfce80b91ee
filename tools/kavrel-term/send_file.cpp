#include "send_file.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "port_names.h"
#include "text_format.h"

namespace kavrel_term {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kProgressInterval{100};
constexpr int kBarWidth = 30;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int RunSend(const SendOptions& options) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(options.file.c_str(), "rb"));
  if (!file) {
    std::fprintf(stderr, "kavrel-term: cannot read %s: %s\n", options.file.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::uint64_t total = 0;
  if (std::fseek(file.get(), 0, SEEK_END) == 0) {
    const long end = std::ftell(file.get());
    total = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    std::rewind(file.get());
  }

  auto port = std::make_unique<SerialCtl>();
  const std::string error = OpenPort(*port, options.line);
  if (!error.empty()) {
    std::fprintf(stderr, "kavrel-term: %s\n", error.c_str());
    return 1;
  }
  const std::string name = NormalisePortName(options.line.port);

  const bool showProgress = isatty(STDERR_FILENO) != 0;
  const auto started = Clock::now();
  auto lastShown = started - kProgressInterval;
  auto show = [&](std::uint64_t done, bool final) {
    const auto now = Clock::now();
    if (!showProgress || (!final && now - lastShown < kProgressInterval)) return;
    lastShown = now;
    const double seconds = std::chrono::duration<double>(now - started).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::fprintf(stderr, "\r%s%s", FormatProgress(done, total, rate, kBarWidth).c_str(),
                 final ? "\n" : "");
  };

  std::vector<unsigned char> block(options.blockSize);
  std::uint64_t sent = 0;
  int exitCode = 0;
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
    if (got > 0) {
      if (port->WriteSerial(block.data(), got) != 1) {
        show(sent, true);
        std::fprintf(stderr, "kavrel-term: %s: write failed after %llu bytes\n", name.c_str(),
                     static_cast<unsigned long long>(sent));
        exitCode = 1;
        break;
      }
      sent += got;
      show(sent, false);
    }
    if (got < block.size()) {
      if (std::ferror(file.get())) {
        show(sent, true);
        std::fprintf(stderr, "kavrel-term: reading %s failed after %llu bytes\n",
                     options.file.c_str(), static_cast<unsigned long long>(sent));
        exitCode = 1;
      } else {
        show(sent, true);
      }
      break;
    }
  }
  port->CloseSerial();
  return exitCode;
}

}  // namespace kavrel_term
