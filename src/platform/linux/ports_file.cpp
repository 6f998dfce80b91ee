#include "platform/linux/ports_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "host/host_services.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

// Why someone other than root and user could change what info describes;
// empty when no one could.
std::string UntrustedBecause(const struct stat& info, uid_t user) {
  if (info.st_uid != 0 && info.st_uid != user) {
    return "owned by uid " + std::to_string(info.st_uid) + ", neither root nor this user";
  }
  const bool othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  const bool stickyDirectory = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
  if (othersMayWrite && !stickyDirectory) return "its group or others may write it";
  return std::string();
}

// The same for every directory on the way to path, an absolute path.
std::string UntrustedDirectoryOf(const std::string& path, uid_t user) {
  std::vector<std::string> directories = {"/"};
  for (std::size_t end = path.find('/', 1); end != std::string::npos;
       end = path.find('/', end + 1)) {
    directories.push_back(path.substr(0, end));
  }
  for (const std::string& directory : directories) {
    struct stat info {};
    if (stat(directory.c_str(), &info) != 0) {
      return "directory " + directory + ": " + std::strerror(errno);
    }
    const std::string why = UntrustedBecause(info, user);
    if (!why.empty()) return "directory " + directory + " is " + why;
  }
  return std::string();
}

std::string Canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved == nullptr ? std::string() : std::string(resolved.get());
}

// The whole of fd, up to kMaxPortsFileSize bytes; false on a read error
// or a longer file.
bool ReadAll(int fd, std::string* text) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buffer, static_cast<std::size_t>(n));
    if (text->size() > kMaxPortsFileSize) return false;
  }
}

void TraceRefusal(const std::string& path, const std::string& why) {
  host::Trace("Kavrel ports file %s ignored: %s\n", path.c_str(), why.c_str());
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

PortsFileStatus ReadPortsFile(const std::string& path, bool traceAbsence,
                              std::vector<PortsFileEntry>* entries) {
  if (path.empty() || path.front() != '/') {
    TraceRefusal(path, "not an absolute path");
    return PortsFileStatus::kRefused;
  }
  // Non-blocking, so a FIFO put in the file's place cannot stall an open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      if (traceAbsence) TraceRefusal(path, "no such file");
      return PortsFileStatus::kAbsent;
    }
    TraceRefusal(path, std::strerror(errno));
    return PortsFileStatus::kRefused;
  }

  // The directories are checked along the path as given and along the one
  // it resolves to, so a link in a safe place cannot lead through an
  // unsafe one, nor a safe target hide behind a link in an unsafe place.
  const uid_t user = geteuid();
  std::string why;
  struct stat info {};
  std::string text;
  const std::string canonical = Canonical(path);
  if (fstat(fd, &info) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    why = "not a regular file";
  } else if (!(why = UntrustedBecause(info, user)).empty()) {
    why = "the file is " + why;
  } else if (canonical.empty()) {
    why = "its path does not resolve";
  } else if ((why = UntrustedDirectoryOf(path, user)).empty() &&
             (why = UntrustedDirectoryOf(canonical, user)).empty() && !ReadAll(fd, &text)) {
    why = "unreadable, or larger than " + std::to_string(kMaxPortsFileSize) + " bytes";
  }
  close(fd);
  if (!why.empty()) {
    TraceRefusal(path, why);
    return PortsFileStatus::kRefused;
  }
  *entries = ParsePortsFile(text, path);
  return PortsFileStatus::kRead;
}

std::vector<PortsFileEntry> ParsePortsFile(const std::string& text, const std::string& path) {
  std::vector<PortsFileEntry> entries;
  std::set<std::string> seen;
  std::size_t lineStart = 0;
  for (unsigned lineNumber = 1; lineStart < text.size(); ++lineNumber) {
    std::size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    std::string line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    // Fields are separated by blanks; a field that starts with '#' starts
    // a comment running to the end of the line.
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < line.size();) {
      if (IsBlank(line[at])) {
        ++at;
        continue;
      }
      if (line[at] == '#') break;
      std::size_t end = at;
      while (end < line.size() && !IsBlank(line[end])) ++end;
      fields.push_back(line.substr(at, end - at));
      at = end;
    }
    if (fields.empty()) continue;

    std::string why;
    PortsFileEntry entry;
    if (fields.size() != 2) {
      why = "expected NAME TARGET";
    } else if (!IsValidPortName(fields[0])) {
      why = "\"" + fields[0] + "\" is not a port name (1 to 9 letters, digits, '_' or '-')";
    } else if (!ParsePortTarget(fields[1], &entry.target, &why)) {
      why = "\"" + fields[1] + "\": " + why;
    } else if (!seen.insert(fields[0]).second) {
      why = "\"" + fields[0] + "\" is named earlier in the file";
    }
    if (!why.empty()) {
      host::Trace("Kavrel ports file %s line %u skipped: %s\n", path.c_str(), lineNumber,
                  why.c_str());
      continue;
    }
    entry.name = fields[0];
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
