// What a service tells a window of the same user about itself.
#include "session/service_link.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/codepage.h"
#include "support/test_folder.h"

TEST(ServiceLink, AWindowFindsTheServiceFollowsItsLogAndSeesItEnd) {
    TestFolder runtime;
    const char* before = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = before ? before : "";
    setenv("XDG_RUNTIME_DIR", platform::PathToNative(runtime.Path()).c_str(), 1);
    service_link::State state;
    EXPECT_FALSE(service_link::FindService(state));
    {
        service_link::Publisher service;
        ASSERT_TRUE(service.Start("/srv/quorvik/"));
        service_link::Publisher second;
        EXPECT_FALSE(second.Start("/srv/quorvik/"));
        service_link::LogFollower window;
        service.AddLogLine(2, platform::SystemTime{2026, 12, 8, 9, 5, 3, 7, 2}, "a\\b\r\nc");
        service.SetStatus("監視中、最終チェック 09:05:03");
        ASSERT_TRUE(service_link::FindService(state));
        EXPECT_EQ(state.pid, static_cast<long>(getpid()));
        EXPECT_EQ(state.config, "/srv/quorvik/");
        EXPECT_EQ(state.status, "監視中、最終チェック 09:05:03");
        std::vector<service_link::LogLine> lines = window.ReadNew();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 2);
        EXPECT_EQ(lines[0].text, "a\\b\r\nc");
        EXPECT_EQ(lines[0].time.second, 3);
        EXPECT_TRUE(window.ReadNew().empty());
        service.AddLogLine(0, platform::SystemTime{}, "sent");
        lines = window.ReadNew();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, "sent");
    }
    EXPECT_FALSE(service_link::FindService(state));
    if (before) {
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
}
