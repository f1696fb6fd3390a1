// The compression of the ROM loader's compressed flash writes: one zlib stream (RFC 1950: header,
// deflate data, Adler-32) of a whole region, at the highest compression level.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace flintmoor {

// The zlib stream of `data` at level 9. Raises Exception("Error Compress") when zlib fails
// (only for lack of memory).
std::vector<uint8_t> zlibCompress(std::span<const uint8_t> data);

}  // namespace flintmoor
