// libFuzzer target: the VCD reader over arbitrary text, as text and gzip-compressed (read as it
// decompresses); both must give the same trace.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "same_trace.h"
#include "trace/input.h"
#include "trace/readers.h"

namespace {

std::vector<uint8_t> gzip(const uint8_t* data, size_t size) {
    z_stream zs{};
    if (deflateInit2(&zs, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::vector<uint8_t> out(deflateBound(&zs, size) + 64);
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) out.clear();
    return out;
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

    std::vector<uint8_t> packed = gzip(data, size);
    if (packed.empty()) return 0;
    auto open = [&]() {
        std::unique_ptr<tarn::ByteSource> raw = std::make_unique<tarn::MemorySource>(packed);
        return tarn::Result<std::unique_ptr<tarn::ByteSource>>(
            tarn::decompressing(tarn::Compression::Gzip, std::move(raw)));
    };
    auto streamed = tarn::read_vcd_stream("input.vcd.gz", open, {});
    if (!streamed || !same_trace(whole, streamed.value())) std::abort();
    return 0;
}
