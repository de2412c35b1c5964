// libFuzzer target: a VCD file loaded in pieces must give the trace of one pass, whatever the
// text, and a load in pieces that keeps only some signals the kept signals of that trace. A
// difference aborts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "same_trace.h"
#include "trace/readers.h"

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
    pieces.filter = tarn::NameFilter({"*a*", "*[1]", "?"});
    auto c = tarn::read_vcd_file(path, pieces);
    ::close(fd);
    if (bool(a) != bool(b) || bool(a) != bool(c)) std::abort();
    if (a && !same_trace(a.value(), b.value())) std::abort();
    if (a && !same_kept(a.value(), c.value(), pieces.filter)) std::abort();
    return 0;
}
