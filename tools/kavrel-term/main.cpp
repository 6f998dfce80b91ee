// kavrel-term: a serial terminal, pipe and port lister built on Kavrel.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bridge.h"
#include "demo.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/version.h"
#include "key_names.h"
#include "line_maps.h"
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

// A CLI11 check that parses a key (C-x, ^x, 0xNN) into target.
CLI::Validator KeyCheck(unsigned char& target) {
  return CLI::Validator(
      [&target](std::string& text) {
        return kavrel_term::ParseKey(text, target) ? std::string()
                                                   : "not a key: use C-x, ^x or 0xNN";
      },
      "KEY");
}

// A CLI11 check that parses a map list into target.
CLI::Validator MapCheck(kavrel_term::ByteMap& target) {
  return CLI::Validator(
      [&target](std::string& text) {
        std::string why;
        return kavrel_term::ByteMap::Parse(text, target, why) ? std::string() : why;
      },
      "MAP");
}

}  // namespace

int main(int argc, char** argv) {
  kavrel_term::HostHooks hooks;

  CLI::App app{
      "kavrel-term: a serial terminal built on the Kavrel serial-port library.\n"
      "PORT is a name under /dev (ttyUSB0, ttyS0, pts/3), COMn for ttyS<n-1>, a named port,\n"
      "or the full path of a device (/dev/serial/by-id/..., a socat link).",
      "kavrel-term"};
  app.footer(
      "In the terminal, keys go to the port as typed and Ctrl-] (see --exit-key) quits;\n"
      "Ctrl-T (see --menu-key) then b sends a break, p pulses DTR, d and r switch DTR and RTS.\n"
      "Exit status: 0 success, 1 the port or a transfer failed, 2 bad options,\n"
      "128+n ended by signal n. See kavrel-term(1).");

  kavrel_term::LineOptions line;
  bool demo = false;
  bool list = false;
  bool version = false;
  bool pipe = false;
  bool hex = false;
  bool echo = false;
  bool verbose = false;
  std::string sendFile;
  std::string logFile;
  std::string exitKeyText;
  unsigned char exitKey = kavrel_term::kDefaultExitKey;
  std::string menuKeyText;
  unsigned char menuKey = kavrel_term::kDefaultMenuKey;
  std::string xonText;
  std::string xoffText;
  bool noReset = false;
  kavrel_term::ByteMap inputMap;
  kavrel_term::ByteMap outputMap;
  std::string inputMapText;
  std::string outputMapText;
  int lingerMs = 200;
  std::size_t blockSize = 4096;

  auto* portArg = app.add_option("PORT", line.port, "Serial port to open");
  auto* demoFlag =
      app.add_flag("--demo", demo, "Talk to a simulated instrument over a virtual null-modem pair");
  auto* listFlag = app.add_flag("--list", list, "List the serial ports on this machine");
  auto* versionFlag = app.add_flag("--version", version, "Show the library's version and exit");
  auto* pipeFlag =
      app.add_flag("--pipe", pipe, "Bridge standard input and output to PORT, byte for byte");
  auto* sendOption =
      app.add_option("--send", sendFile, "Send FILE through PORT, then exit")->type_name("FILE");
  app.add_option("-b,--baud", line.baud, "Line speed in bits per second (default 115200)")
      ->check(CLI::Range(1L, 2147483647L));
  app.add_option("-d,--data", line.dataBits, "Data bits: 5-8 (default 8)")->check(CLI::Range(5, 8));
  app.add_option("-s,--stop", line.stopBits, "Stop bits: 1, 1.5 or 2 (default 1)")
      ->check(CLI::IsMember({"1", "1.5", "2"}));
  app.add_option("-p,--parity", line.parity, "Parity: none, odd or even (default none)")
      ->check(CLI::IsMember({"none", "odd", "even"}, CLI::ignore_case));
  auto* captureOption =
      app.add_option("-c,--capture", line.capture,
                     "Append every delivery of received bytes to FILE, each followed by CR LF "
                     "CR LF")
          ->type_name("FILE");
  auto* logOption = app.add_option("-l,--log", logFile,
                                   "Append a timestamped log of the raw traffic both ways to FILE")
                        ->type_name("FILE");
  auto* settleOption =
      app.add_option("--settle", line.settleMs,
                     "Read on the listener, which waits MS after bytes arrive before announcing "
                     "them (default 0: no listener, reads wait for the first bytes)")
          ->type_name("MS")
          ->check(CLI::Range(0L, 3600000L));
  auto* pollOption =
      app.add_option("--poll", line.pollMs,
                     "Read on the listener, which announces unread bytes again after MS")
          ->type_name("MS")
          ->check(CLI::Range(0L, 3600000L));
  auto* flowOption =
      app.add_option("-f,--flow", line.flow,
                     "Flow control: none, rtscts, xonxoff or dtrdsr (default none)")
          ->check(CLI::IsMember({"none", "rtscts", "xonxoff", "dtrdsr"}, CLI::ignore_case));
  auto* xonOption =
      app.add_option("--xon", xonText, "XON/XOFF flow: the XON character (default C-q)")
          ->type_name("KEY")
          ->check(KeyCheck(line.xon));
  auto* xoffOption =
      app.add_option("--xoff", xoffText, "XON/XOFF flow: the XOFF character (default C-s)")
          ->type_name("KEY")
          ->check(KeyCheck(line.xoff));
  auto* dtrOption = app.add_option("--dtr", line.dtr, "Raise (on) or lower (off) DTR at open")
                        ->check(CLI::IsMember({"on", "off"}, CLI::ignore_case));
  auto* rtsOption = app.add_option("--rts", line.rts, "Raise (on) or lower (off) RTS at open")
                        ->check(CLI::IsMember({"on", "off"}, CLI::ignore_case));
  auto* noResetFlag = app.add_flag(
      "--no-reset", noReset, "Leave the line as kavrel-term set it at exit (default: put it back)");
  auto* hexFlag = app.add_flag("--hex", hex, "Terminal: show received bytes as a hex dump");
  auto* echoFlag = app.add_flag("-e,--echo", echo, "Terminal: show typed keys (local echo)");
  auto* imapOption = app.add_option("--imap", inputMapText,
                                    "Terminal: how received bytes are shown; a comma list of: " +
                                        std::string(kavrel_term::ByteMap::Names()))
                         ->type_name("MAP")
                         ->check(MapCheck(inputMap));
  auto* omapOption = app.add_option("--omap", outputMapText,
                                    "Terminal: how typed keys are sent; the same maps as --imap")
                         ->type_name("MAP")
                         ->check(MapCheck(outputMap));
  auto* exitKeyOption =
      app.add_option("--exit-key", exitKeyText,
                     "Terminal: the key that quits, as C-x, ^x or 0xNN (default C-])")
          ->type_name("KEY")
          ->check(KeyCheck(exitKey));
  auto* menuKeyOption =
      app.add_option("--menu-key", menuKeyText,
                     "Terminal: the key before a line key, as --exit-key (default C-t)")
          ->type_name("KEY")
          ->check(KeyCheck(menuKey));
  auto* lingerOption =
      app.add_option("--linger", lingerMs,
                     "Pipe and send: after the input ends, wait until the line is quiet for MS "
                     "(default 200 for --pipe, 0 for --send)")
          ->type_name("MS")
          ->check(CLI::Range(0, 3600000));
  auto* blockOption =
      app.add_option("--block", blockSize, "Send: block size in bytes (default 4096)")
          ->type_name("BYTES")
          ->check(CLI::Range(static_cast<std::size_t>(1),
                             static_cast<std::size_t>(SerialCtl::kStagingSize)));
  app.add_flag("-v,--verbose", verbose, "Show the library's trace lines on standard error");

  // One mode at a time, and each option only where it means something.
  demoFlag->excludes(listFlag)
      ->excludes(versionFlag)
      ->excludes(pipeFlag)
      ->excludes(sendOption)
      ->excludes(portArg)
      ->excludes(logOption);
  listFlag->excludes(versionFlag)->excludes(pipeFlag)->excludes(sendOption)->excludes(portArg);
  versionFlag->excludes(pipeFlag)->excludes(sendOption)->excludes(portArg);
  pipeFlag->excludes(sendOption)->needs(portArg);
  sendOption->needs(portArg);
  const std::vector<CLI::Option*> terminalOnly = {hexFlag,    echoFlag,      imapOption,
                                                  omapOption, exitKeyOption, menuKeyOption};
  const std::vector<CLI::Option*> otherModes = {demoFlag, listFlag, versionFlag, pipeFlag,
                                                sendOption};
  for (CLI::Option* option : terminalOnly) {
    for (CLI::Option* mode : otherModes) {
      option->excludes(mode);
    }
  }
  for (CLI::Option* needsPort :
       std::vector<CLI::Option*>{captureOption, settleOption, pollOption, flowOption, xonOption,
                                 xoffOption, dtrOption, rtsOption, noResetFlag}) {
    needsPort->excludes(listFlag)->excludes(versionFlag);
  }
  lingerOption->excludes(demoFlag)->excludes(listFlag)->excludes(versionFlag);
  blockOption->needs(sendOption);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& failure) {
    std::fprintf(stderr, "kavrel-term: %s (see --help)\n", failure.what());
    return kUsageError;
  }

  if (menuKey == exitKey) {
    std::fprintf(stderr, "kavrel-term: --menu-key and --exit-key must differ (see --help)\n");
    return kUsageError;
  }
  for (std::string* value : {&line.flow, &line.dtr, &line.rts}) {
    for (char& c : *value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if ((xonOption->count() > 0 || xoffOption->count() > 0) && line.flow != "xonxoff") {
    std::fprintf(stderr, "kavrel-term: --xon and --xoff need --flow xonxoff (see --help)\n");
    return kUsageError;
  }
  line.restoreOnClose = !noReset;

  if (verbose) kavrel_term::HostHooks::ShowTrace();
  if (version) return PrintVersion();
  if (list) return kavrel_term::RunList();
  if (demo) return kavrel_term::RunDemo(line);
  if (line.port.empty()) {
    std::fprintf(stderr, "kavrel-term: no port given (try --list, --demo or --help)\n");
    return kUsageError;
  }
  if (lingerOption->count() > 0 && !pipe && sendOption->count() == 0) {
    std::fprintf(stderr, "kavrel-term: --linger needs --pipe or --send (see --help)\n");
    return kUsageError;
  }
  if (pipe) return kavrel_term::RunPipe({line, lingerMs, logFile});
  if (sendOption->count() > 0) {
    return kavrel_term::RunSend(
        {line, sendFile, blockSize, lingerOption->count() > 0 ? lingerMs : 0, logFile});
  }
  kavrel_term::TerminalOptions terminal;
  terminal.line = line;
  terminal.hex = hex;
  terminal.echo = echo;
  terminal.inputMap = inputMap;
  terminal.outputMap = outputMap;
  terminal.exitKey = exitKey;
  terminal.menuKey = menuKey;
  terminal.logFile = logFile;
  return kavrel_term::RunTerminal(terminal);
}
