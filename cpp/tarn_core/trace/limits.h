// Budgets against hostile files. Users open dumps from anywhere, and a small file can describe
// enormous work: nested scopes whose paths grow quadratically, counts that need not match the
// data, compressed bombs. Each reader bounds what a file may make it build or spend with the
// limits below; real dumps stay far below every one of them. The FST container's own checks
// (codec ratios, signals per byte) are in fst_reader/size_limits.h, since that library knows
// nothing of traces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn::limits {

// A fixed allowance plus a share per byte of input.
struct PerByte {
    uint64_t base;
    uint64_t per_byte;
    constexpr uint64_t for_bytes(uint64_t bytes) const { return base + per_byte * bytes; }
};

// ---- Names -------------------------------------------------------------------------------------

// Scope paths and full names a VCD or FST file may make us build, per byte of input read: n
// nested one-letter scopes make n^2 bytes of paths from 20n bytes; real dumps need under 2.
inline constexpr PerByte kNameBytes{uint64_t{256} << 20, 64};

// Text of the scopes derived from one name list by the heuristic readers: a name with a
// million dots would otherwise ask for terabytes of prefixes.
inline constexpr size_t kScopeBytes = size_t{64} << 20;

// ---- Buses dumped bit by bit (trace/vectors) ---------------------------------------------------

// Values built when assembling them, per byte of input: a wide bus whose bits change at
// different indices makes one wide value per bit change.
inline constexpr PerByte kAssembledBytes{uint64_t{256} << 20, 64};
// Widest assembled bus: a select like [4000000000] beside [0] would make every value billions
// of bits long; wider spans stay separate bits.
inline constexpr uint64_t kAssembledWidth = uint64_t{1} << 16;

// ---- Compressed files ----------------------------------------------------------------------

// What a gzip- or zstd-compressed binary dump (FST, FSDB, VPD, WLF) may decompress to, per byte
// of the compressed file. FST, FSDB and VPD compress their contents themselves and shrink by a
// factor of a few at most; WLF files, whose 8 KiB pages are partly empty, by up to 70 in the
// corpus. A bomb of zeros inflates a thousandfold (gzip) and far more (zstd). A VCD is parsed as
// it inflates and needs no bound beyond what its trace keeps.
inline constexpr PerByte kInflatedBytes{uint64_t{16} << 20, 256};

// ---- zlib streams found by scanning (FSDB) -----------------------------------------------------

// Output space of a first inflation attempt: holds the streams of real files, and the space is
// left uninitialised, so a stream that fails early costs only the pages it touched.
inline constexpr size_t kInflateFirst = size_t{1} << 20;
// Output space of the one retry when the first was too small; a longer stream is cut here.
inline constexpr size_t kInflateRetry = size_t{4} << 20;

// ---- FSDB --------------------------------------------------------------------------------------

// Streams the scan keeps: each may hold kInflateRetry bytes, and real files have fewer.
inline constexpr size_t kFsdbStreams = 20;
// Output of failed inflation attempts in the stream scan: random bytes after a zlib header fail
// within a few bytes, but zlib headers hidden between fully flushed chunks make every attempt
// inflate megabytes before failing, and the scan quadratic.
inline constexpr PerByte kFsdbScanWaste{uint64_t{4} << 20, 64};
// The width table is the one stream the layout does not bound; a longer one is walked over its
// first 16 MiB.
inline constexpr size_t kFsdbWidthTable = size_t{16} << 20;
// Bytes inflated from the sections a table names: it may name one 4 MiB bomb 65,535 times.
inline constexpr PerByte kFsdbSectionBytes{uint64_t{4} << 20, 64};
// Value decoding (events, time stamps, runs touched): markers times events and clock ticks
// would let a small blob ask for billions of events.
inline constexpr PerByte kFsdbValueWork{uint64_t{1} << 20, 8};

// ---- SHM ---------------------------------------------------------------------------------------

// Steps spent expanding the change counts of one transition file (packed changes, toggle fill):
// a block's count is a number from the file that need not match its data.
inline constexpr PerByte kShmSteps{uint64_t{1} << 12, 16};
// The same for all transition files of one load together.
inline constexpr uint64_t kShmStepsPerLoad = uint64_t{1} << 23;

}  // namespace tarn::limits
