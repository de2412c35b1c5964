// libFuzzer target: PyTrace.from_wlf's reader over arbitrary bytes. Inputs shorter than a page
// are padded with zeros to one page, so that small inputs reach the name and value rules.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "read_back.h"
#include "trace/wlf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that AddressSanitizer catches any read past the end.
    std::vector<uint8_t> bytes(size > 0 && size < tarn::wlf::kPage ? tarn::wlf::kPage : size);
    std::copy(data, data + size, bytes.begin());
    auto trace = tarn::wlf::parse(bytes);
    read_back(trace);
    return 0;
}
