#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <vector>

#include "eventlog/event_record.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/evtx_format.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "support/machine_folder.h"

using namespace platform;

namespace {

std::string Sample(const char* name) {
    return ReadFileBytes(std::string(QUORVIK_TEST_DATA) + "/evtx/" + name);
}

// The numbers a seek read finds between oldest and newest, and those it says are missing.
void SeekAll(EventLogHandle log, std::vector<DWORD>& found, std::vector<DWORD>& missing) {
    DWORD count = 0, oldest = 0;
    ASSERT_TRUE(GetNumberOfEventLogRecords(log, count));
    ASSERT_TRUE(GetOldestEventLogRecord(log, oldest));
    std::vector<char> buffer(0x10000);
    for (DWORD n = oldest; count > 0 && n < oldest + count; ++n) {
        DWORD read = 0, needed = 0;
        if (ReadEventLog(log, kEventLogSeekRead | kEventLogBackwardsRead, n, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &read, &needed)) {
            EventLogRecordParts parts;
            ASSERT_TRUE(ParseEventLogRecord(std::string_view(buffer.data(), read), parts));
            EXPECT_EQ(parts.fixed.RecordNumber, n);
            found.push_back(n);
        } else {
            EXPECT_EQ(GetLastError(), kErrorNotFound) << n;
            missing.push_back(n);
        }
    }
}

// Every record a sequential read gives, forwards.
std::vector<DWORD> ReadForwards(EventLogHandle log) {
    std::vector<DWORD> numbers;
    std::vector<char> buffer(0x10000);
    for (;;) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLog(log, kEventLogSequentialRead | kEventLogForwardsRead, 0, buffer.data(),
                          static_cast<DWORD>(buffer.size()), &read, &needed)) {
            EXPECT_EQ(GetLastError(), kErrorHandleEof);
            return numbers;
        }
        for (DWORD at = 0; at < read;) {
            EventLogRecordParts parts;
            if (!ParseEventLogRecord(std::string_view(buffer.data() + at, read - at), parts))
                return numbers;
            numbers.push_back(parts.fixed.RecordNumber);
            at += parts.fixed.Length;
        }
    }
}

// A record's binary XML written by hand: elements with their names inline, attributes and text.
class XmlWriter {
public:
    explicit XmlWriter(size_t at) : m_at(at), m_out("\x0f\x01\x01\x00", 4) {}
    XmlWriter& Open(std::u16string_view name,
                    std::initializer_list<std::pair<std::u16string_view, std::u16string_view>>
                        attributes = {}) {
        m_out += attributes.size() == 0 ? '\x01' : '\x41';
        Le32(0);  // the element's size: the reader does not need it
        Name(name);
        if (attributes.size() != 0) {
            Le32(0);
            size_t left = attributes.size();
            for (const auto& [key, value] : attributes) {
                m_out += --left > 0 ? '\x46' : '\x06';
                Name(key);
                Text(value);
            }
        }
        m_out += '\x02';
        return *this;
    }
    XmlWriter& Text(std::u16string_view text) {
        m_out += "\x05\x01";
        Le16(text.size());
        for (char16_t c : text) Le16(c);
        return *this;
    }
    XmlWriter& Leaf(std::u16string_view name, std::u16string_view text) {
        return Open(name).Text(text).Close();
    }
    XmlWriter& Close() {
        m_out += '\x04';
        return *this;
    }
    std::string Done() { return m_out + '\0'; }

private:
    void Le16(size_t v) {
        m_out += static_cast<char>(v & 0xFF);
        m_out += static_cast<char>((v >> 8) & 0xFF);
    }
    void Le32(std::uint32_t v) {
        Le16(v & 0xFFFF);
        Le16(v >> 16);
    }
    void Name(std::u16string_view name) {
        Le32(static_cast<std::uint32_t>(m_at + m_out.size() + 4));
        Le32(0);
        Le16(0);
        Le16(name.size());
        for (char16_t c : name) Le16(c);
        Le16(0);
    }
    size_t m_at;
    std::string m_out;
};

