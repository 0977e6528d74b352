#include "config/lists.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "config/datafile.h"
#include "eventlog/catalog.h"
#include "expr/parser.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/test_folder.h"

namespace {

// Builds list files item by item, little-endian, in the layout the files have on disk.
class Bytes {
public:
    Bytes& Short(int v) {
        m_data += static_cast<char>(v & 0xFF);
        m_data += static_cast<char>((v >> 8) & 0xFF);
        return *this;
    }
    Bytes& Int(std::int64_t v) {
        for (int i = 0; i < 4; ++i) m_data += static_cast<char>((v >> (8 * i)) & 0xFF);
        return *this;
    }
    Bytes& Str(const std::string& s) {
        Int(static_cast<std::int64_t>(s.size()));
        m_data += s;
        return *this;
    }
    Bytes& Raw(const std::string& s) {
        m_data += s;
        return *this;
    }
    const std::string& str() const { return m_data; }
    size_t size() const { return m_data.size(); }

private:
    std::string m_data;
};

WatchEntry SampleEntry(int number) {
    WatchEntry e;
    e.EventNum = number;
    e.MailSubject = sjis(u8"ディスク障害");
    e.LogName = "System";
    e.SourceName = AnyValueText();
    e.Type = 1;
    e.EventID = -2147024891;
    e.Category = AnyValueText();
    e.Condition = sjis(u8"\"ディスク\" AND NOT 警告");
    e.Note = sjis(u8"ディスクを交換する");
    e.ToDoList = {{kActionAttachFiles, MakeAttachParam(3, "/var/log/*.log")},
                  {kActionStopService, "Spooler"},
                  {-1, "odd kind"}};
    e.AddrList = {"ops@example.jp", "PC01"};
    return e;
}

// The 0x0104 record of SampleEntry, item by item.
void AppendSampleRecord(Bytes& b, int number) {
    WatchEntry e = SampleEntry(number);
    b.Int(e.EventNum)
        .Str(e.MailSubject)
        .Str(e.LogName)
        .Str(e.SourceName)
        .Short(e.Type)
        .Int(e.EventID)
        .Str(e.Category)
        .Str(e.Condition)
        .Str(e.Note)
        .Int(3)
        .Int(0)
        .Str(e.ToDoList[0].Param)
        .Int(4)
        .Str("Spooler")
        .Int(-1)
        .Str("odd kind")
        .Str("ops@example.jp\r\nPC01\r\n");
}

}  // namespace

