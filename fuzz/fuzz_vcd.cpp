// libFuzzer target: the VCD reader over arbitrary text, and the split-and-join path of large
// loads against a sequential pass over the same text (they must give the same trace).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "trace/readers.h"
#include "trace/vcd.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "pieces differ from a sequential pass: %s\n", what);
        std::abort();
    }
}

// Start offsets of lines beginning with '#', as the parallel loader would split (after `from`).
std::vector<size_t> time_lines(std::string_view s, size_t from) {
    std::vector<size_t> out;
    for (size_t i = from; i + 1 < s.size(); ++i)
        if (s[i] == '\n' && s[i + 1] == '#') out.push_back(i + 1);
    return out;
}

void compare(const tarn::Trace& a, const tarn::Trace& b) {
    check(a.signal_names() == b.signal_names(), "names");
    check(a.scopes() == b.scopes(), "scopes");
    check(a.timestamps() == b.timestamps(), "time stamps");
    std::vector<bool> seen;
    for (const auto& name : a.signal_names()) {
        check(a.signal_width(name) == b.signal_width(name), "width");
        auto id = a.signal_id(name);
        check(id == b.signal_id(name), "id");
        if (!id) continue;
        if (*id >= seen.size()) seen.resize(*id + 1);
        if (seen[*id]) continue;  // aliases share the column
        seen[*id] = true;
        for (uint64_t i = 0; i <= a.max_index() + 1; ++i)
            check(a.signal_value_by_id(*id, i).identical(b.signal_value_by_id(*id, i)), "value");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that AddressSanitizer catches any read past the end.
    std::unique_ptr<char[]> copy(new char[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    std::string_view text(copy.get(), size);
    auto parsed = tarn::parse_vcd(text);
    if (!parsed) return 0;
    const tarn::Trace& whole = parsed.value();
    for (const auto& name : whole.signal_names()) (void)whole.signal_value(name, whole.max_index());

    // Declarations up to the first time stamp, then the rest in pieces split at time lines.
    tarn::vcd::Parser head;
    head.stop_at_time(true);
    size_t used = head.feed(text.data(), text.size(), true);
    if (!head.stopped()) return 0;
    head.stop_at_time(false);
    std::vector<size_t> cuts = time_lines(text, used);
    // At most 8 pieces (as the loader makes a few per core), each holding several stamps.
    std::vector<size_t> bounds{used};
    const size_t every = std::max<size_t>(2, cuts.size() / 8 + 1);
    for (size_t k = 1; k < cuts.size(); k += every) bounds.push_back(cuts[k]);
    bounds.push_back(text.size());
    for (size_t k = 0; k + 1 < bounds.size(); ++k) {
        // As the loader: the first piece follows the declarations and carries nothing in.
        tarn::vcd::Parser piece(head.codes(), !(k == 0 && head.num_stamps() == 0));
        piece.feed(text.data() + bounds[k], bounds[k + 1] - bounds[k], true);
        if (!head.join(piece)) return 0;  // the loader goes on with a sequential pass
    }
    compare(whole, head.finish());
    return 0;
}
