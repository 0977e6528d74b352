#include "core/state_rules.h"

#include <gtest/gtest.h>

#include "eventlog/catalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace {

// 2026-12-07 is a Monday.
std::int64_t At(int day, int hour, int minute = 0) {
    platform::SystemTime t;
    t.year = 2026;
    t.month = 12;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    return platform::UnixSecondsOfLocal(t);
}

bool Contains(const std::string& text, const char8_t* utf8) {
    return text.find(sjis(utf8)) != std::string::npos;
}

class StateRulesTest : public ::testing::Test {
protected:
    WatchEntry& Add(int number, const char* source, WatchRule rule) {
        auto e = std::make_unique<WatchEntry>();
        e->EventNum = number;
        e->MailSubject = "backup";
        e->LogName = "Application";
        e->SourceName = source;
        e->Category = AnyValueText();
        e->AddrList = {"ops@example.jp"};
        e->Rule = rule;
        watches.push_back(std::move(e));
        return *watches.back();
    }
    struct Arrived {
        const char* source;
        std::int64_t time;     // when it arrived
        std::int64_t ago = 0;  // how far behind its sender's clock was
    };
    // One tick at now that reads the given records, as the monitor runs it.
    TickBatch Tick(std::int64_t now, std::vector<Arrived> records = {}, std::uint32_t id = 1) {
        TickBatch batch;
        rules.BeginTick(watches, now);
        for (const Arrived& a : records) {
            EventRecord r;
            r.SourceName = a.source;
            r.EventID = id;
            r.EventType = 4;
            r.Description = "d";
            r.TimeGenerated = platform::LocalTimeOf(a.time - a.ago);
            rules.JudgeUntil(a.time - 1, batch);
            const size_t first = batch.size();
            MatchRecord(watches, "Application", r, batch);
            rules.Observe("Application", r, a.time, batch, first);
        }
        rules.EndTick(batch);
        return batch;
    }
    static std::vector<ReportKind> Kinds(const TickBatch& batch) {
        std::vector<ReportKind> kinds;
        for (const auto& r : batch) kinds.push_back(r->Kind);
        return kinds;
    }

    WatchList watches;
    StateRules rules;
};

WatchRule Nightly() {
    WatchRule r;
    r.Kind = WatchRule::kAbsence;
    r.From = 22 * 60;
    r.By = 6 * 60;
    r.Days = 0x3E;  // Monday to Friday
    r.Grace = 0;
    return r;
}

// Judged at the deadline itself: the grace has a test of its own.
WatchRule Heartbeat(int minutes, int renotify = 0) {
    WatchRule r;
    r.Kind = WatchRule::kAbsence;
    r.Every = minutes;
    r.Renotify = renotify;
    r.Grace = 0;
    return r;
}

WatchRule Recovery(const char* source, int renotify = 0) {
    WatchRule r;
    r.Kind = WatchRule::kRecovery;
    r.LogName = "Application";
    r.SourceName = source;
    r.Renotify = renotify;
    return r;
}

using K = ReportKind;

std::int64_t Seconds(int day, int hour, int minute, int second) {
    return At(day, hour, minute) + second;
}

}  // namespace

TEST_F(StateRulesTest, DailyWindowsAcrossMidnightOnChosenWeekdays) {
    Add(1, "Backup", Nightly());
    rules.Start(watches, At(7, 12), false);  // Monday noon
    // Tuesday's window (Mon 22:00 - Tue 06:00): the backup at 01:30 is expected, not reported.
    EXPECT_EQ(Kinds(Tick(At(8, 1, 35), {{"Backup", At(8, 1, 30)}})), std::vector<K>{K::Expected});
    EXPECT_TRUE(Tick(At(8, 6, 5)).empty());
    // Wednesday's window passes without it: one report, at the first tick after 06:00 only.
    EXPECT_TRUE(Tick(At(9, 5, 59)).empty());
    TickBatch missed = Tick(At(9, 6, 1));
    ASSERT_EQ(Kinds(missed), std::vector<K>{K::Absence});
    const ReportRecord& report = *missed[0];
    EXPECT_EQ(report.Event.SourceName, "Quorvik");
    EXPECT_EQ(report.LogName, "Application");
    EXPECT_TRUE(Contains(report.ReportText, u8"期間：2026/12/08 22:00:00 ～ 2026/12/09 06:00:00"));
    EXPECT_TRUE(Contains(report.ReportText, u8"最後の発生：2026/12/08 01:30:00"));
    EXPECT_TRUE(Contains(report.ReportText, u8"22:00～06:00に少なくとも1回(月火水木金)"));
    EXPECT_TRUE(Contains(report.Watch->MailSubject, u8"(未発生)"));
    EXPECT_TRUE(Tick(At(9, 7)).empty());
    // It comes late: the problem ends with a recovery report saying how late.
    TickBatch late = Tick(At(9, 8), {{"Backup", At(9, 7, 30)}});
    ASSERT_EQ(Kinds(late), (std::vector<K>{K::Expected, K::Recovery}));
    EXPECT_TRUE(Contains(late[1]->Watch->MailSubject, u8"(復旧)"));
    EXPECT_TRUE(Contains(late[1]->ReportText, u8"(期限の1時間30分後)"));
    EXPECT_EQ(rules.OpenProblems(), 0u);
    // Saturday's and Sunday's deadlines are not watched; Monday's window starts on Sunday 22:00.
    EXPECT_EQ(Kinds(Tick(At(12, 6, 1),
                         {{"Backup", At(10, 1)}, {"Backup", At(11, 1)}, {"Backup", At(12, 1)}})),
              (std::vector<K>{K::Expected, K::Expected, K::Expected}));
    EXPECT_TRUE(Tick(At(13, 12)).empty());
    EXPECT_EQ(Kinds(Tick(At(14, 6, 1))), std::vector<K>{K::Absence});
}

