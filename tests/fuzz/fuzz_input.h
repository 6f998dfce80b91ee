// Reading a fuzzer's bytes as typed arguments, and failing loudly.
//
// Whatever the input's length, every read succeeds: past the end, numbers
// read as zero and texts as empty, so every input is a complete call.
#ifndef KAVREL_TESTS_FUZZ_INPUT_H
#define KAVREL_TESTS_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kavrel_fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // The next sizeof(T) bytes as a T (zero-filled past the end).
  template <typename T>
  T Number() {
    T value{};
    Bytes(&value, sizeof value);
    return value;
  }

  // Fills size bytes of out (zero-filled past the end): any bit pattern,
  // bitfields and padding included.
  void Bytes(void* out, std::size_t size) {
    std::memset(out, 0, size);
    const std::size_t taken = size < size_ - offset_ ? size : size_ - offset_;
    if (taken > 0) std::memcpy(out, data_ + offset_, taken);
    offset_ += taken;
  }

  // A text of any bytes: a two-byte length, then that many bytes (or what
  // is left).
  std::string Text() {
    const auto length = Number<std::uint16_t>();
    const std::size_t taken = length < size_ - offset_ ? length : size_ - offset_;
    std::string text(reinterpret_cast<const char*>(data_ + offset_), taken);
    offset_ += taken;
    return text;
  }

  // Everything not read yet.
  std::string Rest() {
    std::string text(reinterpret_cast<const char*>(data_ + offset_), size_ - offset_);
    offset_ = size_;
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

}  // namespace kavrel_fuzz

// A broken promise: says which and where, then aborts, which libFuzzer and
// the corpus replay both report as a failure with this input.
#define KAVREL_FUZZ_CHECK(condition)                                                     \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

#endif  // KAVREL_TESTS_FUZZ_INPUT_H
