#include "platform/machine/eventlog.h"
#include "platform/machine/eventlog_writer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/machine/accounts.h"
#include "platform/machine/evt_format.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "support/machine_folder.h"

using namespace platform;

namespace {

struct ReadRecord {
    EventLogRecord fixed{};
    std::string source, computer, sid, data;
    std::vector<std::string> strings;
};

// Takes one ANSI record apart, checking that every part stays inside it.
ReadRecord Parse(const char* base) {
    ReadRecord r;
    DWORD length;
    std::memcpy(&length, base, 4);
    EventLogRecordParts parts;
    EXPECT_TRUE(ParseEventLogRecord(std::string_view(base, length), parts));
    r.fixed = parts.fixed;
    EXPECT_EQ(length % 4, 0u);
    EXPECT_EQ(Le32(std::string_view(base, length), length - 4), length);
    EXPECT_EQ(r.fixed.UserSidOffset % 4, 0u);
    EXPECT_EQ(parts.strings.size(), r.fixed.NumStrings);
    EXPECT_LE(r.fixed.DataOffset + r.fixed.DataLength, length - 4);
    EXPECT_LE(r.fixed.UserSidOffset + r.fixed.UserSidLength, length - 4);
    r.source = parts.source;
    r.computer = parts.computer;
    r.sid = parts.sid;
    r.data = parts.data;
    r.strings.assign(parts.strings.begin(), parts.strings.end());
    return r;
}

bool ReadOne(EventLogHandle log, DWORD number, ReadRecord& out) {
    std::vector<char> buffer(512);
    DWORD read = 0, needed = 0;
    while (!ReadEventLog(log, kEventLogSeekRead | kEventLogBackwardsRead, number, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &read, &needed)) {
        if (GetLastError() != kErrorInsufficientBuffer) return false;
        buffer.resize(needed);
    }
    out = Parse(buffer.data());
    return true;
}

void Write(const std::string& source, DWORD id, const std::vector<std::string>& strings = {}) {
    EventToWrite e;
    e.eventId = id;
    e.strings = strings;
    ASSERT_TRUE(ReportEvent(source, e)) << GetLastError();
}

void RegisterLog(const MachineFolder& machine, const std::string& log, const std::string& source,
                 DWORD maxSize) {
    machine.AddRegFile("50-" + log + ".reg",
                       "Windows Registry Editor Version 5.00\r\n" +
                           RegKeyLine(std::string(kEventLogKey) + "\\" + log) +
                           RegDwordLine("MaxSize", maxSize) +
                           RegKeyLine(std::string(kEventLogKey) + "\\" + log + "\\" + source));
}

struct LogCounts {
    DWORD count = 0, oldest = 0;
};

LogCounts Counts(EventLogHandle log) {
    LogCounts c;
    EXPECT_TRUE(GetNumberOfEventLogRecords(log, c.count));
    EXPECT_TRUE(GetOldestEventLogRecord(log, c.oldest));
    return c;
}

// What evtexport lists: record number -> its strings.
std::map<unsigned long, std::vector<std::string>> EvtExport(const std::string& path) {
    std::string out;
    std::map<unsigned long, std::vector<std::string>> records;
    if (RunCommand("evtexport '" + SjisToUtf8(path) + "' 2>/dev/null", &out) != 0) return records;
    unsigned long current = 0;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        std::string line = out.substr(pos, end - pos);
        pos = end == std::string::npos ? out.size() : end + 1;
        if (line.rfind("Event number", 0) == 0) {
            current = std::stoul(line.substr(line.find(':') + 1));
            records[current];
        } else if (line.rfind("String: ", 0) == 0) {
            size_t colon = line.find(": ", 8);
            records[current].push_back(colon == std::string::npos ? "" : line.substr(colon + 2));
        }
    }
    return records;
}

}  // namespace

