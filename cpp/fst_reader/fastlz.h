// FastLZ block decoder (levels 1 and 2), as used for per-signal value data in FST files.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "input.h"

namespace fst {

// Decodes compressed_length bytes from the input into exactly uncompressed_length bytes.
Result<std::vector<uint8_t>> decompress(Cursor& in, uint64_t compressed_length,
                                        uint64_t uncompressed_length);

// Copies control + 1 bytes (fewer when the input ends) and counts control + 1 as consumed.
void literal_run(Cursor& in, uint8_t control, uint64_t& consumed, std::vector<uint8_t>& out);

// Buffer-reusing form: decodes all of src into out, which must come to uncompressed_length.
Status fastlz_decode(std::span<const uint8_t> src, uint64_t uncompressed_length,
                     std::vector<uint8_t>& out);

}  // namespace fst
