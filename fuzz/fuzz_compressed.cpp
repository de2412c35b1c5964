// libFuzzer target: arbitrary bytes as a compressed file. The first byte picks gzip or zstd, the
// rest is the stream: decompressed whole within a bound (as the binary formats are), and parsed
// as a VCD while it decompresses. Corrupt or truncated streams must fail cleanly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "read_back.h"
#include "trace/input.h"
#include "trace/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const tarn::Compression c = data[0] & 1 ? tarn::Compression::Zstd : tarn::Compression::Gzip;
    // An exactly sized heap copy, so that AddressSanitizer catches any read past the end.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    std::memcpy(copy.get(), data, size);
    std::span<const uint8_t> stream(copy.get() + 1, size - 1);
    auto source = [&] {
        return tarn::decompressing(c, std::make_unique<tarn::MemorySource>(stream));
    };
    auto whole = source();
    (void)tarn::read_all(*whole, uint64_t(16) << 20);
    auto open = [&] { return tarn::Result<std::unique_ptr<tarn::ByteSource>>(source()); };
    read_back(tarn::read_vcd_stream("input", open, {}));
    return 0;
}