// An .evtx file of one chunk holding the records, whose binary XML each writer makes.
std::string EvtxFileOf(const std::vector<std::function<std::string(size_t at)>>& records) {
    std::string chunk(evtx::kChunkHeaderSize, '\0');
    chunk.replace(0, 8, std::string("ElfChnk\0", 8));
    std::uint64_t id = 0;
    for (const auto& make : records) {
        const std::string xml = make(chunk.size() + 24);
        const auto size = static_cast<std::uint32_t>(24 + xml.size() + 4);
        std::string record("**\0\0", 4);
        for (int i = 0; i < 4; ++i) record += static_cast<char>((size >> (8 * i)) & 0xFF);
        ++id;
        for (int i = 0; i < 8; ++i) record += static_cast<char>((id >> (8 * i)) & 0xFF);
        record += std::string("\x00\x80\x3e\xd5\xde\xb1\x9d\x01", 8);  // 1601 + 400 years
        record += xml + record.substr(4, 4);
        chunk += record;
    }
    const auto used = static_cast<std::uint32_t>(chunk.size());
    chunk.resize(evtx::kChunkSize, '\0');
    for (int i = 0; i < 8; ++i) {
        chunk[24 + i] = static_cast<char>(i == 0 ? 1 : 0);
        chunk[32 + i] = static_cast<char>((id >> (8 * i)) & 0xFF);
    }
    for (int i = 0; i < 4; ++i) chunk[48 + i] = static_cast<char>((used >> (8 * i)) & 0xFF);
    std::string header(evtx::kFileHeaderSize, '\0');
    header.replace(0, 8, std::string("ElfFile\0", 8));
    header[24] = static_cast<char>(id + 1);
    header[32] = 0x80;
    header[38] = 3;
    header[41] = 0x10;
    header[42] = 1;
    const std::uint32_t crc = evtx::Crc32(std::string_view(header).substr(0, 120));
    for (int i = 0; i < 4; ++i) header[124 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    return header + chunk;
}

}  // namespace

TEST(Evtx, AForwardedRecordReadsAsItsSenderRenderedItAndOneWithoutDataSaysSo) {
    MachineFolder machine;
    const std::string path = machine.Root() + "forwarded.evtx";
    WriteFileBytes(path, EvtxFileOf({
                             [](size_t at) {
                                 return XmlWriter(at)
                                     .Open(u"Event")
                                     .Open(u"System")
                                     .Open(u"Provider",
                                           {{u"Name", u"Microsoft-Windows-Security-Auditing"}})
                                     .Close()
                                     .Leaf(u"EventID", u"4624")
                                     .Leaf(u"Task", u"12544")
                                     .Leaf(u"EventRecordID", u"1")
                                     .Leaf(u"Computer", u"DC01.corp.local")
                                     .Close()
                                     .Open(u"EventData")
                                     .Open(u"Data", {{u"Name", u"TargetUserName"}})
                                     .Text(u"bob")
                                     .Close()
                                     .Close()
                                     .Open(u"RenderingInfo", {{u"Culture", u"en-US"}})
                                     .Leaf(u"Message", u"An account was successfully logged on.")
                                     .Leaf(u"Level", u"Information")
                                     .Leaf(u"Task", u"Logon")
                                     .Close()
                                     .Close()
                                     .Done();
                             },
                             [](size_t at) {
                                 return XmlWriter(at)
                                     .Open(u"Event")
                                     .Open(u"System")
                                     .Open(u"Provider", {{u"Name", u"Microsoft-Windows-Eventlog"}})
                                     .Close()
                                     .Leaf(u"EventID", u"4608")
                                     .Leaf(u"EventRecordID", u"2")
                                     .Close()
                                     .Close()
                                     .Done();
                             },
                         }));
    UniqueEventLog log(OpenBackupEventLog("", path));
    ASSERT_TRUE(log);
    EventRecord logon, started;
    DWORD error = 0;
    ASSERT_TRUE(ReadEventRecord("", log.Get(), 1, logon, error)) << error;
    EXPECT_EQ(logon.EventID, 4624u);
    EXPECT_EQ(logon.Category, "Logon");
    EXPECT_EQ(logon.Description, "An account was successfully logged on.");
    EXPECT_EQ(logon.ComputerName, "DC01.corp.local");
    ASSERT_TRUE(ReadEventRecord("", log.Get(), 2, started, error)) << error;
    EXPECT_EQ(SjisToUtf8(started.Description),
              "メッセージファイルがなく、イベントにデータもありません。");
    EXPECT_EQ(SjisToUtf8(started.Category), "なし");
}

