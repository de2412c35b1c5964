#include "positions.h"

#include <algorithm>

#include "input.h"

namespace fst {

// Shared checks: offsets and lengths inside the data area, aliases pointing at data entries.
static Status finish_locs(std::vector<LocEntry>& e, uint64_t open, uint64_t running,
                          uint64_t data_len) {
    if (open != UINT64_MAX) {
        if (running >= data_len) return ReaderError::invalid("signal data offset out of range");
        e[open].length = static_cast<uint32_t>(std::min<uint64_t>(data_len - running, UINT32_MAX));
    }
    for (auto& x : e) {
        if (x.kind == LocEntry::Data) {
            if (x.offset == 0 || x.length == 0 || uint64_t{x.offset} + x.length > data_len)
                return ReaderError::invalid("signal data position out of range");
        }
    }
    for (auto& x : e) {
        if (x.kind == LocEntry::Alias && (x.alias >= e.size() || e[x.alias].kind != LocEntry::Data))
            return ReaderError::invalid("signal alias does not name a signal with data");
    }
    return ok_status();
}

static Status start_data(std::vector<LocEntry>& e, uint64_t i, uint64_t d, uint64_t& open,
                         uint64_t& running) {
    if (i >= e.size()) return ReaderError::invalid("position table has too many entries");
    running += d;
    if (running > UINT32_MAX || d > UINT32_MAX)
        return ReaderError::invalid("signal data offset out of range");
    if (open != UINT64_MAX) e[open].length = static_cast<uint32_t>(d);
    e[i].kind = LocEntry::Data;
    e[i].offset = static_cast<uint32_t>(running);
    open = i;
    return ok_status();
}

Result<std::vector<LocEntry>> read_value_change_alias(std::span<const uint8_t> table, uint64_t n,
                                                      uint64_t data_len) {
    // n has been checked against the geometry by the caller.
    std::vector<LocEntry> e(static_cast<size_t>(n));
    Cursor c(table);
    uint64_t i = 0, running = 0, open = UINT64_MAX;
    while (!c.at_end()) {
        FST_ASSIGN(Leb32 x, read_variant_u32(c));
        if (x.value & 1) {
            FST_CHECK(start_data(e, i, x.value >> 1, open, running));
            ++i;
        } else if (x.value != 0) {
            i += x.value >> 1;
        } else {
            FST_ASSIGN(Leb32 a, read_variant_u32(c));
            if (i >= n) return ReaderError::invalid("position table has too many entries");
            if (a.value == 0) return ReaderError::invalid("signal alias does not name a signal");
            e[i].kind = LocEntry::Alias;
            e[i].alias = a.value - 1;
            ++i;
        }
    }
    FST_CHECK(finish_locs(e, open, running, data_len));
    return e;
}

Result<std::vector<LocEntry>> read_value_change_alias2(std::span<const uint8_t> table, uint64_t n,
                                                       uint64_t data_len) {
    // n has been checked against the geometry by the caller.
    std::vector<LocEntry> e(static_cast<size_t>(n));
    Cursor c(table);
    uint64_t i = 0, running = 0, open = UINT64_MAX;
    uint32_t last_alias = 0;
    while (!c.at_end()) {
        if (c.data()[c.pos()] & 1) {
            FST_ASSIGN(int64_t v, read_variant_i64(c));
            int64_t h = v >> 1;
            if (i >= n) return ReaderError::invalid("position table has too many entries");
            if (h > 0) {
                FST_CHECK(start_data(e, i, static_cast<uint64_t>(h), open, running));
            } else if (h < 0) {
                uint64_t target = ~static_cast<uint64_t>(h);
                if (target >= n) return ReaderError::invalid("signal alias does not name a signal");
                e[i].kind = LocEntry::Alias;
                e[i].alias = static_cast<uint32_t>(target);
                last_alias = e[i].alias;
            } else {
                e[i].kind = LocEntry::Alias;
                e[i].alias = last_alias;
            }
            ++i;
        } else {
            FST_ASSIGN(Leb32 x, read_variant_u32(c));
            i += x.value >> 1;
        }
    }
    FST_CHECK(finish_locs(e, open, running, data_len));
    return e;
}

Result<uint32_t> read_one_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset) {
    Cursor c(bytes, std::min(offset, bytes.size()));
    FST_ASSIGN(Leb32 x, read_variant_u32(c));
    return (x.value & 1) ? x.value >> 4 : x.value >> 2;
}

Result<uint32_t> read_multi_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset) {
    Cursor c(bytes, std::min(offset, bytes.size()));
    FST_ASSIGN(Leb32 x, read_variant_u32(c));
    return x.value >> 1;
}

}  // namespace fst