TEST(WatchFile, CurrentVersionLoadsAndSavesByteForByte) {
    TestFolder folder;
    Bytes file;
    file.Short(0x0104);
    AppendSampleRecord(file, 1);
    AppendSampleRecord(file, 42);
    WriteFileBytes(WatchListPath(), file.str());

    WatchList list;
    ASSERT_TRUE(LoadWatchList(list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(*list[0], SampleEntry(1));
    EXPECT_EQ(*list[1], SampleEntry(42));
    EXPECT_EQ(AttachParamCount(list[0]->ToDoList[0].Param), "    3");
    EXPECT_EQ(AttachParamFileSpec(list[0]->ToDoList[0].Param), "/var/log/*.log");

    WriteFileBytes(WatchListPath(), "");
    ASSERT_TRUE(SaveWatchList(list));
    EXPECT_EQ(ReadFileBytes(WatchListPath()), file.str());
}

TEST(WatchFile, RulesLiveBesideAndFollowRenumberingAndDeletion) {
    TestFolder folder;
    WatchList list;
    for (int number : {1, 2, 3}) list.push_back(std::make_unique<WatchEntry>(SampleEntry(number)));
    list[0]->Rule.Kind = WatchRule::kAbsence;
    list[0]->Rule.From = 22 * 60;
    list[0]->Rule.By = 6 * 60 + 30;
    list[0]->Rule.Days = 0x3E;
    list[0]->Rule.Renotify = 120;
    list[2]->Rule.Kind = WatchRule::kRecovery;
    list[2]->Rule.LogName = "System";
    list[2]->Rule.SourceName = AnyValueText();
    list[2]->Rule.EventID = 7036;
    list[2]->Rule.Condition = sjis(u8"\"開始\"\r\nAND 実行中");
    ASSERT_TRUE(SaveWatchList(list));
    // WATCH.DAT is exactly what it was without rules.
    Bytes plain;
    plain.Short(0x0104);
    for (int number : {1, 2, 3}) AppendSampleRecord(plain, number);
    EXPECT_EQ(ReadFileBytes(WatchListPath()), plain.str());
    EXPECT_NE(ReadFileBytes(WatchRulesPath())
                  .find("From=22:00\r\nBy=06:30\r\nDays=Mon,Tue,Wed,"
                        "Thu,Fri\r\n"),
              std::string::npos);
    WatchList loaded;
    std::vector<std::string> warnings;
    ASSERT_TRUE(LoadWatchList(loaded, &warnings));
    ASSERT_EQ(loaded.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(*loaded[i], *list[i]);
    EXPECT_TRUE(warnings.empty());

    // Renumbered and one deleted in the dialog: the rules go with their entries.
    loaded[2]->EventNum = 9;
    loaded.erase(loaded.begin());
    ASSERT_TRUE(SaveWatchList(loaded));
    WatchList again;
    ASSERT_TRUE(LoadWatchList(again, &warnings));
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0]->Rule, WatchRule());
    EXPECT_EQ(again[1]->EventNum, 9);
    EXPECT_EQ(again[1]->Rule, list[2]->Rule);

    // Another program rewrote WATCH.DAT with another entry under number 9: its rule is not
    // handed to it, and the load says so.
    WatchList other;
    other.push_back(std::make_unique<WatchEntry>(SampleEntry(9)));
    other[0]->SourceName = "Other";
    const std::string rules = ReadFileBytes(WatchRulesPath());
    ASSERT_TRUE(SaveWatchList(other));
    WriteFileBytes(WatchRulesPath(), rules);
    WatchList mismatched;
    warnings.clear();
    ASSERT_TRUE(LoadWatchList(mismatched, &warnings));
    EXPECT_EQ(mismatched[0]->Rule, WatchRule());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(sjis(u8"監視イベント番号 9 の状態の設定は、別の監視イベント")),
              std::string::npos);

    // A list without rules leaves no file; a damaged one costs only what it damaged.
    ASSERT_TRUE(SaveWatchList(other));
    EXPECT_FALSE(platform::FileExists(WatchRulesPath()));
    std::string damaged = rules;
    damaged.replace(damaged.find("Days="), 5, "Days=Xyz,");
    WriteFileBytes(WatchRulesPath(), damaged);
    WatchList partly;
    warnings.clear();
    ASSERT_TRUE(LoadWatchList(partly, &warnings));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(sjis(u8"壊れている")), std::string::npos);
}