TEST_F(StateRulesTest, SeveralMissedWindowsMakeOneReport) {
    Add(1, "Backup", Nightly());
    rules.Start(watches, At(7, 12), false);
    // Down from Monday to Thursday noon, resumed: Tuesday, Wednesday and Thursday were missed.
    const std::string saved = rules.Format();
    StateRules after;
    after.Parse(saved);
    after.Start(watches, At(10, 12), true);
    TickBatch batch;
    after.BeginTick(watches, At(10, 12));
    after.EndTick(batch);
    ASSERT_EQ(Kinds(batch), std::vector<K>{K::Absence});
    EXPECT_TRUE(Contains(batch[0]->ReportText, u8"3回の期間に発生しませんでした"));
    EXPECT_TRUE(Contains(batch[0]->ReportText, u8"最初の期間：2026/12/07 22:00:00"));
}

TEST_F(StateRulesTest, ARestartInsideAWindow) {
    Add(1, "Backup", Nightly());
    rules.Start(watches, At(7, 21), false);
    EXPECT_TRUE(Tick(At(7, 23)).empty());
    const std::string saved = rules.Format();

    // Resuming at 05:00, the backup of 01:00 written while the program was down is caught up:
    // the window holds it.
    StateRules resumed;
    resumed.Parse(saved);
    resumed.Start(watches, At(8, 5), true);
    std::swap(rules, resumed);
    EXPECT_EQ(Kinds(Tick(At(8, 5, 1), {{"Backup", At(8, 1)}})), std::vector<K>{K::Expected});
    EXPECT_TRUE(Tick(At(8, 6, 1)).empty());

    // Without resuming nothing of the stop is known: a window that began before the start is not
    // judged, so no false alarm; the next one is.
    StateRules fresh;
    fresh.Parse(saved);
    fresh.Start(watches, At(8, 5), false);
    std::swap(rules, fresh);
    EXPECT_TRUE(Tick(At(8, 6, 1)).empty());
    EXPECT_EQ(Kinds(Tick(At(9, 6, 1))), std::vector<K>{K::Absence});
}

TEST_F(StateRulesTest, AHeartbeatThatStopsIsToldOnceThenAgainAfterTheInterval) {
    Add(1, "Agent", Heartbeat(10, 60));
    rules.Start(watches, At(7, 9), false);
    EXPECT_EQ(Kinds(Tick(At(7, 9, 5), {{"Agent", At(7, 9, 4)}})), std::vector<K>{K::Expected});
    EXPECT_TRUE(Tick(At(7, 9, 13)).empty());
    TickBatch stopped = Tick(At(7, 9, 15));  // due at 09:14
    ASSERT_EQ(Kinds(stopped), std::vector<K>{K::Absence});
    EXPECT_TRUE(Contains(stopped[0]->ReportText, u8"10分ごとに少なくとも1回"));
    // No flood: nothing more at the following ticks until the re-notify interval passed.
    for (int minute = 20; minute < 60; minute += 5) EXPECT_TRUE(Tick(At(7, 9, minute)).empty());
    TickBatch reminder = Tick(At(7, 10, 15));
    ASSERT_EQ(Kinds(reminder), std::vector<K>{K::Absence});
    EXPECT_TRUE(Contains(reminder[0]->ReportText, u8"2026/12/07 09:14:00から発生していません"));
    // Back: one recovery report, and the heartbeat is counted from it again.
    TickBatch back = Tick(At(7, 10, 30), {{"Agent", At(7, 10, 29)}});
    ASSERT_EQ(Kinds(back), (std::vector<K>{K::Expected, K::Recovery}));
    EXPECT_TRUE(Contains(back[1]->ReportText, u8"(期限の1時間15分後)"));
    EXPECT_TRUE(Tick(At(7, 10, 38)).empty());
    EXPECT_EQ(Kinds(Tick(At(7, 10, 40))), std::vector<K>{K::Absence});
}

