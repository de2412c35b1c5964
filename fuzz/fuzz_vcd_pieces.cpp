// libFuzzer target: a VCD file loaded in pieces must give the trace of one pass, whatever the
// text. A difference aborts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "trace/readers.h"

namespace {

// Names, scopes, ids and widths (vectors assembled from bits included), time stamps and every
// value.
bool same_trace(const tarn::Trace& a, const tarn::Trace& b) {
    if (a.signal_names() != b.signal_names() || a.scopes() != b.scopes() ||
        a.max_index() != b.max_index())
        return false;
    for (uint64_t i = 0; i <= a.max_index(); ++i)
        if (a.timestamp(i) != b.timestamp(i)) return false;
    for (const auto& name : a.signal_names()) {
        if (a.signal_id(name) != b.signal_id(name) || a.signal_width(name) != b.signal_width(name))
            return false;
        for (uint64_t i = 0; i <= a.max_index() + 1; ++i)
            if (!a.signal_value(name, i).identical(b.signal_value(name, i))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The pieces read a file at any offset: an anonymous in-memory file serves.
    int fd = ::memfd_create("vcd", MFD_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    tarn::VcdReadOptions one, pieces;
    one.pieces = 1;
    pieces.pieces = 3;
    pieces.min_split_bytes = 0;
    auto a = tarn::read_vcd_file(path, one);
    auto b = tarn::read_vcd_file(path, pieces);
    ::close(fd);
    if (bool(a) != bool(b)) std::abort();
    if (a && !same_trace(a.value(), b.value())) std::abort();
    return 0;
}
