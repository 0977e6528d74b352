#include "config/config_text.h"

#include <gtest/gtest.h>

#include "config/lists.h"
#include "config/settings.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "support/test_folder.h"

namespace {

std::string S(const char8_t* utf8) {
    return platform::Utf8ToSjis(reinterpret_cast<const char*>(utf8));
}

// A list with what the dialogs can make and what only another program could: texts of every
// kind, each action and rule kind, a count stored with a leading zero, a type code of its own.
void WriteLists() {
    AddressList addresses;
    addresses.push_back(std::make_unique<AddressEntry>(
        AddressEntry{S(u8"情報システム部"), S(u8"運用 太郎"), "ops@example.jp", "", ""}));
    // 0xEEF9 (NEC's IBM extension) reads as the same character as 0xFA54: only its bytes hold it.
    addresses.push_back(std::make_unique<AddressEntry>(
        AddressEntry{"", std::string("\xEE\xF9", 2), "", "PC01", "\"quoted\"\ttab"}));
    ASSERT_TRUE(SaveAddressList(addresses));
    WatchList watches;
    auto disk = std::make_unique<WatchEntry>();
    disk->EventNum = 7;
    disk->MailSubject = S(u8"ディスク障害");
    disk->LogName = "System";
    disk->SourceName = "Disk";
    disk->Type = 1;
    disk->EventID = 11;
    disk->Category = AnyValueText();
    disk->Condition = S(u8"\"容量\" OR full");
    disk->Note = "line1\r\nline2";
    disk->ToDoList = {{kActionAttachFiles, MakeAttachParam(3, "C:\\logs\\*.log")},
                      {kActionAttachFiles, "   03C:\\x"},
                      {kActionRunProgram, "C:\\bin\\a.exe /x"},
                      {kActionRunProgramAndWait, "b.exe"},
                      {kActionStartService, "Spooler"},
                      {kActionStopService, "Spooler"},
                      {kActionPauseService, "Spooler"},
                      {kActionContinueService, "Spooler"}};
    disk->AddrList = {"ops@example.jp", "PC01"};
    disk->Rule.Kind = WatchRule::kRecovery;
    disk->Rule.LogName = "Application";
    disk->Rule.SourceName = "DiskMon";
    disk->Rule.EventID = 701;
    disk->Rule.Renotify = 30;
    watches.push_back(std::move(disk));
    auto nightly = std::make_unique<WatchEntry>();
    nightly->EventNum = 2;
    nightly->MailSubject = "backup";
    nightly->LogName = nightly->SourceName = nightly->Category = AnyValueText();
    nightly->Type = 24;  // no box item stands for it
    nightly->AddrList = {"ops@example.jp"};
    nightly->Rule.Kind = WatchRule::kAbsence;
    nightly->Rule.From = 22 * 60;
    nightly->Rule.By = 6 * 60;
    nightly->Rule.Days = 0x3E;
    nightly->Rule.Grace = 120;
    watches.push_back(std::move(nightly));
    auto heartbeat = std::make_unique<WatchEntry>(*watches[1]);
    heartbeat->EventNum = 3;
    heartbeat->Rule = WatchRule();
    heartbeat->Rule.Kind = WatchRule::kAbsence;
    heartbeat->Rule.Every = 5;
    heartbeat->Rule.ReportMatches = true;
    watches.push_back(std::move(heartbeat));
    ASSERT_TRUE(SaveWatchList(watches));
}

}  // namespace

