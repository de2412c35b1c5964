#include "trace/readers.h"

namespace tarn {

Result<Trace> read_shm(const std::string& path) {
    return Result<Trace>::fail("Reading SHM files is not supported yet: " + path);
}

}  // namespace tarn
