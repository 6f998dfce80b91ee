// The emulated driver's input queue: a fixed-capacity ring of bytes that the
// device is read into and that reads are served from, oldest byte first.
#ifndef KAVREL_PLATFORM_LINUX_BYTE_RING_H
#define KAVREL_PLATFORM_LINUX_BYTE_RING_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace kavrel {
namespace platform {
namespace driver {

class ByteRing {
 public:
  explicit ByteRing(std::size_t capacity) : bytes_(capacity) {}

  std::size_t capacity() const { return bytes_.size(); }
  std::size_t size() const { return size_; }
  std::size_t room() const { return bytes_.size() - size_; }

  // The free space that follows the newest byte without wrapping, for a
  // read() straight into the ring; Commit then counts what arrived there.
  unsigned char* FreeSpan(std::size_t* length) {
    const std::size_t tail = (head_ + size_) % std::max<std::size_t>(bytes_.size(), 1);
    *length = std::min(room(), bytes_.size() - tail);
    return bytes_.data() + tail;
  }
  void Commit(std::size_t count) { size_ += count; }

  // Moves up to count of the oldest bytes to out; returns how many moved.
  std::size_t Take(unsigned char* out, std::size_t count) {
    const std::size_t total = std::min(count, size_);
    std::size_t moved = 0;
    while (moved < total) {
      const std::size_t run = std::min(total - moved, bytes_.size() - head_);
      std::memcpy(out + moved, bytes_.data() + head_, run);
      moved += run;
      head_ = (head_ + run) % bytes_.size();
      size_ -= run;
    }
    return moved;
  }

  void Clear() {
    head_ = 0;
    size_ = 0;
  }

  // A new capacity of at least size(); the queued bytes keep their order.
  void Resize(std::size_t capacity) {
    std::vector<unsigned char> resized(std::max(capacity, size_));
    const std::size_t queued = size_;
    Take(resized.data(), queued);
    bytes_.swap(resized);
    head_ = 0;
    size_ = queued;
  }

 private:
  std::vector<unsigned char> bytes_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_BYTE_RING_H
