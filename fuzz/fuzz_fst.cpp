// libFuzzer target: PyTrace.from_fst's loader over arbitrary bytes, and the container reader's
// own time-ordered change traversal over the same bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fst_reader/reader.h"
#include "trace/fst.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly sized heap copies, so that AddressSanitizer catches any read past the end.
    auto trace = tarn::read_fst_bytes(std::vector<uint8_t>(data, data + size));
    if (trace) {
        const auto& t = trace.value();
        for (const auto& name : t.signal_names()) (void)t.signal_value(name, t.max_index());
    }
    auto reader = fst::FstReader::open_bytes(std::vector<uint8_t>(data, data + size), false);
    if (reader) {
        size_t n = 0;
        (void)reader.value().read_hierarchy([&](fst::FstHierarchyEntry&&) { ++n; });
        (void)reader.value().read_signals(
            {}, [&](uint64_t, fst::FstSignalHandle, const fst::ChangeValue& v) {
                n += v.bytes.size();
            });
    }
    return 0;
}
