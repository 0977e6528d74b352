#include "platform/machine/evtx_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>

#include "platform/bytes.h"
#include "platform/machine/accounts.h"
#include "platform/machine/evtx/binxml.h"
#include "platform/machine/evtx/evtx_values.h"

namespace platform::evtx {
namespace {

constexpr char kFileSignature[] = "ElfFile";  // with its NUL: 8 bytes
constexpr char kChunkSignature[] = "ElfChnk";
constexpr std::uint32_t kRecordSignature = 0x00002a2a;

// FILETIME of a time written as text (forwarded events carry "2017-05-01T10:20:30.123Z").
std::uint64_t FileTimeOfText(const std::u16string& text) {
    std::string ascii(text.begin(), text.end());
    int year, month, day, hour, minute;
    double second = 0;
    if (std::sscanf(ascii.c_str(), "%d-%d-%dT%d:%d:%lf", &year, &month, &day, &hour, &minute,
                    &second) != 6) {
        return 0;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    const std::int64_t unix = timegm(&tm);
    if (unix < 0) return 0;
    return static_cast<std::uint64_t>(unix + 11644473600LL) * 10000000ULL +
           static_cast<std::uint64_t>(second * 10000000.0 + 0.5);
}

// The leaves under a UserData element, in order, named by their elements.
// A data element's values: none for an element without any (a value left out), one for
// each element of an array, else its text.
void AddValues(const std::u16string& name, const std::vector<Value>& values,
               std::vector<NamedValue>& out) {
    if (values.empty()) return;
    if (values.size() == 1 && (values.front().type & kArray)) {
        for (std::u16string& text : ArrayTexts(values.front().type, values.front().bytes))
            out.push_back({name, std::move(text)});
        return;
    }
    out.push_back({name, Texts(values)});
}

void Leaves(const Node& node, std::vector<NamedValue>& out) {
    if (node.children.empty()) {
        AddValues(node.name ? *node.name : std::u16string(), node.text, out);
        return;
    }
    for (const Node& child : node.children) Leaves(child, out);
}

void Extract(const Node& e, Event& event) {
    if (const Node* system = e.Child(u"System")) {
        // A classic source's own name is its EventSourceName; the provider's name stands
        // for it when there is none.
        if (const Node* provider = system->Child(u"Provider")) {
            if (const auto* name = provider->Attr(u"EventSourceName"))
                event.provider = Texts(*name);
            if (event.provider.empty()) {
                if (const auto* name = provider->Attr(u"Name")) event.provider = Texts(*name);
            }
        }
        if (const Node* id = system->Child(u"EventID")) {
            event.eventId = static_cast<std::uint16_t>(Number(&id->text));
            event.qualifiers = static_cast<std::uint16_t>(Number(id->Attr(u"Qualifiers")));
        }
        if (const Node* level = system->Child(u"Level"))
            event.level = static_cast<std::uint8_t>(Number(&level->text));
        if (const Node* task = system->Child(u"Task"))
            event.task = static_cast<std::uint16_t>(Number(&task->text));
        if (const Node* keywords = system->Child(u"Keywords"))
            event.keywords = Number(&keywords->text);
        if (const Node* created = system->Child(u"TimeCreated")) {
            if (const auto* time = created->Attr(u"SystemTime"); time && !time->empty()) {
                event.created =
                    time->front().type == kFileTime ? Number(time) : FileTimeOfText(Texts(*time));
            }
        }
        // The number Event Viewer shows; a file of selected events renumbers the records'
        // headers but keeps it.
        if (const Node* number = system->Child(u"EventRecordID"); number && !number->text.empty())
            event.recordId = Number(&number->text);
        if (const Node* computer = system->Child(u"Computer"))
            event.computer = Texts(computer->text);
        if (const Node* security = system->Child(u"Security")) {
            if (const auto* user = security->Attr(u"UserID"); user && !user->empty()) {
                if (user->front().type == kSid) {
                    event.userSid = std::string(user->front().bytes);
                } else {
                    const std::u16string text = Texts(*user);
                    StringToSid(std::string(text.begin(), text.end()), event.userSid);
                }
            }
        }
    }
    if (const Node* rendering = e.Child(u"RenderingInfo")) {
        if (const Node* message = rendering->Child(u"Message"))
            event.renderedMessage = Texts(message->text);
        if (const Node* task = rendering->Child(u"Task")) event.renderedTask = Texts(task->text);
    }
    if (const Node* data = e.Child(u"EventData")) {
        for (const Node& child : data->children) {
            if (child.name && *child.name == u"Binary") {
                const std::u16string hex = Texts(child.text);
                if (!child.text.empty() && child.text.front().type == kBinary)
                    event.binary = std::string(child.text.front().bytes);
                else
                    FromHex(std::string(hex.begin(), hex.end()), event.binary);
                continue;
            }
            const auto* name = child.Attr(u"Name");
            AddValues(name ? Texts(*name) : std::u16string(), child.text, event.data);
        }
        // Data given as the element's own text, without Data elements.
        if (data->children.empty()) AddValues(std::u16string(), data->text, event.data);
    } else if (const Node* user = e.Child(u"UserData")) {
        event.userData = true;
        for (const Node& child : user->children) Leaves(child, event.data);
    }
}

}  // namespace

bool ParseFileHeader(std::string_view bytes, FileHeader& header) {
    if (bytes.size() < 128 || bytes.substr(0, 8) != std::string_view(kFileSignature, 8))
        return false;
    header.firstChunk = Le64(bytes, 8);
    header.lastChunk = Le64(bytes, 16);
    header.nextRecordId = Le64(bytes, 24);
    header.minorVersion = Le16(bytes, 36);
    header.majorVersion = Le16(bytes, 38);
    header.chunkCount = Le16(bytes, 42);
    header.flags = Le32(bytes, 120);
    header.checksumMatches = Crc32(bytes.substr(0, 120)) == Le32(bytes, 124);
    return true;
}

bool ParseChunk(std::string_view bytes, Chunk& chunk) {
    chunk = Chunk();
    if (bytes.size() < kChunkSize || bytes.substr(0, 8) != std::string_view(kChunkSignature, 8))
        return false;
    bytes = bytes.substr(0, kChunkSize);
    chunk.firstRecordId = Le64(bytes, 24);
    chunk.lastRecordId = Le64(bytes, 32);
    const std::uint32_t freeSpace = Le32(bytes, 48);
    const std::uint32_t headerCrc =
        Crc32(bytes.substr(128, kChunkHeaderSize - 128), Crc32(bytes.substr(0, 120)));
    if (headerCrc != Le32(bytes, 124)) chunk.warnings.push_back("chunk header checksum mismatch");
    if (freeSpace >= kChunkHeaderSize && freeSpace <= kChunkSize &&
        Crc32(bytes.substr(kChunkHeaderSize, freeSpace - kChunkHeaderSize)) != Le32(bytes, 52)) {
        chunk.warnings.push_back("records checksum mismatch");
    }
    BinXmlReader reader(bytes);
    // Records follow one another; one that is not whole ends the walk, since nothing tells
    // where the next would start.
    std::uint32_t at = kChunkHeaderSize;
    while (at + 28 <= kChunkSize && Le32(bytes, at) == kRecordSignature) {
        const std::uint32_t size = Le32(bytes, at + 4);
        if (size < 28 || size > kChunkSize - at || Le32(bytes, at + size - 4) != size) {
            chunk.warnings.push_back("record at offset " + std::to_string(at) + " is not whole");
            break;
        }
        Event event;
        event.recordId = Le64(bytes, at + 8);
        event.written = Le64(bytes, at + 16);
        Node root;
        const Node* e = nullptr;
        if (reader.ReadTree(at + 24, at + size - 4, root) && (e = root.Child(u"Event"))) {
            Extract(*e, event);
            chunk.events.push_back(std::move(event));
        } else if (reader.OverLimit()) {
            chunk.warnings.push_back("record " + std::to_string(event.recordId) +
                                     " expands beyond the reader's limits and is not read");
        } else {
            chunk.warnings.push_back("record " + std::to_string(event.recordId) +
                                     " has binary XML that cannot be read");
        }
        at += size;
    }
    return true;
}

}  // namespace platform::evtx