TEST(WatchFile, OlderVersionsLoad) {
    TestFolder folder;
    WatchEntry expected = SampleEntry(7);

    // 0x0103: no mail subject.
    Bytes v3;
    v3.Short(0x0103)
        .Int(7)
        .Str(expected.LogName)
        .Str(expected.SourceName)
        .Short(1)
        .Int(expected.EventID)
        .Str(expected.Category)
        .Str(expected.Condition)
        .Str(expected.Note)
        .Int(0)
        .Str("a\r\nb");
    WriteFileBytes(WatchListPath(), v3.str());
    WatchList list;
    ASSERT_TRUE(LoadWatchList(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->EventNum, 7);
    EXPECT_EQ(list[0]->MailSubject, "");
    EXPECT_EQ(list[0]->Note, expected.Note);
    EXPECT_EQ(list[0]->AddrList, (std::vector<std::string>{"a", "b"}));

    // 0x0102: numbered by position, no note, no actions.
    Bytes v2;
    v2.Short(0x0102);
    for (int i = 0; i < 3; ++i) {
        v2.Str("Application").Str("Src").Short(2).Int(100 + i).Str("Cat").Str("disk").Str("PC");
    }
    WriteFileBytes(WatchListPath(), v2.str());
    list.clear();
    ASSERT_TRUE(LoadWatchList(list));
    ASSERT_EQ(list.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i]->EventNum, i + 1);
        EXPECT_EQ(list[i]->EventID, 100 + i);
        EXPECT_EQ(list[i]->Condition, "disk");
        EXPECT_TRUE(list[i]->ToDoList.empty());
    }

    // 0x0101: keywords become a condition; six dropped items.
    Bytes v1;
    v1.Short(0x0101);
    for (const char* keywords : {"disk\r\n"
                                 "full\r\n",
                                 ""}) {
        v1.Str("System").Str("Src").Short(4).Int(9).Str("Cat").Str(keywords);
        v1.Str("x").Str("y").Short(1).Int(2).Str("z").Str("w");
        v1.Str("ops@example.jp\r\n");
    }
    WriteFileBytes(WatchListPath(), v1.str());
    list.clear();
    ASSERT_TRUE(LoadWatchList(list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->Condition, "\"disk\" OR \"full\"");
    EXPECT_EQ(list[1]->Condition, "");
    EXPECT_EQ(list[1]->EventNum, 2);
    EXPECT_EQ(list[1]->AddrList, std::vector<std::string>{"ops@example.jp"});

    // 0x0100: no condition at all.
    Bytes v0;
    v0.Short(0x0100).Str("System").Str("Src").Short(8).Int(5).Str("Cat").Str("PC1\nPC2\r");
    WriteFileBytes(WatchListPath(), v0.str());
    list.clear();
    ASSERT_TRUE(LoadWatchList(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->EventNum, 1);
    EXPECT_EQ(list[0]->Type, 8);
    EXPECT_EQ(list[0]->AddrList, (std::vector<std::string>{"PC1", "PC2"}));

    // Saving always writes the current version.
    ASSERT_TRUE(SaveWatchList(list));
    EXPECT_EQ(ReadFileBytes(WatchListPath()).substr(0, 2), "\x04\x01");
}

TEST(WatchFile, EmptyMissingUnknownAndTruncatedFiles) {
    TestFolder folder;
    WatchList list;
    EXPECT_FALSE(LoadWatchList(list));  // missing: created empty
    EXPECT_TRUE(platform::FileExists(WatchListPath()));
    EXPECT_TRUE(list.empty());

    WriteFileBytes(WatchListPath(), "\x04");  // shorter than a version
    EXPECT_FALSE(LoadWatchList(list));
    WriteFileBytes(WatchListPath(), Bytes().Short(0x0105).Int(1).str());
    EXPECT_FALSE(LoadWatchList(list));
    EXPECT_TRUE(list.empty());

    Bytes file;
    file.Short(0x0104);
    AppendSampleRecord(file, 1);
    AppendSampleRecord(file, 2);
    size_t twoRecords = file.size();
    AppendSampleRecord(file, 3);
    for (size_t cut : {twoRecords + 1, twoRecords + 30, file.size() - 1}) {
        WriteFileBytes(WatchListPath(), file.str().substr(0, cut));
        list.clear();
        EXPECT_FALSE(LoadWatchList(list)) << cut;
        ASSERT_EQ(list.size(), 2u) << cut;
        EXPECT_EQ(list[1]->EventNum, 2);
    }
    // Records appended to a list that already holds some.
    WriteFileBytes(WatchListPath(), file.str());
    EXPECT_TRUE(LoadWatchList(list));
    EXPECT_EQ(list.size(), 5u);
}

TEST(WatchFile, HostileLengthsAndCounts) {
    TestFolder folder;
    WatchList list;
    // A string claiming 2 GB: the record fails and nothing that large is allocated.
    WriteFileBytes(WatchListPath(), Bytes().Short(0x0104).Int(1).Int(0x7FFFFFFF).Raw("abc").str());
    EXPECT_FALSE(LoadWatchList(list));
    EXPECT_TRUE(list.empty());
    WriteFileBytes(WatchListPath(), Bytes().Short(0x0104).Int(1).Int(-5).str());
    EXPECT_FALSE(LoadWatchList(list));

    // A negative action count means no actions; a huge one ends at the end of the file.
    Bytes negative;
    negative.Short(0x0104)
        .Int(1)
        .Str("")
        .Str("L")
        .Str("S")
        .Short(0)
        .Int(0)
        .Str("")
        .Str("")
        .Str("")
        .Int(-3)
        .Str("PC");
    WriteFileBytes(WatchListPath(), negative.str());
    EXPECT_TRUE(LoadWatchList(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0]->ToDoList.empty());
    Bytes huge;
    huge.Short(0x0104)
        .Int(1)
        .Str("")
        .Str("L")
        .Str("S")
        .Short(0)
        .Int(0)
        .Str("")
        .Str("")
        .Str("")
        .Int(0x7FFFFFFF)
        .Int(1)
        .Str("p");
    WriteFileBytes(WatchListPath(), huge.str());
    list.clear();
    EXPECT_FALSE(LoadWatchList(list));
    EXPECT_TRUE(list.empty());

    // Random bytes after a valid version: whatever loads, loading ends.
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        std::string junk = Bytes().Short(0x0100 + round % 5).str();
        size_t length = random() % 400;
        for (size_t i = 0; i < length; ++i)
            junk += static_cast<char>(random() % 7 == 0 ? 0 : random());
        WriteFileBytes(WatchListPath(), junk);
        list.clear();
        LoadWatchList(list);
        AddressList addresses;
        WriteFileBytes(AddressListPath(), junk);
        LoadAddressList(addresses);
    }
}

