// The module's version record, as a host tool reads it.
//
// This is the record of the library file. The interface version that
// SerialCtl::GetVersion and GetVer report is separate and does not follow it.
#ifndef KAVREL_VERSION_H
#define KAVREL_VERSION_H

#include "kavrel/types.h"

namespace kavrel {

struct ModuleVersion {
  unsigned fileVersion[4];     // 3.0.7.2
  unsigned productVersion[4];  // 20.11.8.16
  const char* fileVersionText;
  const char* productVersionText;
  const char* fileDescription;  // UTF-8
  const char* comments;         // UTF-8
  const char* internalName;
  const char* originalFilename;
  unsigned language;  // 0x0804
  unsigned codePage;  // 1200
};

KAVREL_API const ModuleVersion& GetModuleVersion();

}  // namespace kavrel

#endif  // KAVREL_VERSION_H
