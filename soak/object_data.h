#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

// The soak's objects are never kept whole: every byte is a function of the object's seed
// and its position, so any range of an object can be made again to send it or to check a
// copy of it byte for byte, and a 64 MiB object costs no more memory than one packet.
namespace quillfern::soak {

struct ObjectId {
  uint64_t seed = 0;
  uint64_t size = 0;
};

// Writes the object's bytes [offset, offset + out.size()) into out.
void FillObject(uint64_t seed, uint64_t offset, std::span<uint8_t> out);

// Whether data equals the object's bytes from offset on.
bool MatchesObject(uint64_t seed, uint64_t offset, std::span<const uint8_t> data);

// Reads the file and compares it with the object, a buffer at a time; an empty result
// means it holds exactly the object, else what differs.
std::string CompareFileWithObject(const std::filesystem::path& file, const ObjectId& object);

}  // namespace quillfern::soak