TEST(WatchFile, TextsAndRecipientLists) {
    TestFolder folder;
    WatchList list;
    list.push_back(std::make_unique<WatchEntry>());
    list[0]->Note = std::string("before\0after", 12);
    list[0]->AddrList = {};
    list.push_back(std::make_unique<WatchEntry>());
    list[1]->AddrList = {"abc", "def"};
    WriteFileBytes(WatchListPath(), "");
    ASSERT_TRUE(SaveWatchList(list));

    std::string bytes = ReadFileBytes(WatchListPath());
    // The zero byte is written whole...
    EXPECT_NE(bytes.find(Bytes().Str(std::string("before\0after", 12)).str()), std::string::npos);
    // ...an empty recipient list is a string of length 0, two 3-byte lines are 10 bytes.
    EXPECT_EQ(bytes.substr(bytes.size() - 14), Bytes().Str("abc\r\ndef\r\n").str());
    WatchList back;
    ASSERT_TRUE(LoadWatchList(back));
    EXPECT_EQ(back[0]->Note, "before");  // ...and read back only up to it
    EXPECT_TRUE(back[0]->AddrList.empty());
    EXPECT_EQ(back[1]->AddrList, list[1]->AddrList);

    // Line breaks of every kind split; a final break makes no empty line; inner empty lines stay.
    WriteFileBytes(WatchListPath(), Bytes()
                                        .Short(0x0100)
                                        .Str("L")
                                        .Str("S")
                                        .Short(0)
                                        .Int(0)
                                        .Str("C")
                                        .Str("a\r\rb\n\nc\r\n")
                                        .str());
    back.clear();
    ASSERT_TRUE(LoadWatchList(back));
    EXPECT_EQ(back[0]->AddrList, (std::vector<std::string>{"a", "", "b", "", "c"}));
}

TEST(WatchFile, FailedSaveKeepsThePreviousContents) {
    TestFolder folder;
    WatchList list;
    for (int i = 1; i <= 50; ++i) list.push_back(std::make_unique<WatchEntry>(SampleEntry(i)));
    ASSERT_TRUE(SaveWatchList(list));
    std::string before = ReadFileBytes(WatchListPath());
    list.push_back(std::make_unique<WatchEntry>(SampleEntry(51)));
    {
        FileSizeLimit full(static_cast<unsigned long>(before.size() / 2));
        EXPECT_FALSE(SaveWatchList(list));
    }
    EXPECT_EQ(ReadFileBytes(WatchListPath()), before);
    std::vector<platform::FindData> leftovers;
    EXPECT_FALSE(platform::FindFiles(folder.File(".save-*"), leftovers));

    // Deleted while the program ran: the save makes it again.
    platform::DeleteFile(WatchListPath());
    EXPECT_TRUE(SaveWatchList(list));
    EXPECT_TRUE(platform::FileExists(WatchListPath()));
}

