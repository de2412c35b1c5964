// libFuzzer target: PyTrace.from_fsdb's reader over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "read_back.h"
#include "trace/fsdb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized heap copy, so that AddressSanitizer catches any read past the end.
    std::vector<uint8_t> bytes(data, data + size);
    auto trace = tarn::fsdb::parse(bytes);
    read_back(trace);
    return 0;
}
