#include "port_writer.h"

#include <cerrno>
#include <string>

namespace kavrel_term {

void PortWriter::Run() {
  std::string block;
  while (queue_.Pop(block)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
    if (port_.WriteSerial(bytes, block.size()) != 1) {
      events_.Report(EventKind::kWriteFailed, 0, LibraryReason());
      return;
    }
    written_ += block.size();
    if (!log_.Sent(bytes, block.size())) {
      events_.Report(EventKind::kLogFailed, errno);
      return;
    }
  }
  events_.Report(EventKind::kWriterDrained);
}

}  // namespace kavrel_term