TEST_F(StateRulesTest, ProblemsOpenCountAndRecover) {
    Add(1, "Disk", Recovery("DiskOk", 60));
    rules.Start(watches, At(7, 9), false);
    // A recovery before any problem is nothing, and so is one older than the problem.
    EXPECT_TRUE(Tick(At(7, 9, 1), {{"DiskOk", At(7, 9, 1)}}).empty());
    EXPECT_EQ(Kinds(Tick(At(7, 9, 5), {{"Disk", At(7, 9, 5)}, {"DiskOk", At(7, 9, 4)}})),
              std::vector<K>{K::Opened});
    TickBatch again = Tick(At(7, 9, 10), {{"Disk", At(7, 9, 6)}, {"Disk", At(7, 9, 7)}});
    ASSERT_EQ(Kinds(again), (std::vector<K>{K::Repeated, K::Repeated}));
    EXPECT_TRUE(again[0]->NotifyHeld);
    // After the re-notify interval, the next one is told, with how long the problem lasts.
    TickBatch told = Tick(At(7, 10, 6), {{"Disk", At(7, 10, 6)}});
    ASSERT_EQ(Kinds(told), std::vector<K>{K::Match});
    EXPECT_TRUE(
        Contains(told[0]->ReportText, u8"2026/12/07 09:05:00から続いています(4回目の発生)"));
    TickBatch recovered = Tick(At(7, 11), {{"DiskOk", At(7, 10, 50)}});
    ASSERT_EQ(Kinds(recovered), std::vector<K>{K::Recovery});
    const ReportRecord& r = *recovered[0];
    EXPECT_TRUE(Contains(r.Watch->MailSubject, u8"(復旧)"));
    EXPECT_TRUE(r.Watch->ToDoList.empty());
    EXPECT_TRUE(Contains(r.ReportText, u8"継続時間：1時間45分"));
    EXPECT_TRUE(Contains(r.ReportText, u8"問題の間の発生：4回"));
    EXPECT_EQ(r.Recipients, std::vector<std::string>{"ops@example.jp"});
    EXPECT_EQ(Kinds(Tick(At(7, 12), {{"Disk", At(7, 12)}})), std::vector<K>{K::Opened});
}

TEST_F(StateRulesTest, ManyOpenProblemsAtOnceSurviveARestart) {
    for (int i = 1; i <= 50; ++i) {
        WatchRule rule = Recovery("Ok");
        rule.EventID = i;
        Add(i, ("S" + std::to_string(i)).c_str(), rule);
    }
    rules.Start(watches, At(7, 9), false);
    TickBatch batch;
    rules.BeginTick(watches, At(7, 9, 1));
    for (int i = 1; i <= 50; ++i) {
        EventRecord r;
        r.SourceName = "S" + std::to_string(i);
        r.EventID = 100;
        r.TimeGenerated = platform::LocalTimeOf(At(7, 9));
        const size_t first = batch.size();
        MatchRecord(watches, "Application", r, batch);
        rules.Observe("Application", r, At(7, 9), batch, first);
    }
    EXPECT_EQ(batch.size(), 50u);
    EXPECT_EQ(rules.OpenProblems(), 50u);
    StateRules after;
    after.Parse(rules.Format());
    after.Start(watches, At(7, 10), false);
    EXPECT_EQ(after.OpenProblems(), 50u);
    std::swap(rules, after);
    // "Ok" with event id 7 ends the seventh problem only.
    TickBatch recovered = Tick(At(7, 10, 1), {{"Ok", At(7, 10, 1)}}, 7);
    ASSERT_EQ(Kinds(recovered), std::vector<K>{K::Recovery});
    EXPECT_EQ(recovered[0]->Watch->EventNum, 7);
    EXPECT_TRUE(Contains(recovered[0]->ReportText, u8"最初のイベント：2026/12/07 09:00:00"));
    EXPECT_EQ(rules.OpenProblems(), 49u);
}

