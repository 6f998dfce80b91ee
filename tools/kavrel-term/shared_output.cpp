#include "shared_output.h"

#include <algorithm>

namespace kavrel_term {

namespace {
constexpr std::size_t kPiece = 4096;
}

IoResult SharedOutput::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t done = 0; done < size;) {
    const std::size_t piece = std::min(kPiece, size - done);
    std::lock_guard<std::mutex> lock(mutex_);
    const IoResult result = WriteAll(fd_, bytes + done, piece, interrupt_);
    if (result != IoResult::kDone) return result;
    done += piece;
  }
  return IoResult::kDone;
}

}  // namespace kavrel_term