TEST(EventLog, WritesAndReadsTheAnsiLayout) {
    MachineFolder machine;
    EventToWrite e;
    e.type = kEventError;
    e.category = 3;
    e.eventId = 0xC0000005;
    e.strings = {sjis(u8"ディスク エラー"), "", "third"};
    ASSERT_TRUE(StringToSid("S-1-5-18", e.sid));
    e.data = std::string("\x00\x01\xfe", 3);
    e.computer = "HOST1";
    e.timeGenerated = 1700000000;
    ASSERT_TRUE(ReportEvent("Disk", e));

    EventLogHandle log = OpenEventLog("", "application");
    ASSERT_NE(log, nullptr);
    LogCounts c = Counts(log);
    EXPECT_EQ(c.count, 1u);
    EXPECT_EQ(c.oldest, 1u);
    ReadRecord r;
    ASSERT_TRUE(ReadOne(log, 1, r));
    EXPECT_EQ(r.fixed.Reserved, evt::kSignature);
    EXPECT_EQ(r.fixed.RecordNumber, 1u);
    EXPECT_EQ(r.fixed.TimeGenerated, 1700000000u);
    EXPECT_EQ(r.fixed.EventID, 0xC0000005u);
    EXPECT_EQ(r.fixed.EventType, kEventError);
    EXPECT_EQ(r.fixed.EventCategory, 3);
    EXPECT_EQ(r.source, "Disk");
    EXPECT_EQ(r.computer, "HOST1");
    EXPECT_EQ(SidToString(r.sid), "S-1-5-18");
    EXPECT_EQ(r.strings, e.strings);
    EXPECT_EQ(r.data, e.data);

    // A buffer too small for the record: 122 and the size it needs.
    char small[40];
    DWORD read = 0, needed = 0;
    EXPECT_FALSE(ReadEventLog(log, kEventLogSeekRead | kEventLogForwardsRead, 1, small,
                              sizeof small, &read, &needed));
    EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
    EXPECT_EQ(needed, r.fixed.Length);
    // A number not in the log: 87.
    std::vector<char> buffer(4096);
    EXPECT_FALSE(ReadEventLog(log, kEventLogSeekRead | kEventLogForwardsRead, 2, buffer.data(),
                              4096, &read, &needed));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_FALSE(ReadEventLog(log, kEventLogSeekRead | kEventLogForwardsRead, 0, buffer.data(),
                              4096, &read, &needed));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    CloseEventLog(log);

    // A name that is no log opens Application, as the service does; other servers are not ours.
    log = OpenEventLog(".", "NoSuchLog");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(Counts(log).count, 1u);
    CloseEventLog(log);
    EXPECT_EQ(OpenEventLog("\\\\OTHER", "System"), nullptr);
    EXPECT_EQ(GetLastError(), kErrorBadNetPath);
}

TEST(EventLog, SequentialReadsFillTheBufferAndEnd) {
    MachineFolder machine;
    for (DWORD id = 1; id <= 5; ++id) Write("App", id, {std::to_string(id)});
    EventLogHandle log = OpenEventLog("", "Application");
    ASSERT_NE(log, nullptr);
    std::vector<char> buffer(100000);
    std::vector<DWORD> seen;
    DWORD read = 0, needed = 0;
    while (ReadEventLog(log, kEventLogSequentialRead | kEventLogBackwardsRead, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size()), &read, &needed)) {
        for (DWORD at = 0; at < read;) {
            ReadRecord r = Parse(buffer.data() + at);
            seen.push_back(r.fixed.RecordNumber);
            at += r.fixed.Length;
        }
    }
    EXPECT_EQ(GetLastError(), kErrorHandleEof);
    EXPECT_EQ(seen, (std::vector<DWORD>{5, 4, 3, 2, 1}));
    CloseEventLog(log);
}

TEST(EventLog, ReadsRealFilesCleanAndDirty) {
    for (const char* name : {"TestLog.evt", "TestLog-dirty.evt"}) {
        EventLogHandle log =
            OpenBackupEventLog("", std::string(QUORVIK_TEST_DATA) + "/evt/" + name);
        ASSERT_NE(log, nullptr) << name;
        LogCounts c = Counts(log);
        EXPECT_EQ(c.count, 5u) << name;
        EXPECT_EQ(c.oldest, 1u) << name;
        const char* texts[] = {"information", "error", "warning", "failure audit", "success audit"};
        const std::uint16_t types[] = {4, 1, 2, 16, 8};
        for (DWORD n = 1; n <= 5; ++n) {
            ReadRecord r;
            ASSERT_TRUE(ReadOne(log, n, r)) << name << " " << n;
            EXPECT_EQ(r.fixed.RecordNumber, n);
            EXPECT_EQ(r.fixed.EventType, types[n - 1]);
            EXPECT_EQ(r.fixed.EventCategory, n == 4 ? 99 : 1);
            EXPECT_EQ(r.source, "TestApp");
            EXPECT_EQ(r.computer, "POPSICKL-79ADD4");
            ASSERT_EQ(r.strings.size(), 1u);
            EXPECT_EQ(r.strings[0], std::string("Test log entry, ") + texts[n - 1]);
            EXPECT_EQ(r.data.empty(), n < 4);
        }
        EXPECT_FALSE(ClearEventLog(log));  // a backup file is read only
        CloseEventLog(log);
    }
}

