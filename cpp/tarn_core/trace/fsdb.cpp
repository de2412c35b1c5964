#include "trace/readers.h"

namespace tarn {

Result<Trace> read_fsdb(const std::string& path) {
    return Result<Trace>::fail("Reading FSDB files is not supported yet: " + path);
}

}  // namespace tarn
