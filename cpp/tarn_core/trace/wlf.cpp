#include "trace/wlf.h"

#include <algorithm>

#include "trace/readers.h"

namespace tarn::wlf {

namespace {

constexpr size_t kDataStart = 16;
constexpr size_t kMaxData = kPage - kDataStart;
constexpr size_t kMinNames = 1000;
constexpr size_t kNamePages = 3;

uint16_t be16(scan::Bytes b, size_t i) {
    return uint16_t(b[i] << 8 | b[i + 1]);
}

bool starts_ff(scan::Bytes page) {
    return page[0] == 0xFF && page[1] == 0xFF;
}

bool is_value_page(scan::Bytes page) {
    return starts_ff(page) && page.size() - std::count(page.begin(), page.end(), 0) >= 16;
}

}  // namespace

std::string read_lpstr(scan::Bytes page0, size_t* cursor) {
    const size_t limit = std::min(page0.size(), kPage);
    if (*cursor >= limit) return {};
    size_t len = page0[(*cursor)++];
    if (len == 0 || *cursor + len > limit) return {};
    scan::Bytes s = page0.subspan(*cursor, len);
    if (std::any_of(s.begin(), s.end(), [](uint8_t c) { return c < 0x20 || c > 0x7E; })) return {};
    *cursor += len;
    return std::string(s.begin(), s.end());
}

Result<Trace> parse(scan::Bytes file) {
    if (file.size() < kPage) return Result<Trace>::fail("WLF file too small (< 1 page)");
    const size_t pages = file.size() / kPage;
    auto page = [&](size_t p) { return file.subspan(p * kPage, kPage); };
    scan::Bytes page0 = page(0);
    const size_t area_end = std::min<size_t>(be16(page0, 2), kPage);
    const size_t expected = be16(page0, 24);
    size_t cursor = 40;
    for (int i = 0; i < 3; ++i) read_lpstr(page0, &cursor);

    scan::TraceBuilder b(TraceKind::Wlf);
    const size_t cap = std::max(expected, kMinNames);
    auto add = [&](const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            if (b.num_names() >= cap) break;
            b.register_name(name);
        }
    };
    if (cursor < area_end)
        add(scan::extract_identifiers(page0.subspan(cursor, area_end - cursor), scan::Rule::Short));
    if (b.num_names() < expected) {
        for (size_t p = 1; p <= kNamePages && p < pages; ++p) {
            if (starts_ff(page(p))) continue;
            add(scan::extract_identifiers(page(p), scan::Rule::Short));
        }
    }

    // Value pages: (signal id, byte) pairs, 0xFF steps to the next sample index. The index runs
    // on across pages, so values arrive in index order and can be appended.
    std::vector<uint64_t>& ts = b.timestamps();
    ts = {0};
    const uint64_t n = b.num_names();
    uint64_t c = 0;
    for (size_t p = 1; p < pages; ++p) {
        scan::Bytes pg = page(p);
        if (!is_value_page(pg)) continue;
        size_t count = be16(pg, 2);
        if (count < 2) continue;
        const size_t len = std::min(count, kMaxData);
        scan::Bytes data = pg.subspan(kDataStart, len);
        for (size_t i = 0; i + 1 < len;) {
            uint8_t v = data[i];
            if (v == 0x00) {
                ++i;
            } else if (v == 0xFF) {
                ts.push_back(++c);  // timestamps[k] == k
                ++i;
            } else if (v < n) {
                b.store().append_int(v, c, data[i + 1]);
                i += 2;
            } else {
                ++i;
            }
        }
    }
    b.store().finish(ts.size());
    b.derive_scopes();
    return std::move(b).finish();
}

}  // namespace tarn::wlf

namespace tarn {

Result<Trace> read_wlf(const std::string& path) {
    return scan::parse_file(path, wlf::parse);
}

}  // namespace tarn