TEST(EventLog, ADirtyFileWithoutItsEndRecordIsCorruptNotAWalkForEachRead) {
    // The dirty file with its end-of-file record's signature wiped, grown to 8 MB.
    std::string bytes = ReadFileBytes(std::string(QUORVIK_TEST_DATA) + "/evt/TestLog-dirty.evt");
    const size_t eof = bytes.find(std::string(4, '\x11') + std::string(4, '\x22'));
    ASSERT_NE(eof, std::string::npos);
    bytes[eof] = 0;
    bytes.resize(8 << 20, '\0');
    TestFolder folder;
    WriteFileBytes(folder.File("big.evt"), bytes);
    for (int i = 0; i < 2; ++i) {
        EventLogHandle log = OpenBackupEventLog("", folder.File("big.evt"));
        if (log) {
            DWORD count = 0;
            EXPECT_FALSE(GetNumberOfEventLogRecords(log, count));
            CloseEventLog(log);
        }
        EXPECT_EQ(GetLastError(), kErrorEventLogFileCorrupt);
    }
}

TEST(EventLogPeer, EvtexportReadsWhatWeWriteIncludingAWrappedLog) {
    MachineFolder machine;
    RegisterLog(machine, "Ring", "Src", 0x10000);
    ASSERT_TRUE(SetEventLogMaxSize("Ring", 4096));
    std::vector<std::string> written;
    for (DWORD i = 1; i <= 80; ++i) {
        std::string text = sjis(u8"記録 ") + std::to_string(i) + std::string(i % 7, 'x');
        Write("Src", i, {text, "two"});
        written.push_back(text);
    }
    EventLogHandle log = OpenEventLog("", "Ring");
    ASSERT_NE(log, nullptr);
    LogCounts c = Counts(log);
    EXPECT_GT(c.count, 10u);
    EXPECT_EQ(c.oldest + c.count - 1, 80u);  // the newest survive, numbers unbroken
    std::map<unsigned long, std::vector<std::string>> expected;
    for (DWORD n = c.oldest; n <= 80; ++n) {
        ReadRecord r;
        ASSERT_TRUE(ReadOne(log, n, r)) << n;
        EXPECT_EQ(r.fixed.EventID, n);
        EXPECT_EQ(r.strings[0], written[n - 1]);
        expected[n] = {SjisToUtf8(written[n - 1]), "two"};
    }
    ReadRecord gone;
    EXPECT_FALSE(ReadOne(log, c.oldest - 1, gone));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    CloseEventLog(log);
    EXPECT_EQ(EvtExport(EventLogFilePath("Ring")), expected);

    // Growing, not yet wrapped.
    Write("App", 1, {"first"});
    Write("App", 2, {sjis(u8"二番目")});
    EXPECT_EQ(EvtExport(EventLogFilePath("Application")),
              (std::map<unsigned long, std::vector<std::string>>{
                  {1, {"first"}}, {2, {reinterpret_cast<const char*>(u8"二番目")}}}));
}

TEST(EventLog, ClearingAndRecordNumberWrap) {
    MachineFolder machine;
    for (DWORD i = 0; i < 3; ++i) Write("App", i);
    EventLogHandle log = OpenEventLog("", "Application");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(Counts(log).count, 3u);
    ASSERT_TRUE(ClearEventLog(log));
    EXPECT_EQ(Counts(log).count, 0u);
    Write("App", 9);
    LogCounts c = Counts(log);
    EXPECT_EQ(c.count, 1u);
    EXPECT_EQ(c.oldest, 1u);  // numbering starts again

    ASSERT_TRUE(ClearEventLog(log));
    ASSERT_TRUE(SetEventLogNextRecord("Application", 0xFFFFFFFE));
    for (DWORD i = 0; i < 4; ++i) Write("App", 100 + i);
    c = Counts(log);
    EXPECT_EQ(c.count, 4u);
    EXPECT_EQ(c.oldest, 0xFFFFFFFEu);
    const DWORD numbers[] = {0xFFFFFFFE, 0xFFFFFFFF, 0, 1};
    for (DWORD i = 0; i < 4; ++i) {
        ReadRecord r;
        ASSERT_TRUE(ReadOne(log, numbers[i], r)) << numbers[i];
        EXPECT_EQ(r.fixed.EventID, 100 + i);
    }
    EXPECT_FALSE(SetEventLogNextRecord("Application", 5));  // only on an empty log
    CloseEventLog(log);
}