TEST(ConfigText, ExportedAndImportedTheListsAreTheSameBytesAndThePasswordStaysOut) {
    TestFolder folder;
    WriteLists();
    Settings settings;
    LoadSettings(settings);
    settings.AuthType = 1;
    settings.UserID = "alice";
    settings.Password = "s3cret";
    ASSERT_TRUE(SaveSettings(settings));
    const std::string mail = ReadFileBytes(AddressListPath());
    const std::string watch = ReadFileBytes(WatchListPath());
    Configuration config;
    LoadConfiguration(config);
    const std::string rules = FormatWatchRules(config.watches);
    const std::string text = ExportConfiguration(config);
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
    EXPECT_EQ(text.find(EncipherPassword("s3cret")), std::string::npos);
    EXPECT_NE(text.find("\"cp932\": \"eef9\""), std::string::npos) << text;

    WriteFileBytes(AddressListPath(), "");
    WriteFileBytes(WatchListPath(), "");
    Configuration fresh;
    LoadConfiguration(fresh);
    ConfigSections parts;
    std::vector<ConfigNote> faults, warnings;
    ASSERT_TRUE(ImportConfiguration(text, fresh, parts, faults, warnings))
        << platform::SjisToUtf8(faults.empty() ? "" : faults[0].message) << " line "
        << (faults.empty() ? 0 : faults[0].line);
    EXPECT_TRUE(parts.settings && parts.extension && parts.addresses && parts.watches);
    ASSERT_TRUE(SaveAddressList(fresh.addresses) && SaveWatchList(fresh.watches) &&
                SaveSettings(fresh.settings));
    EXPECT_EQ(ReadFileBytes(AddressListPath()), mail);
    EXPECT_EQ(ReadFileBytes(WatchListPath()), watch);
    EXPECT_EQ(FormatWatchRules(fresh.watches), rules);
    EXPECT_EQ(fresh.settings, settings);  // the password kept as it was
}

TEST(ConfigText, EachFaultIsToldAtItsLineWithTheDialogsOwnText) {
    TestFolder folder;
    WriteLists();
    Configuration config;
    LoadConfiguration(config);
    const std::string text = R"({
  "settings": {"interval": 0},
  "extension": {"syslog": true, "syslog_bind": "localhost"},
  "addresses": [
    {"mail": "ops@example.jp"},
    {"mail": "OPS@example.jp"},
    {"computer": "PC01", "nickname": "x"}
  ],
  "watches": [
    {"number": 1, "subject": "a", "recipients": ["ops@example.jp"]},
    {"number": 1, "subject": "b", "recipients": ["ops@example.jp"]},
    {"number": 2, "subject": "c", "event_id": 70000, "recipients": ["x"]},
    {"number": 3, "subject": "d", "condition": "AND (", "recipients": ["x"]},
    {"number": 4, "subject": "e", "recipients": []},
    {"number": 5, "subject": "f", "recipients": ["ops@example.jp"],
     "rule": {"kind": "absence", "from": "25:00", "by": "06:00"}},
    {"number": 6, "subject": "g", "recipients": ["ops@example.jp"],
     "actions": [{"kind": "run", "program": ""}, {"kind": "attach", "path": "\u2603"}]},
    {"number": 7, "subject": "h", "recipients": ["ops@example.jp", "nobody@example.jp"]},
    {"number": 8, "subject": "i", "recipients": ["PC01"], "actions": [{"kind": "run"}]}
  ]
})";
    ConfigSections parts;
    std::vector<ConfigNote> faults, warnings;
    EXPECT_FALSE(ImportConfiguration(text, config, parts, faults, warnings));
    std::vector<std::pair<int, std::string>> told;
    for (const ConfigNote& f : faults) told.emplace_back(f.line, platform::SjisToUtf8(f.message));
    const std::vector<std::pair<int, std::string>> expected = {
        {2, "監視間隔が範囲外です。 設定できる範囲は、1～99です。"},
        {3, "受信するアドレスは、127.0.0.1 や :: のような数字のアドレスで入力してください。"},
        {6, "入力されたメールアドレスは、すでに登録されています。"},
        {7, "unknown key \"nickname\" in an address"},
        {10, "入力された監視イベント番号は、すでに登録されています。"},
        {11, "入力された監視イベント番号は、すでに登録されています。"},
        {12, "イベントIDが範囲外です。 設定できる範囲は、1～65535です。"},
        {14, "メール受信者が1人も選択されていません。"},
        {16, "開始の時刻は、00:00～23:59で入力してください。"},
        {18, "\"path\"に、シフトJISで表せない文字が入力されています。"},
        {20, "プログラムが入力されていません。"},
    };
    EXPECT_EQ(told.size(), expected.size() + 1) << ::testing::PrintToString(told);
    for (const auto& e : expected) {
        EXPECT_NE(std::find(told.begin(), told.end(), e), told.end()) << e.first << " " << e.second;
    }
    // The condition's error carries the parser's own message.
    EXPECT_TRUE(std::any_of(told.begin(), told.end(), [](const auto& t) {
        return t.first == 13 && t.second.rfind("条件式エラー: ", 0) == 0;
    }));
    ASSERT_EQ(warnings.size(), 1u);  // a recipient the address list lacks
    EXPECT_EQ(warnings[0].line, 19);
}
