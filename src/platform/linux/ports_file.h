// The ports file: one named port per line, "NAME TARGET", with blank lines
// and '#' comments (docs/named-ports.md). Read afresh at every lookup, so an
// edit takes effect at the next open.
//
// The file says where a port name leads, possibly onto the network, so it
// is only believed when no one but root and the user running the library
// could have written it: the file must be a regular file owned by one of
// them and writable by no one else, and so must every directory on the way
// to it (a directory others may write must have the sticky bit, as /tmp
// has, so no one can replace what they do not own). A file that fails is
// ignored whole, with a trace line saying why.
#ifndef KAVREL_PLATFORM_LINUX_PORTS_FILE_H
#define KAVREL_PLATFORM_LINUX_PORTS_FILE_H

#include <string>
#include <vector>

#include "platform/linux/port_target.h"

namespace kavrel {
namespace platform {
namespace driver {

struct PortsFileEntry {
  std::string name;
  PortTarget target;
};

enum class PortsFileStatus {
  kRead,     // entries filled (possibly with none)
  kAbsent,   // no file at path
  kRefused,  // not trusted, not readable or not a ports file; traced
};

// A file larger than this is not a ports file.
constexpr std::size_t kMaxPortsFileSize = 1 << 20;

// Reads the entries of the ports file at path, an absolute path. A line
// that is not a valid entry is skipped and traced; for a name listed twice
// the first entry counts. A missing file is traced only when
// traceAbsence is set (a file the user pointed at, not the system's).
PortsFileStatus ReadPortsFile(const std::string& path, bool traceAbsence,
                              std::vector<PortsFileEntry>* entries);

// Parses the text of a ports file (path only names it in trace lines).
std::vector<PortsFileEntry> ParsePortsFile(const std::string& text, const std::string& path);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_PORTS_FILE_H