TEST(Evtx, AMachineLogThatIsAnEvtxFileIsReadGrowsAndIsReplaced) {
    MachineFolder machine;
    ASSERT_TRUE(AppendMachineRegistry(
        RegKeyLine(std::string(kEventLogKey) + "\\Forwarded") +
        RegExpandStringLine("File", "%SystemRoot%\\System32\\winevt\\Logs\\Forwarded.evtx")));
    const std::string path = EventLogFilePath("Forwarded");
    std::filesystem::create_directories(PathToNative(ExtractFilePath(path)));

    // A missing file is an empty log, not an error: a copy may not be there yet.
    UniqueEventLog log(OpenEventLog("", "Forwarded"));
    ASSERT_TRUE(log);
    DWORD count = 1;
    ASSERT_TRUE(GetNumberOfEventLogRecords(log.Get(), count));
    EXPECT_EQ(count, 0u);

    // The first chunk of a dirty file, then the whole file: the log grows under the handle.
    const std::string whole = Sample("sample_with_a_bad_chunk_magic.evtx");
    WriteFileBytes(path, whole.substr(0, evtx::kFileHeaderSize + evtx::kChunkSize));
    std::vector<DWORD> found, missing;
    SeekAll(log.Get(), found, missing);
    const size_t firstChunk = found.size();
    ASSERT_GT(firstChunk, 10u);
    EXPECT_TRUE(missing.empty());
    WriteFileBytes(path, whole);
    found.clear();
    SeekAll(log.Get(), found, missing);
    EXPECT_GT(found.size(), firstChunk);
    // The damaged chunk leaves numbers out; sequential reads pass over them.
    EXPECT_FALSE(missing.empty());
    UniqueEventLog fresh(OpenEventLog("", "Forwarded"));
    EXPECT_EQ(ReadForwards(fresh.Get()), found);
    EXPECT_FALSE(EventLogFileWarnings(log.Get()).empty());

    // Nothing writes into it: the format is Windows'.
    EventToWrite event;
    event.strings = {"x"};
    ASSERT_TRUE(AppendMachineRegistry(RegKeyLine(std::string(kEventLogKey) + "\\Forwarded\\Tool")));
    EXPECT_FALSE(ReportEvent("Tool", event));
    EXPECT_EQ(GetLastError(), kErrorNotSupported);
    EXPECT_EQ(ReadFileBytes(path), whole);

    // Replaced by an unrelated file: the numbers are that file's, from the next look on.
    WriteFileBytes(path, Sample("Security_short_selected.evtx"));
    DWORD oldest = 0;
    ASSERT_TRUE(GetOldestEventLogRecord(log.Get(), oldest));
    EXPECT_EQ(oldest, 319457771u);  // EventRecordID, not the renumbered header
    std::vector<char> buffer(0x10000);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLog(log.Get(), kEventLogSeekRead | kEventLogForwardsRead, oldest,
                             buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed));
    EventLogRecordParts parts;
    ASSERT_TRUE(ParseEventLogRecord(std::string_view(buffer.data(), read), parts));
    EXPECT_EQ(parts.source, "Microsoft-Windows-Security-Auditing");
    EXPECT_EQ(parts.fixed.EventID, 5152u);
    EXPECT_EQ(parts.fixed.EventType, kEventAuditFailure);
    ASSERT_EQ(parts.strings.size(), 11u);
    EXPECT_EQ(parts.strings[3], "23.94.153.202");
    std::vector<std::string> names;
    ASSERT_TRUE(GetEventDataNames(log.Get(), oldest, names));
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names[3], "SourceAddress");
}

