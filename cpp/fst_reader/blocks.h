// Parsers of the FST blocks read while opening a file: header, geometry, blackout, and the time
// table at the end of a value-change section.
#pragma once

#include <cstdint>
#include <vector>

#include "input.h"
#include "types.h"

namespace fst {

struct HeaderBlock {
    Header header;
    bool float_little_endian = true;
};

// Each parser starts right after the block's type byte.
Result<HeaderBlock> read_header(Cursor& in);
Result<std::vector<SignalInfo>> read_geometry(Cursor& in);
Result<std::vector<BlackoutChange>> read_blackout(Cursor& in);

struct TimeTable {
    std::vector<uint64_t> times;
    uint64_t trailing_length = 0;  // compressed length + 24
};
Result<TimeTable> read_time_table(Cursor& in, uint64_t section_start, uint64_t section_length);

}  // namespace fst
