// libFuzzer target: PyTrace.from_vpd's reader over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "trace/vpd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that AddressSanitizer catches any read past the end.
    std::vector<uint8_t> bytes(data, data + size);
    auto trace = tarn::vpd::parse(bytes);
    if (trace) {
        const auto& t = trace.value();
        for (const auto& name : t.signal_names()) (void)t.signal_id(name);
    }
    return 0;
}
