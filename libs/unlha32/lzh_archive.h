#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "libs/unlha32/lh5_encoder.h"

// LHA archives with level-2 headers: each member compressed with -lh5- or, when that does not
// make it smaller, stored with -lh0-.
namespace lzh {

// The fields of one member's header.
struct MemberHeader {
    char method[5] = {'-', 'l', 'h', '5', '-'};
    std::uint32_t packedSize = 0;
    std::uint32_t originalSize = 0;
    std::uint32_t modified = 0;  // seconds since 1970 (UTC)
    std::uint16_t crc = 0;       // of the original data
    std::string name;            // stored as given (Shift-JIS), no folder
    std::uint16_t attributes = 0x20;
};

// The level-2 header's bytes, its own CRC included.
std::string LevelTwoHeader(const MemberHeader& header);

struct MemberSource {
    std::string name;  // the name to store
    std::string path;  // the file to read, a path of this system
};

// Why writing failed, for the caller's message.
enum class ArchiveError {
    None,
    CannotRead,   // a member could not be opened or read
    TooLarge,     // a member of 4 GB or more
    CannotWrite,  // the archive could not be written
};

struct ArchiveResult {
    ArchiveError error = ArchiveError::None;
    std::string path;  // the member or archive the error is about
    int systemError = 0;
};

// Writes a new archive of the members at path (a file of this system), through a temporary file
// beside it that only becomes the archive when it is complete.
ArchiveResult WriteArchive(const std::string& path, const std::vector<MemberSource>& members,
                           const Lh5Options& options = {});

}  // namespace lzh