TEST(WatchFile, OpenedUnsharedWhileSaving) {
    TestFolder folder;
    WriteFileBytes(WatchListPath(), "");
    Datafile holder;
    ASSERT_TRUE(holder.Open(WatchListPath(), Datafile::Mode::Read));
    WatchList list;
    EXPECT_FALSE(SaveWatchList(list));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
    holder.Close();
    EXPECT_TRUE(SaveWatchList(list));
    EXPECT_EQ(ReadFileBytes(WatchListPath()), "\x04\x01");
}

TEST(WatchFile, SavedThroughALinkAndInAFolderTheUserMayNotWrite) {
    TestFolder folder;
    TestFolder elsewhere;
    platform::SetExecutableDirectory(folder.Path());  // the program's folder is the first one
    WatchList list;
    list.push_back(std::make_unique<WatchEntry>(SampleEntry(1)));
    AddressList addresses;
    addresses.push_back(std::make_unique<AddressEntry>(AddressEntry{"", "A", "a@x.jp", "", ""}));
    // Both files are links to files kept elsewhere: the files are replaced, the links stay.
    WriteFileBytes(elsewhere.File("watch"), "");
    WriteFileBytes(elsewhere.File("mail"), "");
    std::filesystem::create_symlink(elsewhere.File("watch"), WatchListPath());
    std::filesystem::create_symlink(elsewhere.File("mail"), AddressListPath());
    ASSERT_TRUE(SaveWatchList(list));
    ASSERT_TRUE(SaveAddressList(addresses));
    EXPECT_TRUE(std::filesystem::is_symlink(WatchListPath()));
    EXPECT_TRUE(std::filesystem::is_symlink(AddressListPath()));
    WatchList back;
    ASSERT_TRUE(LoadWatchList(back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(*back[0], *list[0]);
    EXPECT_EQ(ReadFileBytes(elsewhere.File("mail")).substr(0, 2), "\x01\x01");

    // The files may be written, the folder not: they are written in place.
    for (const std::string& path : {WatchListPath(), AddressListPath()}) {
        std::filesystem::remove(path);
        WriteFileBytes(path, "");
        ASSERT_EQ(chown(path.c_str(), UnprivilegedUid(), static_cast<gid_t>(-1)), 0);
    }
    chmod(folder.Path().c_str(), geteuid() == 0 ? 0755 : 0555);
    const bool saved =
        AsUnprivilegedUser([&] { return SaveWatchList(list) && SaveAddressList(addresses); });
    chmod(folder.Path().c_str(), 0755);
    EXPECT_TRUE(saved);
    back.clear();
    ASSERT_TRUE(LoadWatchList(back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(*back[0], *list[0]);
    AddressList addressesBack;
    ASSERT_TRUE(LoadAddressList(addressesBack));
    ASSERT_EQ(addressesBack.size(), 1u);
    EXPECT_EQ(addressesBack[0]->MailAddr, "a@x.jp");
}

TEST(AddressFile, VersionsAndRoundTrip) {
    TestFolder folder;
    Bytes v0;
    v0.Short(0x0100).Str("a@example.jp").Str(sjis(u8"山田")).Str(sjis(u8"総務部")).Str("x1234");
    v0.Str("b@example.jp").Str("B").Str("").Str("");
    WriteFileBytes(AddressListPath(), v0.str());
    AddressList list;
    ASSERT_TRUE(LoadAddressList(list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(*list[0],
              (AddressEntry{sjis(u8"総務部"), sjis(u8"山田"), "a@example.jp", "", "x1234"}));
    list[1]->UserName = "PC02";

    ASSERT_TRUE(SaveAddressList(list));
    Bytes v1;
    v1.Short(0x0101)
        .Str("a@example.jp")
        .Str("")
        .Str(sjis(u8"山田"))
        .Str(sjis(u8"総務部"))
        .Str("x1234");
    v1.Str("b@example.jp").Str("PC02").Str("B").Str("").Str("");
    EXPECT_EQ(ReadFileBytes(AddressListPath()), v1.str());
    AddressList back;
    ASSERT_TRUE(LoadAddressList(back));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(*back[1], *list[1]);
    // Removed while the program runs: the next save makes it again.
    ASSERT_TRUE(platform::DeleteFile(AddressListPath()));
    ASSERT_TRUE(SaveAddressList(list));
    EXPECT_EQ(ReadFileBytes(AddressListPath()), v1.str());

    // Watch-file versions are not address-file versions.
    WriteFileBytes(AddressListPath(), Bytes().Short(0x0104).str());
    back.clear();
    EXPECT_FALSE(LoadAddressList(back));
    WriteFileBytes(AddressListPath(), v1.str().substr(0, v1.size() - 3));
    EXPECT_FALSE(LoadAddressList(back));
    EXPECT_EQ(back.size(), 1u);
}

TEST(Recipients, MailAddressesContainAnAtSign) {
    EXPECT_TRUE(IsMailRecipient("ops@example.jp"));
    EXPECT_FALSE(IsMailRecipient("PC01"));
    // "　" (81 40) carries 0x40 as its trail byte; it is not an at sign.
    EXPECT_FALSE(IsMailRecipient(sjis(u8"開発　PC")));
    EXPECT_TRUE(IsMailRecipient(sjis(u8"担当　") + "@x"));
    // Kanji with 0x40 as trail byte name computers, never mail addresses.
    EXPECT_FALSE(IsMailRecipient(sjis(u8"日本機 病院 後法")));
    EXPECT_EQ(FindAtSign(sjis(u8"機") + "a@b"), 3u);
    EXPECT_EQ(KeywordsToCondition({}), "");
    EXPECT_EQ(MakeAttachParam(12, "/tmp/*"), "   12/tmp/*");
}

TEST(Keywords, AnyKeywordsBecomeAConditionThatFindsThem) {
    // Keywords that quoted terms cannot hold, and empty lines that must not break the list.
    const std::vector<std::string> hard = {
        "",   "a\"b", "ends\\",    "\\",         "\"",           "(x)",         "two words", "and",
        "Or", "not",  "tab\there", sjis(u8"表"), sjis(u8"表\\"), "new\r\nline", "\\n"};
    const std::string condition = KeywordsToCondition(hard);
    EXPECT_EQ(CheckCondition(condition), 0) << condition;
    for (const std::string& keyword : hard) {
        if (keyword.empty()) continue;
        EXPECT_TRUE(MatchCondition(condition, "<" + keyword + ">")) << keyword;
    }
    EXPECT_FALSE(MatchCondition(condition, "xyz"));
    EXPECT_EQ(KeywordsToCondition({"", ""}), "");

    // Random bytes: the condition scans, and holds exactly when a keyword occurs.
    std::mt19937 random(11);
    auto randomText = [&](size_t length) {
        static const char kAlphabet[] = "ab \"\\()\t\r\nNOTAND\x81\x5C\x95\x40";
        std::string text;
        for (size_t i = 0; i < length; ++i) text += kAlphabet[random() % (sizeof kAlphabet - 1)];
        return text;
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> keywords;
        for (int k = 0; k < 1 + round % 3; ++k) keywords.push_back(randomText(random() % 5));
        const std::string description = randomText(8 + random() % 12);
        const std::string c = KeywordsToCondition(keywords);
        ASSERT_EQ(CheckCondition(c), 0) << c;
        bool expected = false;
        for (std::string k : keywords) {
            // A lone lead byte at a keyword's end stands for nothing.
            size_t end = 0;
            while (end < k.size()) {
                const bool lead = platform::IsDBCSLeadByte(static_cast<unsigned char>(k[end]));
                if (lead && end + 1 >= k.size()) break;
                end += lead ? 2 : 1;
            }
            k.resize(end);
            expected = expected || (!k.empty() && TermOccurs(k, description));
        }
        if (c.empty()) continue;  // no keyword: no condition
        ASSERT_EQ(MatchCondition(c, description), expected) << c << " | " << description;
    }
}