TEST(Evtx, ValuesReadAsTheUsualReadersShowThem) {
    const std::string guid("\x78\x56\x34\x12\x34\x12\x78\x56\x12\x34\x56\x78\x9a\xbc\xde\xf0", 16);
    EXPECT_EQ(Utf16ToUtf8(evtx::ValueText(0x0f, guid)), "{12345678-1234-5678-1234-56789ABCDEF0}");
    EXPECT_EQ(Utf16ToUtf8(evtx::ValueText(0x15, std::string("\xe7\x03\0\0\0\0\0\0", 8))),
              "0x00000000000003e7");
    EXPECT_EQ(Utf16ToUtf8(evtx::ValueText(0x07, std::string("\xff\xff\xff\xff", 4))), "-1");
    // FILETIME 2016-06-29 15:24:34.346 UTC.
    EXPECT_EQ(
        Utf16ToUtf8(evtx::ValueText(0x11, std::string("\xa0\xb0\x24\x57\x1a\xd2\xd1\x01", 8))),
        "2016-06-29T15:24:34.346000000Z");
    // An array of strings, one value per element.
    EXPECT_EQ(Utf16ToUtf8(evtx::ValueText(0x81, std::string("a\0\0\0b\0c\0\0\0", 10))), "a,bc");
    // Damage: too few bytes for the type is no text, never a read past the end.
    EXPECT_EQ(evtx::ValueText(0x0f, "abc"), u"");
    // An ANSI string in the machine's code page.
    EXPECT_EQ(evtx::ValueText(0x02, std::string("\x93\xfa\x96\x7b\0x", 6)), u"日本");
    // The CRC-32 of the format's checksums.
    EXPECT_EQ(evtx::Crc32("123456789"), 0xcbf43926u);
}

TEST(Evtx, EveryByteOfAChunkDamagedInTurnIsSurvived) {
    const std::string file = Sample("Security_short_selected.evtx");
    const std::string chunk = file.substr(evtx::kFileHeaderSize, evtx::kChunkSize);
    evtx::Chunk parsed;
    ASSERT_TRUE(evtx::ParseChunk(chunk, parsed));
    ASSERT_EQ(parsed.events.size(), 7u);
    // Where each record starts, in the whole chunk.
    std::vector<std::uint32_t> starts;
    for (std::uint32_t at = evtx::kChunkHeaderSize; starts.size() < parsed.events.size();
         at += Le32(chunk, at + 4)) {
        starts.push_back(at);
    }
    // The records' region, byte by byte: a damaged record may be lost, and with it what follows
    // when its size is hit, but every record before it reads as it did.
    const std::uint32_t end = Le32(chunk, 48);
    for (std::uint32_t at = evtx::kChunkHeaderSize; at < end; at += 7) {
        std::string damaged = chunk;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
        evtx::Chunk out;
        ASSERT_TRUE(evtx::ParseChunk(damaged, out));
        EXPECT_FALSE(out.warnings.empty()) << at;  // the checksum at least
        const size_t before = static_cast<size_t>(
            std::upper_bound(starts.begin(), starts.end(), at) - starts.begin() - 1);
        ASSERT_GE(out.events.size(), before) << at;
        for (size_t i = 0; i < before; ++i) {
            EXPECT_EQ(out.events[i].recordId, parsed.events[i].recordId) << at;
            EXPECT_EQ(out.events[i].eventId, parsed.events[i].eventId) << at;
            EXPECT_EQ(out.events[i].provider, parsed.events[i].provider) << at;
            EXPECT_EQ(out.events[i].data.size(), parsed.events[i].data.size()) << at;
        }
    }
}

TEST(Evtx, ARecordWhoseTemplatesUnfoldWithoutEndIsPassedByWithAWarning) {
    // Twelve levels of templates, each instantiating the next eight times (8^12 values), then an
    // ordinary record: the first is refused at its limit, at once, and the second still read.
    std::string chunk =
        ReadFileBytes(std::string(QUORVIK_TEST_DATA) + "/evtx_limits/nested_templates.chunk");
    ASSERT_FALSE(chunk.empty());
    chunk.resize(evtx::kChunkSize, '\0');
    evtx::Chunk parsed;
    ASSERT_TRUE(evtx::ParseChunk(chunk, parsed));
    ASSERT_EQ(parsed.events.size(), 1u);
    EXPECT_EQ(parsed.events[0].recordId, 2u);
    EXPECT_NE(std::find(parsed.warnings.begin(), parsed.warnings.end(),
                        "record 1 expands beyond the reader's limits and is not read"),
              parsed.warnings.end());
}
