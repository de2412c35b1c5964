#include "trace/readers.h"

namespace tarn {

Result<Trace> read_vpd(const std::string& path) {
    return Result<Trace>::fail("Reading VPD files is not supported yet: " + path);
}

}  // namespace tarn
