// libFuzzer target: the SHM reader over a design file and up to two transition files cut from
// one input: [u16 LE design length][design][u16 LE length][transitions 1][transitions 2].
// Each part gets its own exactly sized heap copy, so AddressSanitizer catches any read past it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "read_back.h"
#include "trace/shm.h"

namespace {

std::unique_ptr<char[]> take(const uint8_t*& data, size_t& size, size_t n, size_t* got) {
    n = n < size ? n : size;
    auto part = std::make_unique<char[]>(n ? n : 1);
    std::copy(data, data + n, part.get());
    data += n, size -= n;
    *got = n;
    return part;
}

size_t length(const uint8_t*& data, size_t& size) {
    if (size < 2) {
        data += size, size = 0;
        return 0;
    }
    size_t n = size_t(data[0]) | size_t(data[1]) << 8;
    data += 2, size -= 2;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t n_dsn, n_t1, n_t2;
    auto dsn = take(data, size, length(data, size), &n_dsn);
    auto t1 = take(data, size, length(data, size), &n_t1);
    auto t2 = take(data, size, size, &n_t2);
    std::vector<std::optional<std::string_view>> trns{std::string_view(t1.get(), n_t1),
                                                      std::string_view(t2.get(), n_t2)};
    auto trace = tarn::shm::build(std::string_view(dsn.get(), n_dsn), trns);
    read_back(trace);
    return 0;
}
