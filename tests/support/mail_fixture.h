#pragma once

// What the report mail tests share: a settings record, a program log into a list, report
// records with their watch entries, and the real mail library as the program loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "actions/attachments.h"
#include "config/settings.h"
#include "core/program_log.h"
#include "notify/mail_report.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/test_folder.h"

using platform::SjisToUtf8;

inline std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

class Lines : public LogSink {
public:
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        lines.push_back(std::to_string(level) + " " + SjisToUtf8(text));
    }
    std::vector<std::string> lines;
};

// A settings record, a program log into a list, watch entries and report records.
class MailTest : public ::testing::Test {
protected:
    MailTest() : log(settings, &sink) {
        settings.SenderName = sjis(u8"監視サーバー");
        settings.MailAddr = "quorvik@example.jp";
        settings.SMTPServer = "127.0.0.1";
        settings.SMTPPort = 25;
        settings.TimeOut = 5;
        SetProgramLog(&log);
        log.SetDebugMode(true);
        setenv("TMPDIR", folder.Path().c_str(), 1);
    }
    ~MailTest() override {
        SetProgramLog(nullptr);
        unsetenv("TMPDIR");
        unsetenv("SSL_CERT_FILE");
    }

    ReportRecord& Report(int number, std::vector<std::string> recipients,
                         const std::string& text = "body") {
        auto watch = std::make_unique<WatchEntry>();
        watch->EventNum = number;
        watch->MailSubject = sjis(u8"ディスク");
        auto r = std::make_unique<ReportRecord>();
        r->Watch = watch.get();
        r->Recipients = std::move(recipients);
        r->ReportText = text;
        r->Event.TimeGenerated = platform::LocalTimeOf(1796000000);
        watches.push_back(std::move(watch));
        batch.push_back(std::move(r));
        return *batch.back();
    }

    // A temporary attachment folder with one file, as the actions leave it.
    std::string AttachmentFolder(ReportRecord& r, const std::string& name,
                                 const std::string& bytes) {
        std::string tmp;
        EXPECT_TRUE(MakeTempFolder(tmp));
        WriteFileBytes(tmp + name, bytes);
        r.AttachFolders.push_back(tmp);
        r.AttachFiles.push_back(tmp + name);
        return tmp;
    }

    bool Logged(const std::string& line) const {
        return std::find(sink.lines.begin(), sink.lines.end(), line) != sink.lines.end();
    }
    std::vector<std::string> Levels(int level) const {
        std::vector<std::string> out;
        for (const std::string& line : sink.lines) {
            if (line[0] == '0' + level) out.push_back(line.substr(2));
        }
        return out;
    }

    TestFolder folder;
    Settings settings;
    Lines sink;
    ProgramLog log;
    std::vector<std::unique_ptr<WatchEntry>> watches;
    TickBatch batch;
};

// The same, against real servers.
class MailPeer : public MailTest {};

// The real library, as the program loads it.
inline BSendMailFunction RealLibrary() {
    static void* handle = dlopen(QUORVIK_BSMTP_PATH, RTLD_NOW | RTLD_LOCAL);
    return handle ? reinterpret_cast<BSendMailFunction>(dlsym(handle, "BSendMail")) : nullptr;
}

inline BSendRawMailFunction RealRawLibrary() {
    static void* handle = dlopen(QUORVIK_BSMTP_PATH, RTLD_NOW | RTLD_LOCAL);
    return handle ? reinterpret_cast<BSendRawMailFunction>(dlsym(handle, kBSendRawMailName))
                  : nullptr;
}
