// Reproducible test traffic: size pseudo-random bytes from a seed.
#ifndef KAVREL_TESTS_RANDOM_BYTES_H
#define KAVREL_TESTS_RANDOM_BYTES_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace kavrel_test {

inline std::vector<unsigned char> RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
  return bytes;
}

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_RANDOM_BYTES_H
