// kavrel-term: a serial terminal, pipe and port lister built on Kavrel.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "bridge.h"
#include "demo.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/version.h"
#include "port_list.h"
#include "send_file.h"
#include "session.h"

#ifndef KAVREL_TERM_VERSION
#define KAVREL_TERM_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;

int PrintVersion() {
  auto port = std::make_unique<SerialCtl>();
  const kavrel::ModuleVersion& module = kavrel::GetModuleVersion();
  std::printf("kavrel-term %s\n", KAVREL_TERM_VERSION);
  std::printf("Kavrel interface version %s (GetVer %d)\n",
              static_cast<const char*>(port->GetVersion()), port->GetVer());
  std::printf("Kavrel module %s: file version %s, product version %s\n", module.internalName,
              module.fileVersionText, module.productVersionText);
  std::printf("  description    %s\n", module.fileDescription);
  std::printf("  comments       %s\n", module.comments);
  std::printf("  original file  %s\n", module.originalFilename);
  std::printf("  language       0x%04X, code page %u\n", module.language, module.codePage);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // First, so that even a run that ends at a bad option keeps the library's
  // unload trace line off standard error.
  kavrel_term::HostHooks hooks;

  CLI::App app{
      "kavrel-term: a serial terminal built on the Kavrel serial-port library.\n"
      "PORT is a name under /dev (ttyUSB0, ttyS0, pts/3) or COMn for ttyS<n-1>.",
      "kavrel-term"};
  app.footer(
      "In the terminal, keys go to the port as typed and Ctrl-] quits.\n"
      "Exit status: 0 success, 1 the port or a transfer failed, 2 bad options.\n"
      "See kavrel-term(1).");

  kavrel_term::LineOptions line;
  bool demo = false;
  bool list = false;
  bool version = false;
  bool pipe = false;
  bool hex = false;
  bool verbose = false;
  std::string sendFile;
  int lingerMs = 200;
  std::size_t blockSize = 4096;

  auto* portArg = app.add_option("PORT", line.port, "Serial port to open");
  auto* demoFlag = app.add_flag("--demo", demo,
                                "Talk to a simulated instrument over a virtual null-modem pair");
  auto* listFlag = app.add_flag("--list", list, "List the serial ports on this machine");
  auto* versionFlag = app.add_flag("--version", version, "Show the library's version and exit");
  auto* pipeFlag = app.add_flag("--pipe", pipe,
                                "Bridge standard input and output to PORT, byte for byte");
  auto* sendOption =
      app.add_option("--send", sendFile, "Send FILE through PORT, then exit")->type_name("FILE");
  app.add_option("--baud", line.baud, "Line speed in bits per second (default 115200)")
      ->check(CLI::Range(1L, 2147483647L));
  app.add_option("--data", line.dataBits, "Data bits: 5-8 (default 8)")->check(CLI::Range(5, 8));
  app.add_option("--stop", line.stopBits, "Stop bits: 1, 1.5 or 2 (default 1)")
      ->check(CLI::IsMember({"1", "1.5", "2"}));
  app.add_option("--parity", line.parity, "Parity: none, odd or even (default none)")
      ->check(CLI::IsMember({"none", "odd", "even"}, CLI::ignore_case));
  app.add_option("--capture", line.capture,
                 "Copy every delivery of received bytes to FILE, each followed by CR LF CR LF")
      ->type_name("FILE");
  auto* hexFlag = app.add_flag("--hex", hex, "Terminal: show received bytes as a hex dump");
  auto* lingerOption =
      app.add_option("--linger", lingerMs,
                     "Pipe: after end of input, wait until the line is quiet for MS (default 200)")
          ->type_name("MS")
          ->check(CLI::Range(0, 3600000));
  auto* blockOption = app.add_option("--block", blockSize, "Send: block size in bytes (default 4096)")
                          ->type_name("BYTES")
                          ->check(CLI::Range(static_cast<std::size_t>(1),
                                             static_cast<std::size_t>(SerialCtl::kStagingSize)));
  app.add_flag("-v,--verbose", verbose, "Show the library's trace lines on standard error");

  // One mode at a time.
  demoFlag->excludes(listFlag)->excludes(versionFlag)->excludes(pipeFlag)->excludes(sendOption)
      ->excludes(portArg)->excludes(hexFlag);
  listFlag->excludes(versionFlag)->excludes(pipeFlag)->excludes(sendOption)->excludes(portArg)
      ->excludes(hexFlag);
  versionFlag->excludes(pipeFlag)->excludes(sendOption)->excludes(portArg)->excludes(hexFlag);
  pipeFlag->excludes(sendOption)->excludes(hexFlag)->needs(portArg);
  sendOption->excludes(hexFlag)->needs(portArg);
  lingerOption->needs(pipeFlag);
  blockOption->needs(sendOption);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& failure) {
    std::fprintf(stderr, "kavrel-term: %s (see --help)\n", failure.what());
    return kUsageError;
  }

  kavrel_term::HostHooks::ShowTrace(verbose);
  if (version) return PrintVersion();
  if (list) return kavrel_term::RunList();
  if (demo) return kavrel_term::RunDemo(line);
  if (line.port.empty()) {
    std::fprintf(stderr, "kavrel-term: no port given (try --list, --demo or --help)\n");
    return kUsageError;
  }
  if (pipe) return kavrel_term::RunPipe({line, lingerMs});
  if (sendOption->count() > 0) return kavrel_term::RunSend({line, sendFile, blockSize});
  return kavrel_term::RunTerminal({line, hex});
}
