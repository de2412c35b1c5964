// Value-change position tables: where each signal's change records lie in a section's data
// area, and the time delta of a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "types.h"

namespace fst {

struct LocEntry {
    enum Kind : uint8_t { Empty, Alias, Data };
    Kind kind = Empty;
    uint32_t alias = 0;  // target signal index for Alias
    uint32_t offset = 0;
    uint32_t length = 0;
};

// Position tables of block codes 1 and 5, and of code 8. n is the section's signal count, data_len
// the length D of the value-change data area counted from the pack-type byte.
Result<std::vector<LocEntry>> read_value_change_alias(std::span<const uint8_t> table, uint64_t n,
                                                      uint64_t data_len);
Result<std::vector<LocEntry>> read_value_change_alias2(std::span<const uint8_t> table, uint64_t n,
                                                       uint64_t data_len);

// Time-index delta of the change record at offset in a signal's decoded bytes.
Result<uint32_t> read_one_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset);
Result<uint32_t> read_multi_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset);

}  // namespace fst
