#include "trace/readers.h"

namespace tarn {

Result<Trace> read_wlf(const std::string& path) {
    return Result<Trace>::fail("Reading WLF files is not supported yet: " + path);
}

}  // namespace tarn
