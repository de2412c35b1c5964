// Core value types of the FST container reader: errors, results, header, signal geometry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace fst {

// Every failure of the reader is one of these; the display texts are part of the interface.
enum class ErrorKind : uint8_t {
    CStringTooLong,
    EnumTableString,
    Leb128,
    ParseInt,
    Lz4Decompress,
    ZLibDecompress,
    GZipHeader,
    GZipBody,
    Utf8,
    Utf8String,
    Io,
    NotFinishedCompressing,
    BlockType,
    FileType,
    FstVhdlVarType,
    FstVhdlDataType,
    FstVarType,
    FstScopeType,
    FstVarDirection,
    AttributeType,
    MiscType,
    MissingGeometry,
    MissingHierarchy,
    // Conditions the format does not allow and the variants above do not cover.
    MissingHeader,
    FastLzDecompress,
    InvalidData,
};

struct ReaderError {
    ErrorKind kind = ErrorKind::Io;
    uint64_t number = 0;  // size limit, bit width or code byte, by kind
    std::string text;     // string read so far, attribute text, message or status name
    std::string detail;   // enum-table attribute text; underlying I/O error

    std::string display() const;

    static ReaderError io(std::string underlying = "failed to fill whole buffer") {
        return {ErrorKind::Io, 0, {}, std::move(underlying)};
    }
    static ReaderError code(ErrorKind k, uint64_t byte) { return {k, byte, {}, {}}; }
    static ReaderError plain(ErrorKind k) { return {k, 0, {}, {}}; }
    static ReaderError invalid(std::string message) {
        return {ErrorKind::InvalidData, 0, std::move(message), {}};
    }
};

// Value-or-error; the engine never throws its own errors.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ReaderError error) : v_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const { return v_.index() == 0; }
    bool ok() const { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const ReaderError& error() const& { return std::get<1>(v_); }
    ReaderError&& error() && { return std::get<1>(std::move(v_)); }

  private:
    std::variant<T, ReaderError> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() {
    return Unit{};
}

#define FST_CONCAT_INNER(a, b) a##b
#define FST_CONCAT(a, b) FST_CONCAT_INNER(a, b)
// FST_ASSIGN(auto x, expr): evaluates expr and returns its error, else binds its value.
#define FST_ASSIGN_IMPL(tmp, decl, expr)     \
    auto tmp = (expr);                       \
    if (!tmp) return std::move(tmp).error(); \
    decl = std::move(tmp).value()
#define FST_ASSIGN(decl, expr) FST_ASSIGN_IMPL(FST_CONCAT(fst_tmp_, __LINE__), decl, expr)
#define FST_CHECK(expr)                                          \
    do {                                                         \
        auto fst_status_ = (expr);                               \
        if (!fst_status_) return std::move(fst_status_).error(); \
    } while (0)

enum class FileType : uint8_t { Verilog = 0, Vhdl = 1, VerilogVhdl = 2 };

struct Header {
    uint64_t start_time = 0;
    uint64_t end_time = 0;
    uint64_t writer_memory_use = 0;
    uint64_t scope_count = 0;
    uint64_t hierarchy_var_count = 0;
    uint64_t var_count = 0;
    uint64_t vc_section_count = 0;
    int8_t timescale_exponent = 0;
    std::string writer;
    std::string date;
    uint8_t file_type = 0;
    int64_t time_zero = 0;
};

// Geometry word: 0 = real, otherwise bit length + 1.
class SignalInfo {
  public:
    constexpr SignalInfo() = default;
    constexpr explicit SignalInfo(uint32_t word) : word_(word) {}
    static constexpr SignalInfo from_file_format(uint32_t raw) {
        if (raw == 0) return SignalInfo(0);
        if (raw == 0xFFFFFFFFu) return SignalInfo(1);
        return SignalInfo(raw + 1);
    }
    constexpr uint32_t word() const { return word_; }
    constexpr bool is_real() const { return word_ == 0; }
    // Bit length; 0 for reals and variable-length strings alike.
    constexpr uint32_t len() const { return word_ == 0 ? 0 : word_ - 1; }
    // Bytes the signal occupies in a frame.
    constexpr uint32_t frame_bytes() const { return word_ == 0 ? 8 : word_ - 1; }

  private:
    uint32_t word_ = 0;
};

class FstSignalHandle {
  public:
    static std::optional<FstSignalHandle> make(uint32_t v) {
        if (v == 0) return std::nullopt;
        return FstSignalHandle(v);
    }
    static FstSignalHandle from_index(uint32_t i) { return FstSignalHandle(i + 1); }
    uint32_t value() const { return v_; }
    uint32_t index() const { return v_ - 1; }
    bool operator==(const FstSignalHandle&) const = default;

  private:
    explicit FstSignalHandle(uint32_t v) : v_(v) {}
    uint32_t v_;
};

class BitMask {
  public:
    static BitMask repeat(bool value, size_t bits) {
        BitMask m;
        m.words_.assign((bits + 63) / 64, value ? ~uint64_t{0} : 0);
        return m;
    }
    void set(size_t i, bool value) {
        if (i / 64 >= words_.size()) return;
        if (value)
            words_[i / 64] |= uint64_t{1} << (i % 64);
        else
            words_[i / 64] &= ~(uint64_t{1} << (i % 64));
    }
    bool is_set(size_t i) const {
        return i / 64 < words_.size() && ((words_[i / 64] >> (i % 64)) & 1) != 0;
    }
    size_t word_count() const { return words_.size(); }

  private:
    std::vector<uint64_t> words_;
};

struct BlackoutChange {
    uint64_t time = 0;
    bool active = false;
};

enum class HierarchyCompression : uint8_t { GZip, Lz4, Lz4Duo };

struct VcSection {
    uint64_t position = 0;  // offset of the byte after the type byte
    uint64_t start_time = 0;
    uint64_t end_time = 0;
    uint64_t traversal_memory = 0;
    uint8_t kind = 0;  // block code 1, 5 or 8
    // Index in the collected time table of this section's first time-table entry; later entries
    // follow it, one index per change of time.
    uint64_t time_index_base = 0;
};

}  // namespace fst
