// The fixed texts of the reader's errors. They are compatibility texts: callers match on them, so
// they stay word for word, also where they read oddly (the "TODO" of an unsupported gzip flag in
// decompress.cpp). See "Compatibility texts" in docs/architecture.md.
#include "types.h"

#include <string>

namespace fst {

std::string ReaderError::display() const {
    switch (kind) {
        case ErrorKind::CStringTooLong:
            return "failed to read a null terminated string because it exceeds the expected size "
                   "of " +
                   std::to_string(number) + " bytes.\n" + text;
        case ErrorKind::EnumTableString:
            return "failed to parse an enum table string: " + text + "\n" + detail;
        case ErrorKind::Leb128:
            return "failed to read leb128 integer, more than the expected " +
                   std::to_string(number) + " bits";
        case ErrorKind::ParseInt:
            return "failed to parse an integer";
        case ErrorKind::Lz4Decompress:
            return "failed to decompress with lz4";
        case ErrorKind::ZLibDecompress:
            return "failed to decompress with zlib";
        case ErrorKind::GZipHeader:
            return "failed to parse a gzip header: " + text;
        case ErrorKind::GZipBody:
            return "failed to decompress gzip stream: " + text;
        case ErrorKind::Utf8:
        case ErrorKind::Utf8String:
            return "failed to decode string";
        case ErrorKind::Io:
            return "I/O operation failed";
        case ErrorKind::NotFinishedCompressing:
            return "The FST file is still being compressed into its final GZIP wrapper.";
        case ErrorKind::BlockType:
            return "Unexpected block type";
        case ErrorKind::FileType:
            return "Unexpected file type";
        case ErrorKind::FstVhdlVarType:
            return "Unexpected vhdl variable type";
        case ErrorKind::FstVhdlDataType:
            return "Unexpected vhdl data type";
        case ErrorKind::FstVarType:
            return "Unexpected variable type";
        case ErrorKind::FstScopeType:
            return "Unexpected scope type";
        case ErrorKind::FstVarDirection:
            return "Unexpected variable direction";
        case ErrorKind::AttributeType:
            return "Unexpected attribute type";
        case ErrorKind::MiscType:
            return "Unexpected misc attribute type";
        case ErrorKind::MissingGeometry:
            return "The FST file is incomplete: geometry block is missing.";
        case ErrorKind::MissingHierarchy:
            return "The FST file is incomplete: hierarchy block is missing.";
        case ErrorKind::MissingHeader:
            return "The FST file is incomplete: header block is missing.";
        case ErrorKind::FastLzDecompress:
            return "failed to decompress with fastlz";
        case ErrorKind::InvalidData:
            return "malformed FST data: " + text;
    }
    return "unknown error";
}

}  // namespace fst
