#include "platform/linux/named_ports.h"

#include <stdlib.h>

#include <map>
#include <mutex>
#include <new>
#include <set>

#include "host/error_reason.h"
#include "host/handler_slot.h"
#include "platform/linux/ports_file.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr char kRunTimeSource[] = "run time";

// The names hosts give at run time, for the whole process.
class RunTimeNames {
 public:
  void Set(const std::string& name, const PortTarget& target) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_[name] = target;
  }
  bool Remove(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_.erase(name) != 0;
  }
  bool Find(const std::string& name, PortTarget* target) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = names_.find(name);
    if (found == names_.end()) return false;
    *target = found->second;
    return true;
  }
  std::map<std::string, PortTarget> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, PortTarget> names_;
};

struct RunTimeNamesTag;
// Never destroyed: a port may be opened by a thread still running at exit.
RunTimeNames& Names() { return host::Immortal<RunTimeNames, RunTimeNamesTag>(); }

// The files in the order they are consulted, each with whether its absence
// is worth a trace line (the user pointed at it; the system's is optional).
std::vector<std::pair<std::string, bool>> FilesInOrder(const PortsFiles& files) {
  std::vector<std::pair<std::string, bool>> ordered;
  if (!files.user.empty()) ordered.emplace_back(files.user, true);
  if (!files.system.empty()) ordered.emplace_back(files.system, false);
  return ordered;
}

}  // namespace

PortsFiles DefaultPortsFiles() {
  PortsFiles files;
  const char* user = secure_getenv(kUserPortsVariable);
  if (user != nullptr) files.user = user;
  files.system = kSystemPortsFile;
  return files;
}

bool LookUpPortName(const std::string& name, const PortsFiles& files, PortTarget* target) {
  // Names no ports file could hold (pts/3) are not looked for in them.
  if (!IsValidPortName(name)) return false;
  if (Names().Find(name, target)) return true;
  for (const auto& file : FilesInOrder(files)) {
    std::vector<PortsFileEntry> entries;
    if (ReadPortsFile(file.first, file.second, &entries) != PortsFileStatus::kRead) continue;
    for (const PortsFileEntry& entry : entries) {
      if (entry.name == name) {
        *target = entry.target;
        return true;
      }
    }
  }
  return false;
}

bool LookUpPortName(const std::string& name, PortTarget* target) {
  return LookUpPortName(name, DefaultPortsFiles(), target);
}

std::vector<NamedPort> ListNamedPorts(const PortsFiles& files) {
  std::vector<NamedPort> listed;
  std::set<std::string> seen;
  for (const auto& named : Names().All()) {
    seen.insert(named.first);
    listed.push_back({named.first, named.second.text, kRunTimeSource});
  }
  for (const auto& file : FilesInOrder(files)) {
    std::vector<PortsFileEntry> entries;
    if (ReadPortsFile(file.first, file.second, &entries) != PortsFileStatus::kRead) continue;
    for (const PortsFileEntry& entry : entries) {
      if (seen.insert(entry.name).second) {
        listed.push_back({entry.name, entry.target.text, file.first});
      }
    }
  }
  return listed;
}

}  // namespace driver
}  // namespace platform

bool NamePort(const char* name, const char* target) {
  using platform::driver::ParsePortTarget;
  using platform::driver::PortTarget;
  try {
    if (name == nullptr || target == nullptr) {
      host::RecordFailure(platform::ERROR_INVALID_PARAMETER, "no port name or no target");
      return false;
    }
    if (!platform::driver::IsValidPortName(name)) {
      host::RecordFailure(platform::ERROR_INVALID_NAME,
                          "not a port name: 1 to 9 letters, digits, '_' or '-'");
      return false;
    }
    PortTarget parsed;
    std::string why;
    if (!ParsePortTarget(target, &parsed, &why)) {
      host::RecordFailure(platform::ERROR_INVALID_PARAMETER, "the target is " + why);
      return false;
    }
    platform::driver::Names().Set(name, parsed);
    return true;
  } catch (const std::bad_alloc&) {
    host::RecordFailure(platform::ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

bool RemovePortName(const char* name) {
  try {
    if (name == nullptr || !platform::driver::Names().Remove(name)) {
      host::RecordFailure(platform::ERROR_NOT_FOUND, "no port of that name was named at run time");
      return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    host::RecordFailure(platform::ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

std::vector<NamedPort> ListNamedPorts() {
  try {
    return platform::driver::ListNamedPorts(platform::driver::DefaultPortsFiles());
  } catch (const std::bad_alloc&) {
    host::RecordFailure(platform::ERROR_NOT_ENOUGH_MEMORY);
    return {};
  }
}

}  // namespace kavrel
