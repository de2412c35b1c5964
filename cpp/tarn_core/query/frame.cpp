#include "query/frame.h"

#include <algorithm>

#include "query/changes.h"
#include "util/pool.h"

namespace tarn::query {

std::vector<uint64_t> frame_rows(const std::vector<const Column*>& columns, uint64_t start,
                                 uint64_t end) {
    if (start >= end) return {};
    // Each column's changes in (start, end), walked on the pool.
    std::vector<std::vector<uint64_t>> changes(columns.size());
    parallel_for(columns.size(), [&](size_t k) {
        walk_changes(
            columns[k], end, [](uint64_t, uint64_t, size_t) {},
            [&](uint64_t i, size_t, size_t) {
                if (i > start) changes[k].push_back(i);
            });
    });
    size_t total = 0;
    for (const auto& c : changes) total += c.size();
    std::vector<uint64_t> rows{start};
    if (total == 0) return rows;
    // Join the sorted lists: a bitmap of the range when it is not much larger than the changes,
    // else one sort.
    uint64_t span = end - start;
    if (span / 64 <= total) {
        std::vector<uint64_t> bits((span + 63) / 64, 0);
        for (auto& c : changes) {
            for (uint64_t i : c) bits[(i - start) / 64] |= uint64_t(1) << ((i - start) % 64);
            std::vector<uint64_t>().swap(c);  // given back as it goes
        }
        rows.reserve(std::min<uint64_t>(total, span) + 1);
        for (size_t w = 0; w < bits.size(); ++w)
            for (uint64_t word = bits[w]; word; word &= word - 1)
                rows.push_back(start + w * 64 + uint64_t(__builtin_ctzll(word)));
        return rows;
    }
    rows.reserve(total + 1);
    for (const auto& c : changes) rows.insert(rows.end(), c.begin(), c.end());
    std::sort(rows.begin() + 1, rows.end());
    rows.erase(std::unique(rows.begin() + 1, rows.end()), rows.end());
    return rows;
}

}  // namespace tarn::query
