// The readers' byte input: forward-only sources (a file descriptor, memory), gzip and zstd
// streams decompressed as they are read, and whole inputs read into memory within a bound.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "util/result.h"

namespace tarn {

// A forward-only stream of bytes.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads up to n bytes into buf: the count, 0 at the end (or when the operation is
    // interrupted), -1 on a failure that error() describes.
    virtual ssize_t read(uint8_t* buf, size_t n) = 0;
    virtual const std::string& error() const { return error_; }

  protected:
    std::string error_;
};

// "<description> (os error N)", the text of a failed system call.
std::string os_error(int err);

// Reads a file descriptor (not owned) from its current position, or with pread from `offset`
// to `end` (UINT64_MAX: to the end of the file) when positional.
class FdSource : public ByteSource {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    FdSource(int fd, uint64_t offset, uint64_t end)
        : fd_(fd), positional_(true), next_(offset), end_(end) {}
    ssize_t read(uint8_t* buf, size_t n) override;

  private:
    int fd_;
    bool positional_ = false;
    uint64_t next_ = 0, end_ = UINT64_MAX;
};

// An FdSource that owns its descriptor.
class FileSource : public FdSource {
  public:
    explicit FileSource(int fd) : FdSource(fd), fd_(fd) {}
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

  private:
    int fd_;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    ssize_t read(uint8_t* buf, size_t n) override;

  private:
    std::span<const uint8_t> bytes_;
};

enum class Compression : uint8_t { None, Gzip, Zstd };

// Told by the magic bytes at the start: gzip 1f 8b, zstd 28 b5 2f fd.
Compression compression_of(std::span<const uint8_t> head);
const char* compression_name(Compression c);

// The decompressed bytes of a gzip stream (one member or several in a row, zero padding after
// them allowed) or of zstd frames, read from `raw` as they are asked for. Corrupt data, a
// stream cut short and unreadable input fail the read with a message that says which.
std::unique_ptr<ByteSource> decompressing(Compression c, std::unique_ptr<ByteSource> raw);

// Everything a source holds, at most `limit` bytes: more fails the read with a message that
// names the limit. Stops early, with what it has, when the operation is interrupted.
Result<std::vector<uint8_t>> read_all(ByteSource& source, uint64_t limit);

}  // namespace tarn
