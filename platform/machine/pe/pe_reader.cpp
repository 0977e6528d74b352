// PE files read as data: the resource directory and its message tables, every offset checked
// against the file's bytes, never run.
#include <algorithm>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/msgfile.h"

namespace platform {
namespace {

constexpr std::uint32_t kRtMessageTable = 11;

struct Section {
    std::uint32_t virtualAddress, virtualSize, rawPointer, rawSize;
};

// The file offset of a range of RVAs that lies wholly inside one section's file data.
bool RvaToOffset(const std::vector<Section>& sections, std::string_view file, std::uint32_t rva,
                 std::uint32_t size, std::uint64_t& offset) {
    for (const Section& s : sections) {
        std::uint64_t extent = std::max(s.virtualSize, s.rawSize);
        if (rva < s.virtualAddress || rva - s.virtualAddress >= extent) continue;
        std::uint64_t delta = rva - s.virtualAddress;
        if (delta + size > s.rawSize) return false;
        offset = s.rawPointer + delta;
        return Fits(file, offset, size);
    }
    return false;
}

// The entries of one MESSAGE_RESOURCE_DATA, read as far as it is valid.
std::vector<MessageTableEntry> ParseTable(std::string_view t) {
    std::vector<MessageTableEntry> entries;
    if (!Fits(t, 0, 4)) return entries;
    const std::uint32_t blocks = Le32(t, 0);
    for (std::uint64_t b = 0; b < blocks && Fits(t, 4 + 12 * b, 12); ++b) {
        const std::uint32_t low = Le32(t, 4 + 12 * b);
        const std::uint32_t high = Le32(t, 8 + 12 * b);
        std::uint64_t pos = Le32(t, 12 + 12 * b);
        for (std::uint64_t id = low; id <= high; ++id) {
            if (!Fits(t, pos, 4)) break;
            const std::uint16_t length = Le16(t, pos);
            const std::uint16_t flags = Le16(t, pos + 2);
            if (length < 4 || !Fits(t, pos, length)) break;  // a zero length would never end
            std::string_view body = t.substr(pos + 4, length - 4);
            std::string text;
            if (flags == 1) {
                std::u16string units = Utf16FromBytes(body);
                units.resize(std::min(units.size(), units.find(u'\0')));
                text = Utf16ToSjis(units);
            } else {
                text.assign(body.substr(0, body.find('\0')));
            }
            entries.push_back({static_cast<DWORD>(id), std::move(text)});
            pos += length;
        }
    }
    return entries;
}

std::string ResourceName(std::string_view dir, std::uint32_t nameField) {
    if (!(nameField & 0x80000000u)) return "#" + std::to_string(nameField);
    std::uint32_t at = nameField & 0x7FFFFFFFu;
    if (!Fits(dir, at, 2)) return std::string();
    std::uint16_t length = Le16(dir, at);
    if (!Fits(dir, at + 2, 2ull * length)) return std::string();
    return Utf16ToSjis(Utf16FromBytes(dir.substr(at + 2, 2ull * length)));
}

struct DirectoryEntry {
    std::uint32_t name;
    std::uint32_t target;  // offset in the resource section; top bit: a subdirectory
};

std::vector<DirectoryEntry> ReadDirectory(std::string_view dir, std::uint32_t at) {
    std::vector<DirectoryEntry> entries;
    if (!Fits(dir, at, 16)) return entries;
    std::uint64_t count = static_cast<std::uint64_t>(Le16(dir, at + 12)) + Le16(dir, at + 14);
    for (std::uint64_t i = 0; i < count && Fits(dir, at + 16 + 8 * i, 8); ++i) {
        entries.push_back({Le32(dir, at + 16 + 8 * i), Le32(dir, at + 20 + 8 * i)});
    }
    return entries;
}

}  // namespace

bool ParseMessageFile(std::string_view file, std::vector<MessageResource>& resources) {
    resources.clear();
    if (!Fits(file, 0, 64) || file[0] != 'M' || file[1] != 'Z') return false;
    const std::uint32_t pe = Le32(file, 0x3C);
    if (!Fits(file, pe, 24) || file.substr(pe, 4) != std::string_view("PE\0\0", 4)) return false;
    const std::uint16_t sectionCount = Le16(file, pe + 6);
    const std::uint16_t optionalSize = Le16(file, pe + 20);
    const std::uint64_t optional = pe + 24;
    if (!Fits(file, optional, optionalSize) || optionalSize < 2) return false;
    const std::uint16_t magic = Le16(file, optional);
    std::uint64_t dirCountAt, dirsAt;
    if (magic == 0x10b) {
        dirCountAt = 92, dirsAt = 96;
    } else if (magic == 0x20b) {
        dirCountAt = 108, dirsAt = 112;
    } else {
        return false;
    }
    std::vector<Section> sections;
    const std::uint64_t table = optional + optionalSize;
    for (std::uint64_t i = 0; i < sectionCount && Fits(file, table + 40 * i, 40); ++i) {
        const std::uint64_t s = table + 40 * i;
        sections.push_back(
            {Le32(file, s + 12), Le32(file, s + 8), Le32(file, s + 20), Le32(file, s + 16)});
    }
    // No resource directory: a valid file without messages.
    if (optionalSize < dirsAt + 24 || Le32(file, optional + dirCountAt) < 3) return true;
    const std::uint32_t resourceRva = Le32(file, optional + dirsAt + 16);
    const std::uint32_t resourceSize = Le32(file, optional + dirsAt + 20);
    std::uint64_t resourceOffset = 0;
    if (resourceSize == 0) return true;
    if (!RvaToOffset(sections, file, resourceRva, resourceSize, resourceOffset)) {
        // A directory that claims more than the section holds is read as far as it goes.
        std::uint32_t size = resourceSize;
        while (size > 16 && !RvaToOffset(sections, file, resourceRva, size, resourceOffset))
            size /= 2;
        if (size <= 16) return true;
    }
    std::string_view dir = file.substr(resourceOffset);

    // Type -> name -> language -> data; three levels, so no walk can loop.
    for (const DirectoryEntry& type : ReadDirectory(dir, 0)) {
        if (type.name != kRtMessageTable || !(type.target & 0x80000000u)) continue;
        for (const DirectoryEntry& name : ReadDirectory(dir, type.target & 0x7FFFFFFFu)) {
            if (!(name.target & 0x80000000u)) continue;
            for (const DirectoryEntry& lang : ReadDirectory(dir, name.target & 0x7FFFFFFFu)) {
                if ((lang.target & 0x80000000u) || !Fits(dir, lang.target, 16)) continue;
                const std::uint32_t dataRva = Le32(dir, lang.target);
                const std::uint32_t dataSize = Le32(dir, lang.target + 4);
                std::uint64_t dataOffset = 0;
                if (!RvaToOffset(sections, file, dataRva, dataSize, dataOffset)) continue;
                MessageResource resource;
                resource.name = ResourceName(dir, name.name);
                resource.language = static_cast<std::uint16_t>(lang.name & 0xFFFF);
                resource.entries = ParseTable(file.substr(dataOffset, dataSize));
                resources.push_back(std::move(resource));
            }
        }
    }
    return true;
}

}  // namespace platform