TEST(EventLog, AReaderThatStaysOpenSeesAClearedAndRefilledLog) {
    MachineFolder machine;
    EventLogHandle log = OpenEventLog("", "Application");
    ASSERT_NE(log, nullptr);
    for (DWORD i = 1; i <= 3; ++i) Write("App", i, {"old " + std::to_string(i)});
    ReadRecord r;
    for (DWORD n = 1; n <= 3; ++n) ASSERT_TRUE(ReadOne(log, n, r));
    ASSERT_TRUE(ClearEventLog(log));
    // The same layout with other texts, then other sizes: the reader must not reuse what it had.
    for (DWORD i = 1; i <= 3; ++i) Write("App", i, {"new " + std::to_string(i)});
    for (DWORD n = 1; n <= 3; ++n) {
        ASSERT_TRUE(ReadOne(log, n, r));
        EXPECT_EQ(r.strings[0], "new " + std::to_string(n));
    }
    ASSERT_TRUE(ClearEventLog(log));
    for (DWORD i = 1; i <= 5; ++i) Write("App", i, {std::string(i * 3, 'x')});
    EXPECT_EQ(Counts(log).count, 5u);
    for (DWORD n = 1; n <= 5; ++n) {
        ASSERT_TRUE(ReadOne(log, n, r)) << n;
        EXPECT_EQ(r.strings[0], std::string(n * 3, 'x'));
    }
    CloseEventLog(log);
}

TEST(EventLog, ConcurrentWritersAndAReader) {
    MachineFolder machine;
    RegisterLog(machine, "Busy", "Src", 0x10000);
    ASSERT_TRUE(SetEventLogMaxSize("Busy", 16384));  // small enough to wrap meanwhile
    constexpr int kWriters = 4, kEach = 60;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kEach; ++i) {
                EventToWrite e;
                e.eventId = static_cast<DWORD>(w * 1000 + i);
                e.strings = {std::string(static_cast<size_t>(20 + (i * 37) % 200), 'a' + w)};
                if (!ReportEvent("Src", e)) _exit(1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    // Meanwhile every record the reader sees is whole.
    EventLogHandle log = OpenEventLog("", "Busy");
    ASSERT_NE(log, nullptr);
    for (int round = 0; round < 50; ++round) {
        LogCounts c = Counts(log);
        if (c.count == 0) continue;
        ReadRecord r;
        DWORD newest = c.oldest + c.count - 1;
        if (ReadOne(log, newest, r)) {
            EXPECT_EQ(r.fixed.RecordNumber, newest);
            ASSERT_EQ(r.strings.size(), 1u);
            EXPECT_EQ(r.strings[0], std::string(r.strings[0].size(), r.strings[0][0]));
        } else {
            EXPECT_EQ(GetLastError(), kErrorInvalidParameter);  // overwritten in between
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    LogCounts c = Counts(log);
    EXPECT_EQ(c.oldest + c.count - 1, static_cast<DWORD>(kWriters * kEach));
    for (DWORD n = c.oldest; n - c.oldest < c.count; ++n) {
        ReadRecord r;
        ASSERT_TRUE(ReadOne(log, n, r)) << n;
    }
    CloseEventLog(log);
}

TEST(EventLog, DamagedFilesGiveWhatIsValid) {
    MachineFolder machine;
    for (DWORD i = 1; i <= 6; ++i) Write("App", i, {"record " + std::to_string(i)});
    const std::string path = EventLogFilePath("Application");
    const std::string original = ReadFileBytes(path);
    const std::string copy = machine.Root() + "damaged.evt";

    // Find record 4 and make it claim to run past the end of the file.
    size_t at = evt::kHeaderSize;
    for (int i = 1; i < 4; ++i) at += Le32(original, at);
    std::string bad = original;
    bad[at] = '\xF0';
    bad[at + 1] = '\xFF';
    WriteFileBytes(copy, bad);
    EventLogHandle log = OpenBackupEventLog("", copy);
    ASSERT_NE(log, nullptr);
    ReadRecord r;
    for (DWORD n = 1; n <= 3; ++n) EXPECT_TRUE(ReadOne(log, n, r)) << n;
    for (DWORD n = 4; n <= 6; ++n) {
        EXPECT_FALSE(ReadOne(log, n, r)) << n;
        EXPECT_EQ(GetLastError(), kErrorEventLogFileCorrupt);
    }
    CloseEventLog(log);

    // Random damage anywhere: whatever is read is whole, nothing crashes or hangs.
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        std::string damaged = original;
        for (int k = 0; k < 1 + round % 4; ++k) {
            damaged[random() % damaged.size()] = static_cast<char>(random());
        }
        if (round % 10 == 0) damaged.resize(random() % damaged.size());
        WriteFileBytes(copy, damaged);
        EventLogHandle h = OpenBackupEventLog("", copy);
        if (!h) continue;
        DWORD count = 0, oldest = 0;
        if (GetNumberOfEventLogRecords(h, count) && GetOldestEventLogRecord(h, oldest)) {
            for (DWORD n = oldest, i = 0; i < count && i < 20; ++n, ++i) ReadOne(h, n, r);
        }
        CloseEventLog(h);
    }
}
