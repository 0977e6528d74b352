// The machine's command-line tools, run as a user runs them.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_folder.h"

namespace {

const std::string kTools = QUORVIK_TOOLS_DIR;

int Tool(const std::string& args, std::string* out = nullptr) {
    return RunCommand(args + " 2>/dev/null", out);
}

}  // namespace

TEST(Tools, EventcreateAndEventqueryRoundTrip) {
    TestFolder folder;
    const std::string machine = " --machine " + folder.File("m");
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine +
                  " --log Custom --source 'My App' --type audit-failure --id 0xC0000001"
                  " --category 7 --string 'ディスク \"満杯\"' --string two --user S-1-5-19"
                  " --computer PC9 --data 00ff"),
              0);
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine + " --log Custom --source 'My App' --type 4 --id 2"), 0);
    std::string out;
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --json", &out), 0);
    size_t newline = out.find('\n');
    std::string first = out.substr(0, newline);
    EXPECT_NE(first.find("{\"record\":1,\"generated\":"), std::string::npos) << first;
    EXPECT_NE(first.find("\"eventId\":3221225473,\"type\":16,\"category\":7,\"source\":\"My App\","
                         "\"computer\":\"PC9\",\"sid\":\"S-1-5-19\",\"user\":\"LOCAL SERVICE\","
                         "\"strings\":[\"ディスク \\\"満杯\\\"\",\"two\"],\"data\":\"00ff\","
                         "\"description\":\"Quorvik: なし、または取得に失敗しました。\",\"categoryText\":\"%1\"}"),
              std::string::npos)
        << first;
    std::string second = out.substr(newline + 1);
    EXPECT_NE(second.find("\"record\":2,"), std::string::npos);
    EXPECT_NE(second.find("\"sid\":null,\"user\":null,\"strings\":[],\"data\":\"\","), std::string::npos);
    // Registered with the machine's message file, a typed string comes out as the description.
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine + " --log Custom --source 'My App' --type 1 --id 42"
                   " --string 'ディスクがいっぱいです'"), 0);
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --from 3 --json", &out), 0);
    EXPECT_NE(out.find("\"description\":\"ディスクがいっぱいです\",\"categoryText\":\"なし\"}"), std::string::npos) << out;
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --list-sources Custom", &out), 0);
    EXPECT_EQ(out, "My App\n");
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --list-event-ids Application QuorvikSample --mask 2", &out), 0);
    EXPECT_EQ(out, " 1000\n  200\n");

    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --from 2 --json", &out), 0);
    EXPECT_EQ(out.find("\"record\":1,"), std::string::npos);
    EXPECT_NE(out.find("\"record\":2,"), std::string::npos);

    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine + " --log Custom --clear"), 0);
    ASSERT_EQ(Tool(kTools + "/eventquery" + machine + " --log Custom --json", &out), 0);
    EXPECT_EQ(out, "");
}

TEST(Tools, BadArgumentsAndFailures) {
    TestFolder folder;
    const std::string machine = " --machine " + folder.File("m");
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log L --source S --type nonsense --id 1"), 2);
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log L --source S --type error --id 4294967296"), 2);
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log L --source S --type error --id 1 --user X"), 2);
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log L --clear --max-size 4096"), 2);
    EXPECT_EQ(Tool(kTools + "/eventcreate --bogus"), 2);
    EXPECT_EQ(Tool(kTools + "/eventquery" + machine), 2);
    EXPECT_EQ(Tool(kTools + "/eventquery --file " + folder.File("missing.evt")), 1);
    // A source already registered in another log.
    ASSERT_EQ(Tool(kTools + "/eventcreate" + machine + " --log A --source Shared --type error --id 1"), 0);
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log B --source Shared --type error --id 1"), 1);
    // --next-record only on an empty log.
    EXPECT_EQ(Tool(kTools + "/eventcreate" + machine + " --log A --next-record 7"), 1);
}
