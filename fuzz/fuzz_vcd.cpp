// libFuzzer target: the VCD reader over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "trace/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that AddressSanitizer catches any read past the end.
    std::unique_ptr<char[]> copy(new char[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    std::string_view text(copy.get(), size);
    auto parsed = tarn::parse_vcd(text);
    if (!parsed) return 0;
    const tarn::Trace& whole = parsed.value();
    for (const auto& name : whole.signal_names()) (void)whole.signal_value(name, whole.max_index());
    return 0;
}
