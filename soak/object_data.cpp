#include "soak/object_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/unique_fd.h"

namespace quillfern::soak {
namespace {

constexpr size_t WordSize = sizeof(uint64_t);
constexpr size_t CompareBufferSize = 1 << 20;

// splitmix64: every word stands on its own, so a range can start anywhere.
uint64_t Word(uint64_t seed, uint64_t index) {
  uint64_t z = seed + (index + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint8_t Byte(uint64_t seed, uint64_t position) {
  return static_cast<uint8_t>(Word(seed, position / WordSize) >> (8 * (position % WordSize)));
}

}  // namespace

void FillObject(uint64_t seed, uint64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  // Byte by byte up to a word boundary, then whole words (little-endian), then the tail.
  while (done < out.size() && (offset + done) % WordSize != 0) {
    out[done] = Byte(seed, offset + done);
    ++done;
  }
  while (out.size() - done >= WordSize) {
    const uint64_t word = Word(seed, (offset + done) / WordSize);
    for (size_t i = 0; i < WordSize; ++i) out[done + i] = static_cast<uint8_t>(word >> (8 * i));
    done += WordSize;
  }
  while (done < out.size()) {
    out[done] = Byte(seed, offset + done);
    ++done;
  }
}

bool MatchesObject(uint64_t seed, uint64_t offset, std::span<const uint8_t> data) {
  uint8_t expected[4096];
  for (size_t done = 0; done < data.size();) {
    const size_t chunk = std::min(sizeof expected, data.size() - done);
    FillObject(seed, offset + done, std::span(expected, chunk));
    if (std::memcmp(expected, data.data() + done, chunk) != 0) return false;
    done += chunk;
  }
  return true;
}

std::string CompareFileWithObject(const std::filesystem::path& file, const ObjectId& object) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return "cannot be opened (" + std::string(std::strerror(errno)) + ")";
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return "is not a file";
  if (static_cast<uint64_t>(status.st_size) != object.size) {
    return "holds " + std::to_string(status.st_size) + " bytes, not " + std::to_string(object.size);
  }
  std::vector<uint8_t> buffer(CompareBufferSize);
  uint64_t offset = 0;
  while (offset < object.size) {
    const ssize_t got = ::read(fd.Get(), buffer.data(), buffer.size());
    if (got <= 0) return "could not be read to its end";
    if (!MatchesObject(object.seed, offset, std::span(buffer.data(), static_cast<size_t>(got)))) {
      return "differs within bytes " + std::to_string(offset) + " to " +
             std::to_string(offset + static_cast<uint64_t>(got));
    }
    offset += static_cast<uint64_t>(got);
  }
  return {};
}

}  // namespace quillfern::soak
