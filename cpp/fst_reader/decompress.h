// Decompression of the FST containers' payloads: zlib and raw deflate, LZ4, the gzip wrapper
// around a whole file, and the per-signal packed value data (zlib, LZ4 or FastLZ). A claimed
// decompressed size beyond what the codec can produce from the compressed bytes is an error
// before anything is allocated.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "input.h"
#include "types.h"

namespace fst {

// The 10-byte gzip header before a raw deflate stream: magic, deflate, no flags.
Status read_gzip_header(Cursor& in);

Result<std::vector<uint8_t>> read_zlib_compressed_bytes(Cursor& in, uint64_t uncompressed_length,
                                                        uint64_t compressed_length,
                                                        bool allow_uncompressed);
Result<std::vector<uint8_t>> read_lz4_compressed_bytes(Cursor& in, uint64_t uncompressed_length,
                                                       uint64_t compressed_length);
// Inflates the gzip wrapper's raw deflate stream, producing at most uncompressed_length bytes.
Result<std::vector<uint8_t>> inflate_gzip_wrapper(Cursor& in, uint64_t uncompressed_length);

// Buffer-reusing decoders: out is resized to the decoded length.
Status zlib_decode(std::span<const uint8_t> src, uint64_t uncompressed_length,
                   std::vector<uint8_t>& out, bool raw_deflate);
Status lz4_decode(std::span<const uint8_t> src, uint64_t uncompressed_length,
                  std::vector<uint8_t>& out);

// One signal's packed value data of len bytes. Returns a view either into the input (raw
// storage) or into scratch (decoded).
Result<std::span<const uint8_t>> read_packed_signal_value_bytes(Cursor& in, uint64_t len,
                                                                uint8_t pack_type,
                                                                std::vector<uint8_t>& scratch);

}  // namespace fst
