#include "core/flood_control.h"

#include <gtest/gtest.h>

#include "core/program_log.h"
#include "platform/codepage.h"

namespace {

class FloodTest : public ::testing::Test {
protected:
    FloodTest() { watch.EventNum = 3; }
    ReportRecord& Add(std::vector<std::string> recipients = {"ops@example.jp"}) {
        auto r = std::make_unique<ReportRecord>();
        r->Watch = &watch;
        r->Recipients = std::move(recipients);
        r->Event.Description = "d" + std::to_string(batch.size());
        batch.push_back(std::move(r));
        return *batch.back();
    }
    std::vector<bool> Held() const {
        std::vector<bool> held;
        for (const auto& r : batch) held.push_back(r->NotifyHeld);
        return held;
    }

    WatchEntry watch;
    TickBatch batch;
};

}  // namespace

TEST_F(FloodTest, HoursOpenWithTheFirstNotification) {
    FloodControl flood(2);
    Add({});  // notifies nobody: not counted
    Add();
    Add();
    flood.Mark(batch, 1000);
    EXPECT_EQ(Held(), (std::vector<bool>{false, false, false}));
    // The hour ended quietly: the next one starts with a full allowance.
    batch.clear();
    Add();
    Add();
    Add();
    flood.Mark(batch, 1000 + FloodControl::kWindow);
    EXPECT_EQ(Held(), (std::vector<bool>{false, false, true}));
    EXPECT_TRUE(flood.TakeSummaries(1000 + 2 * FloodControl::kWindow - 1).empty());
    const TickBatch summaries = flood.TakeSummaries(1000 + 2 * FloodControl::kWindow);
    ASSERT_EQ(summaries.size(), 1u);
    const std::string& text = summaries[0]->ReportText;
    EXPECT_NE(text.find(sjis(u8"控えた通知：1件")), std::string::npos);
    EXPECT_NE(text.find(sjis(u8"説明：d2\r\n")), std::string::npos);
    EXPECT_EQ(text.find(sjis(u8"最後の通知")), std::string::npos);  // one held: first only
    EXPECT_EQ(summaries[0]->Recipients, std::vector<std::string>{"ops@example.jp"});
    // Once summarised, the hour is gone: the next match is notified.
    batch.clear();
    Add();
    flood.Mark(batch, 1000 + 2 * FloodControl::kWindow + 1);
    EXPECT_EQ(Held(), std::vector<bool>{false});
}
