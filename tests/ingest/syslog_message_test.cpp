#include "ingest/syslog_message.h"

#include <gtest/gtest.h>

#include "platform/clock.h"

TEST(SyslogMessage, Rfc5424WithStructuredDataAndNilValues) {
    const SyslogMessage m = ParseSyslogMessage(
        "<165>1 2026-12-07T09:05:03.25+09:00 web01 backup 4711 ID47 "
        "[exampleSDID@32473 iut=\"3\" note=\"a \\\"b\\\" \\] c\"][other@1 x=\"y\"] "
        "\xEF\xBB\xBF"
        "done",
        2026);
    EXPECT_TRUE(m.rfc5424);
    EXPECT_TRUE(m.problem.empty()) << m.problem;
    EXPECT_EQ(m.facility, 20);  // local4
    EXPECT_EQ(m.severity, 5);
    EXPECT_EQ(m.time, 1796601903);  // 2026-12-07 00:05:03 UTC
    EXPECT_EQ(m.hostname, "web01");
    EXPECT_EQ(m.appName, "backup");
    EXPECT_EQ(m.procId, "4711");
    EXPECT_EQ(m.msgId, "ID47");
    EXPECT_EQ(m.structuredData,
              "[exampleSDID@32473 iut=\"3\" note=\"a \\\"b\\\" \\] c\"][other@1 x=\"y\"]");
    EXPECT_EQ(m.text, "done");

    const SyslogMessage nil = ParseSyslogMessage("<14>1 - - - - - -", 2026);
    EXPECT_TRUE(nil.problem.empty());
    EXPECT_EQ(nil.time, -1);
    EXPECT_TRUE(nil.hostname.empty() && nil.appName.empty() && nil.text.empty());

    // What does not follow the form is kept whole, and named.
    for (const char* bad : {"<14>1 2026-12-07T09:05:03Z host app - - [unclosed msg",
                            "<14>1 2026-13-07T09:05:03Z host app - - - msg", "<14>1 only",
                            "no priority at all", "<192>too high", "<014>leading zero"}) {
        const SyslogMessage m = ParseSyslogMessage(bad, 2026);
        EXPECT_FALSE(m.problem.empty()) << bad;
        EXPECT_NE(std::string(bad).find(m.text), std::string::npos) << bad;
    }
}

TEST(SyslogMessage, BsdFormsWithAndWithoutTheirParts) {
    const SyslogMessage full =
        ParseSyslogMessage("<13>Dec  7 23:32:02 myhost sshd[812]: hi\n", 2026);
    EXPECT_FALSE(full.rfc5424);
    EXPECT_TRUE(full.problem.empty());
    EXPECT_EQ(full.facility, 1);
    EXPECT_EQ(full.severity, 5);
    platform::SystemTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 7;
    t.hour = 23;
    t.minute = 32;
    t.second = 2;
    EXPECT_EQ(full.time, platform::UnixSecondsOfLocal(t));
    EXPECT_EQ(full.hostname, "myhost");
    EXPECT_EQ(full.appName, "sshd");
    EXPECT_EQ(full.procId, "812");
    EXPECT_EQ(full.text, "hi");

    const SyslogMessage noHost = ParseSyslogMessage("<11>Dec 17 01:02:03 cron: job failed", 2026);
    EXPECT_TRUE(noHost.hostname.empty());
    EXPECT_EQ(noHost.appName, "cron");
    EXPECT_EQ(noHost.severity, 3);
    EXPECT_EQ(noHost.text, "job failed");

    const SyslogMessage bare = ParseSyslogMessage("<0>kernel panic, no tag", 2026);
    EXPECT_EQ(bare.time, -1);
    EXPECT_TRUE(bare.appName.empty());
    EXPECT_EQ(bare.text, "kernel panic, no tag");

    EXPECT_EQ(SyslogEventType(3), 1);
    EXPECT_EQ(SyslogEventType(4), 2);
    EXPECT_EQ(SyslogEventType(7), 4);
    EXPECT_EQ(SyslogFacilityName(4), "auth");
    EXPECT_EQ(SyslogFacilityName(23), "local7");
    // One identifier per MSGID, else per application; always one a message file holds.
    EXPECT_EQ(SyslogEventId("", "sshd"), SyslogEventId("", "sshd"));
    EXPECT_NE(SyslogEventId("ID47", "sshd"), SyslogEventId("", "sshd"));
    for (const char* app : {"", "a", "sshd", "backup", "kernel"}) {
        const std::uint32_t id = SyslogEventId("", app);
        EXPECT_TRUE(id >= 1 && id <= 1000) << app;
    }
}

TEST(SyslogFraming, OctetCountingAndLinesAcrossReads) {
    SyslogFramer framer;
    std::vector<std::string> out;
    const std::string stream = "11 <13>1 - - -5 <13>x<13>line one\n<13>line two\n";
    // Byte by byte: the frames come out whole whatever the reads cut.
    for (char c : stream) framer.Feed(std::string(1, c), out);
    EXPECT_EQ(out,
              (std::vector<std::string>{"<13>1 - - -", "<13>x", "<13>line one", "<13>line two"}));
    out.clear();
    framer.Feed("<13>no end", out);
    EXPECT_TRUE(out.empty());
    framer.Finish(out);
    EXPECT_EQ(out, std::vector<std::string>{"<13>no end"});

    // A frame too long is cut at the largest message and the rest of it passed over.
    SyslogFramer big;
    out.clear();
    const std::string body(kSyslogMaxMessage + 10, 'a');
    big.Feed(std::to_string(body.size()) + " " + body + "3 <1>", out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].size(), kSyslogMaxMessage);
    EXPECT_EQ(out[1], "<1>");
    EXPECT_EQ(big.Truncated(), 1u);
    // A line too long is cut once, whatever its length, and what follows it is read as ever.
    SyslogFramer line;
    out.clear();
    line.Feed("<13>first\n" + std::string(kSyslogMaxMessage * 2 + 5, 'b'), out);
    line.Feed(std::string(1000, 'b') + "\n<13>after\n", out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].size(), kSyslogMaxMessage);
    EXPECT_EQ(out[2], "<13>after");
    EXPECT_EQ(line.Truncated(), 1u);
    // The same when the line's end comes in the same read.
    out.clear();
    line.Feed(std::string(kSyslogMaxMessage + 6000, 'c') + "\n<13>next\n", out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].size(), kSyslogMaxMessage);
    EXPECT_EQ(out[1], "<13>next");
    EXPECT_EQ(line.Truncated(), 2u);
    // Line framing from the first frame on: a line that starts with digits is a line, not a
    // count that would swallow what follows.
    SyslogFramer lines;
    out.clear();
    lines.Feed("<13>one\n500 files copied\n<13>two\n", out);
    EXPECT_EQ(out, (std::vector<std::string>{"<13>one", "500 files copied", "<13>two"}));
}
