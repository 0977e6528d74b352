#pragma once

#include <memory>
#include <string>

#include "config/lists.h"
#include "eventlog/catalog.h"

// The entry the session and service tests watch with: every event of a log, mailed as "disk".
inline std::unique_ptr<WatchEntry> DiskEntry(int number, const std::string& log) {
    auto e = std::make_unique<WatchEntry>();
    e->EventNum = number;
    e->MailSubject = "disk";
    e->LogName = log;
    e->SourceName = e->Category = AnyValueText();
    e->AddrList = {"ops@example.jp"};
    return e;
}
