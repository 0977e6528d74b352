#pragma once

// A monitor over the test's own machine, with fakes for the timer, the dialogs' locks and the
// consumers of a tick's batch, and a sink that keeps the program log's lines.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/settings.h"
#include "core/monitor.h"
#include "core/program_log.h"
#include "eventlog/catalog.h"
#include "platform/codepage.h"
#include "platform/machine/eventlog_writer.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "platform/machine/registry_files.h"
#include "support/machine_folder.h"

class FakeTimer : public WatchTimer {
public:
    void SetInterval(unsigned ms) override { calls.push_back("interval " + std::to_string(ms)); }
    void SetEnabled(bool on) override {
        enabled = on;
        calls.push_back(on ? "on" : "off");
    }
    bool enabled = false;
    std::vector<std::string> calls;
};

class FakeLocks : public DialogLocks {
public:
    void Lock() override {
        ++locked;
        calls.push_back("lock");
    }
    void Unlock() override {
        --locked;
        calls.push_back("unlock");
    }
    int locked = 0;
    std::vector<std::string> calls;
};

class Consumers : public BatchConsumers {
public:
    void ProcessActions(TickBatch& batch) override {
        order.push_back("actions");
        if (throwInActions) throw std::runtime_error("unexpected");
        for (auto& r : batch)
            reports.push_back({r->LogName, r->Event.RecordNumber, r->Watch->EventNum, r->ReportText,
                               r->Kind, r->NotifyHeld});
    }
    void DeliverMail(TickBatch&) override { order.push_back("mail"); }
    void SendNetworkMessages(TickBatch&) override { order.push_back("net"); }

    struct Seen {
        std::string log;
        std::uint32_t record;
        int watch;
        std::string text;
        ReportKind kind;
        bool held;
    };
    std::vector<Seen> reports;
    std::vector<std::string> order;
    bool throwInActions = false;
};

class Sink : public LogSink {
public:
    void AddLogLine(int level, const platform::SystemTime&, const std::string& text) override {
        lines.push_back(std::to_string(level) + " " + platform::SjisToUtf8(text));
    }
    std::vector<std::string> lines;
};

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest() : log(settings, &sink), monitor(settings, watches, timer, locks, consumers) {
        settings.Interval = 5;
        settings.SenderName = "Quorvik";
        settings.MailAddr = "q@example.jp";
        settings.SMTPServer = "127.0.0.1";
        settings.Enable = false;
        SetProgramLog(&log);
        auto e = std::make_unique<WatchEntry>();
        e->EventNum = 1;
        e->LogName = "Application";
        e->SourceName = e->Category = AnyValueText();
        e->AddrList = {"ops@example.jp"};
        watches.push_back(std::move(e));
        // Its messages 1 to 1000 are the first string, as for sources eventcreate registers.
        platform::AppendMachineRegistry(
            platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\Application\\App") +
            platform::RegExpandStringLine("EventMessageFile",
                                          std::string(platform::kEventCreateMessageFile)));
    }
    ~MonitorTest() override { SetProgramLog(nullptr); }

    void Write(platform::DWORD id, const std::string& text = "x", const char* source = "App") {
        platform::EventToWrite e;
        e.eventId = id;
        e.strings = {text};
        ASSERT_TRUE(platform::ReportEvent(source, e));
    }
    std::vector<std::uint32_t> ReportedRecords() const {
        std::vector<std::uint32_t> numbers;
        for (const auto& r : consumers.reports) numbers.push_back(r.record);
        return numbers;
    }
    bool Logged(const std::string& utf8) const {
        for (const std::string& line : sink.lines) {
            if (line == utf8) return true;
        }
        return false;
    }

    MachineFolder machine;
    Settings settings;
    WatchList watches;
    Sink sink;
    ProgramLog log;
    FakeTimer timer;
    FakeLocks locks;
    Consumers consumers;
    Monitor monitor;
};