TEST_F(StateRulesTest, AChangedRuleStartsAnewAndDamagedStateIsDropped) {
    WatchEntry& e = Add(1, "Agent", Heartbeat(10));
    rules.Start(watches, At(7, 9), false);
    EXPECT_EQ(Kinds(Tick(At(7, 9, 10))), std::vector<K>{K::Absence});
    e.Rule.Every = 30;  // edited: the problem of the old rule is not this one's
    EXPECT_TRUE(Tick(At(7, 9, 11)).empty());
    EXPECT_EQ(rules.OpenProblems(), 0u);
    std::string text = rules.Format();
    // A state from the future (a clock set back) does not keep the windows from being judged.
    std::string future = text;
    future.replace(future.find("Since="), 6, "Since=9");
    StateRules ahead;
    ahead.Parse(future);
    ahead.Start(watches, At(7, 10), true);
    std::swap(rules, ahead);
    EXPECT_EQ(Kinds(Tick(At(7, 10, 30))), std::vector<K>{K::Absence});
    text.replace(text.find("Since="), 6, "Since=x");
    StateRules damaged;
    damaged.Parse(text);
    EXPECT_TRUE(damaged.Empty());
    damaged.Parse("nonsense");
    EXPECT_TRUE(damaged.Empty());
}

TEST_F(StateRulesTest, EventsCountWhenTheyArriveWithAGraceAndALateOneRecoversOnce) {
    WatchRule every = Heartbeat(1);
    every.Grace = 60;
    Add(1, "Agent", every);
    rules.Start(watches, At(7, 9), false);
    EXPECT_EQ(rules.NextDeadline(), At(7, 9, 2));
    // Every 30 s from a sender whose clock is 5 minutes behind: nothing to tell, ever.
    for (int s = 30; s <= 600; s += 30) {
        const std::int64_t when = At(7, 9) + s;
        EXPECT_EQ(Kinds(Tick(when, {{"Agent", when, 300}})), std::vector<K>{K::Expected}) << s;
    }
    // Due at 09:11, with a minute's grace: one that comes at 09:11:40 is on time.
    EXPECT_EQ(rules.NextDeadline(), At(7, 9, 12));
    EXPECT_TRUE(Tick(Seconds(7, 9, 11, 59)).empty());
    EXPECT_EQ(Kinds(Tick(Seconds(7, 9, 11, 40), {{"Agent", Seconds(7, 9, 11, 40)}})),
              std::vector<K>{K::Expected});
    // Then silence: judged once the grace of 09:12:40 has passed, not before.
    EXPECT_TRUE(Tick(Seconds(7, 9, 13, 39)).empty());
    TickBatch missed = Tick(Seconds(7, 9, 13, 40));
    ASSERT_EQ(Kinds(missed), std::vector<K>{K::Absence});
    EXPECT_EQ(rules.NextDeadline(), 0);  // nothing until it comes back (no reminders)
    // It comes late, twice: one recovery, which says when it was sent and when it came.
    TickBatch late = Tick(At(7, 9, 20), {{"Agent", At(7, 9, 20), 300}, {"Agent", At(7, 9, 20)}});
    ASSERT_EQ(Kinds(late), (std::vector<K>{K::Expected, K::Recovery, K::Expected}));
    EXPECT_TRUE(Contains(late[1]->ReportText, u8"発生：2026/12/07 09:15:00\r\n"));
    EXPECT_TRUE(Contains(late[1]->ReportText, u8"記録：2026/12/07 09:20:00 (期限の0時間7分後)"));
}

TEST_F(StateRulesTest, ANightlyWindowCountsWhatArrivesWithinItsGrace) {
    WatchRule night = Nightly();
    night.Grace = 120;
    Add(2, "Batch", night);
    rules.Start(watches, At(7, 21), false);
    EXPECT_EQ(rules.NextDeadline(), Seconds(8, 6, 2, 0));
    // Sent at 04:00 by its own clock, it comes at 06:01:59: on time.
    EXPECT_EQ(Kinds(Tick(Seconds(8, 6, 1, 59), {{"Batch", Seconds(8, 6, 1, 59), 7319}})),
              std::vector<K>{K::Expected});
    EXPECT_TRUE(Tick(At(8, 6, 3)).empty());
    EXPECT_EQ(rules.NextDeadline(), Seconds(9, 6, 2, 0));
    // The next night nothing comes: judged at 06:02, not at 06:00.
    EXPECT_TRUE(Tick(Seconds(9, 6, 1, 59)).empty());
    EXPECT_EQ(Kinds(Tick(Seconds(9, 6, 2, 0))), std::vector<K>{K::Absence});
}
