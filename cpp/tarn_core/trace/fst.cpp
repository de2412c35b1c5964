#include "trace/readers.h"

namespace tarn {

Result<Trace> read_fst(const std::string& path) {
    return Result<Trace>::fail("Reading FST files is not supported yet: " + path);
}

}  // namespace tarn
