// Checks of the sizes an FST file claims against what its bytes can hold. The format compresses
// well, so a claimed size alone would let a small file demand gigabytes; a claim beyond these
// bounds is corrupt and fails before anything is allocated. (The trace readers' own budgets are
// in trace/limits.h.)
#pragma once

#include <cstdint>

namespace fst::limits {

// Deflate: a run of 258-byte matches yields at most 1032 output bytes per input byte.
inline constexpr uint64_t kDeflateRatio = 1032;
// LZ4: a match's length bytes add at most 255 output bytes per input byte.
inline constexpr uint64_t kLz4Ratio = 256;
// FastLZ: an instruction expands at most 3 input bytes into 264 output bytes (level 1), and a
// 255-byte length run adds 255 output bytes per input byte (level 2).
inline constexpr uint64_t kFastLzRatio = 256;

// Whether `compressed` bytes of a codec with expansion `ratio` can decode to `claimed` bytes
// (with room for the fixed overhead of tiny streams).
constexpr bool size_possible(uint64_t claimed, uint64_t compressed, uint64_t ratio) {
    return claimed <= compressed * ratio + 64;
}

// Signals a geometry may declare per byte of the file: every signal also costs a named
// hierarchy entry, so far more signals than the file has bytes is corrupt. Without the check 49
// KB could declare 50 million signals.
inline constexpr uint64_t kSignalsPerByte = 16;

}  // namespace fst::limits
