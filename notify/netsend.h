#pragma once

#include <string>
#include <vector>

#include "core/matching.h"

// Network messages of a tick: each report's text, as a pop-up message, to every recipient of it
// that is no mail address, with a line in the program log per failure and a summary per report.

// The texts of the recipients that are computer or user names (without "@"), in order; none
// for a report whose notifications are held back.
std::vector<std::string> MessageRecipients(const ReportRecord& report);

// "Quorvik Report (監視イベント番号: %d) - %s\r\n\r\n%s".
std::string NetworkMessageText(const ReportRecord& report);

bool SendNetworkMessages(TickBatch& batch);
