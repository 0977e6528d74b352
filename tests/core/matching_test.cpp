#include "core/matching.h"

#include <gtest/gtest.h>

#include <random>

#include "eventlog/catalog.h"
#include "platform/codepage.h"

namespace {

EventRecord Sample() {
    EventRecord r;
    r.RecordNumber = 7;
    r.TimeGenerated.year = 2024, r.TimeGenerated.month = 5, r.TimeGenerated.day = 10;
    r.TimeGenerated.hour = 9, r.TimeGenerated.minute = 5, r.TimeGenerated.second = 3;
    r.EventID = 0xC0000064;
    r.EventType = 1;
    r.Description = sjis(u8"ディスク C: がいっぱいです。");
    r.Category = sjis(u8"ディスク");
    r.SourceName = "Disk";
    r.ComputerName = "PC01";
    r.User = "SYSTEM";
    return r;
}

std::unique_ptr<WatchEntry> Entry(int number) {
    auto e = std::make_unique<WatchEntry>();
    e->EventNum = number;
    e->LogName = e->SourceName = e->Category = AnyValueText();
    e->AddrList = {"ops@example.jp"};
    return e;
}

}  // namespace

TEST(Matching, EachTestInTurn) {
    const EventRecord r = Sample();
    auto e = Entry(1);
    MatchTest failed;
    EXPECT_TRUE(EntryMatches(*e, "System", r));  // nothing restricted

    e->LogName = "system";  // names compare without case
    e->SourceName = "DISK";
    e->Category = sjis(u8"ディスク");
    e->Type = 1;
    e->EventID = 100;  // the low 16 bits of 0xC0000064
    e->Condition = sjis(u8"いっぱい AND NOT 警告");
    EXPECT_TRUE(EntryMatches(*e, "System", r));

    struct Case {
        void (*change)(WatchEntry&);
        MatchTest expected;
    };
    const Case cases[] = {
        {[](WatchEntry& x) { x.LogName = "Application"; }, MatchTest::Log},
        {[](WatchEntry& x) { x.SourceName = "Disk2"; }, MatchTest::Source},
        {[](WatchEntry& x) { x.Type = 2; }, MatchTest::Type},
        {[](WatchEntry& x) { x.EventID = 70000; }, MatchTest::EventId},  // above 65535: never
        {[](WatchEntry& x) { x.Category = "Disk"; }, MatchTest::Category},
        {[](WatchEntry& x) { x.Condition = "full"; }, MatchTest::Condition},
        {[](WatchEntry& x) { x.Condition = "(unclosed"; }, MatchTest::Condition},
        // The any-value is compared byte for byte: another spelling is a name like any other.
        {[](WatchEntry& x) { x.LogName = sjis(u8"特定しない "); }, MatchTest::Log},
    };
    for (const Case& c : cases) {
        WatchEntry changed = *e;
        c.change(changed);
        EXPECT_FALSE(EntryMatches(changed, "System", r, &failed));
        EXPECT_EQ(failed, c.expected) << MatchTestName(c.expected);
    }
    // Type 0 matches success events as well as all others.
    EventRecord success = r;
    success.EventType = 0;
    e->Type = 0;
    EXPECT_TRUE(EntryMatches(*e, "System", success));
}

TEST(Matching, ReportRecordsAndTheirText) {
    WatchList watches;
    watches.push_back(Entry(3));
    watches.push_back(Entry(5));
    watches[1]->Note = sjis(u8"ディスクを交換する");
    watches[1]->AddrList = {"PC02", "boss@example.jp"};
    watches.push_back(Entry(9));
    watches[2]->LogName = "Application";

    TickBatch batch;
    const EventRecord r = Sample();
    MatchRecord(watches, "System", r, batch);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0]->Watch, watches[0].get());
    EXPECT_EQ(batch[1]->Watch, watches[1].get());
    EXPECT_EQ(batch[0]->LogName, "System");
    EXPECT_EQ(batch[0]->Event.RecordNumber, 7u);
    EXPECT_EQ(batch[1]->Recipients, watches[1]->AddrList);
    EXPECT_TRUE(batch[0]->AttachFiles.empty());

    const std::string text = sjis(
        u8"種別：System\r\n日付：2024/05/10\r\n時刻：09:05:03\r\nユーザー：SYSTEM\r\n"
        u8"コンピュータ：PC01\r\nイベントID：100\r\nソース：Disk\r\n種類：エラー\r\n分類：ディスク"
        u8"\r\n\r\n"
        u8"説明：\r\nディスク C: がいっぱいです。\r\n\r\n");
    EXPECT_EQ(batch[0]->ReportText, text);
    EXPECT_EQ(batch[1]->ReportText, text + sjis(u8"注記：\r\nディスクを交換する"));

    // The report keeps the recipients it was made with.
    watches[0]->AddrList.push_back("later@example.jp");
    EXPECT_EQ(batch[0]->Recipients, std::vector<std::string>{"ops@example.jp"});

    // Event identifiers are printed as their low 16 bits, unsigned.
    EventRecord big = r;
    big.EventID = 0x8000FFFF;
    EXPECT_NE(MakeReportText("L", big, "").find(sjis(u8"イベントID：65535\r\n")),
              std::string::npos);
}

TEST(Matching, NamesCompareWithoutCaseAsTheSystemDoes) {
    EventRecord r = Sample();
    r.SourceName = sjis(u8"ａｐｐ－Ωя");
    r.Category = sjis(u8"ДИСК");
    auto e = Entry(1);
    e->SourceName = sjis(u8"ＡＰＰ－ωЯ");  // full-width Latin, Greek and Cyrillic fold
    e->Category = sjis(u8"диск");
    EXPECT_TRUE(EntryMatches(*e, "System", r));
    // Other double-byte characters stay as they are: ア (83 41) is not ヂ (83 61).
    r.SourceName = sjis(u8"ア");
    e->SourceName = sjis(u8"ヂ");
    EXPECT_FALSE(EntryMatches(*e, "System", r));
}

TEST(WatchIndexTest, TheIndexReportsWhatTheListDoesInTheSameOrder) {
    // Random lists over a few logs, sources (in any letter case, Japanese too), ids and types,
    // against random records: the same reports, entry for entry.
    std::mt19937 random(7);
    const std::vector<std::string> logs = {AnyValueText(), "Application", "SYSTEM", "Security"};
    const std::vector<std::string> sources = {
        AnyValueText(), "Disk", "DISK", "Srv", sjis(u8"ディスク"), sjis(u8"ｄｉｓｋ")};
    auto pick = [&](const auto& values) { return values[random() % values.size()]; };
    for (int round = 0; round < 50; ++round) {
        WatchList watches;
        for (int i = 0; i < 40; ++i) {
            auto e = std::make_unique<WatchEntry>();
            e->EventNum = i;
            e->LogName = pick(logs);
            e->SourceName = pick(sources);
            e->Category = random() % 4 ? AnyValueText() : std::string("Disk");
            e->EventID = static_cast<std::int32_t>(random() % 4);
            e->Type = random() % 3 ? 0 : 1;
            e->Condition = random() % 5 ? "" : "full";
            watches.push_back(std::move(e));
        }
        const WatchIndex index(watches);
        for (int r = 0; r < 40; ++r) {
            EventRecord record;
            record.SourceName = pick(sources);
            if (record.SourceName == AnyValueText()) record.SourceName = "Other";
            record.EventID =
                static_cast<std::uint32_t>(random() % 4) | (random() % 2 ? 0xC0000000u : 0);
            record.EventType = random() % 2 ? 1 : 2;
            record.Category = random() % 2 ? "disk" : "none";
            record.Description = random() % 2 ? "disk full" : "ok";
            const std::string& named = logs[1 + random() % 3];
            const std::string log = random() % 2 ? named : platform::FoldCase(named);
            TickBatch plain, indexed;
            MatchRecord(watches, log, record, plain);
            MatchRecord(index, log, record, indexed);
            ASSERT_EQ(plain.size(), indexed.size()) << round << " " << r;
            for (size_t i = 0; i < plain.size(); ++i) {
                EXPECT_EQ(plain[i]->Watch, indexed[i]->Watch);
                EXPECT_EQ(plain[i]->ReportText, indexed[i]->ReportText);
            }
        }
    }
}
