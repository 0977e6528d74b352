#include "config/config_text.h"

#include <algorithm>

#include "config/config_text_names.h"
#include "config/list_checks.h"
#include "config/settings_checks.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/codepage.h"

using platform::json::Value;
using namespace config_text;

namespace {

// A text as UTF-8 when it comes back as the same bytes, else its bytes in hexadecimal.
Value TextValue(const std::string& cp932) {
    std::string utf8 = platform::SjisToUtf8(cp932);
    if (platform::Utf8ToSjis(utf8) == cp932) return Value::String(std::move(utf8));
    Value v = Value::Object();
    v.Add("cp932", Value::String(platform::ToHex(cp932)));
    return v;
}

Value AnyTextValue(const std::string& cp932) {
    return cp932 == AnyValueText() ? Value::Null() : TextValue(cp932);
}

Value TypeValue(std::int16_t type) {
    const int index = TypeIndex(type);
    if (TypeCodeOfIndex(index) == type) return Value::String(kTypeNames[index]);
    return Value::Number(type);
}

Value RuleValue(const WatchRule& rule) {
    Value v = Value::Object();
    if (rule.Kind == WatchRule::kAbsence) {
        v.Add("kind", Value::String("absence"));
        if (rule.Every > 0) {
            v.Add("every", Value::Number(rule.Every));
        } else {
            v.Add("from", Value::String(ClockText(rule.From)));
            v.Add("by", Value::String(ClockText(rule.By)));
            Value& days = v.Add("days", Value::Array());
            for (int d = 0; d < 7; ++d) {
                if ((rule.Days >> d) & 1) days.Push(Value::String(kDayNames[d]));
            }
        }
        v.Add("grace", Value::Number(rule.Grace));
        v.Add("report_matches", Value::Bool(rule.ReportMatches));
    } else {
        v.Add("kind", Value::String("recovery"));
        v.Add("log", AnyTextValue(rule.LogName));
        v.Add("source", AnyTextValue(rule.SourceName));
        v.Add("type", TypeValue(rule.Type));
        v.Add("event_id", rule.EventID == 0 ? Value::Null() : Value::Number(rule.EventID));
        v.Add("condition", TextValue(rule.Condition));
    }
    v.Add("renotify", Value::Number(rule.Renotify));
    return v;
}

Value ActionValue(const ActionEntry& action) {
    Value v = Value::Object();
    if (action.Kind >= 0 && action.Kind <= kActionContinueService) {
        v.Add("kind", Value::String(kKindNames[action.Kind]));
    } else {
        v.Add("kind", Value::Number(action.Kind));
    }
    if (action.Kind == kActionAttachFiles) {
        const std::string count = Trimmed(AttachParamCount(action.Param));
        const std::string spec = AttachParamFileSpec(action.Param);
        const long files = FieldNumber(count);
        if (!count.empty() && count.size() <= 5 &&
            MakeAttachParam(static_cast<int>(files), spec) == action.Param) {
            v.Add("files", Value::Number(files));
            v.Add("path", TextValue(spec));
        } else {
            v.Add("param", TextValue(action.Param));
        }
    } else if (action.Kind == kActionRunProgram || action.Kind == kActionRunProgramAndWait) {
        v.Add("program", TextValue(action.Param));
    } else {
        v.Add("service", TextValue(action.Param));
    }
    return v;
}

Value WatchValue(const WatchEntry& w) {
    Value v = Value::Object();
    v.Add("number", Value::Number(w.EventNum));
    v.Add("subject", TextValue(w.MailSubject));
    v.Add("log", AnyTextValue(w.LogName));
    v.Add("source", AnyTextValue(w.SourceName));
    v.Add("type", TypeValue(w.Type));
    v.Add("event_id", w.EventID == 0 ? Value::Null() : Value::Number(w.EventID));
    v.Add("category", AnyTextValue(w.Category));
    v.Add("computers", TextValue(w.Computers));
    v.Add("condition", TextValue(w.Condition));
    v.Add("note", TextValue(w.Note));
    Value& actions = v.Add("actions", Value::Array());
    for (const ActionEntry& action : w.ToDoList) actions.Push(ActionValue(action));
    Value& recipients = v.Add("recipients", Value::Array());
    for (const std::string& r : w.AddrList) recipients.Push(TextValue(r));
    if (w.Rule.Kind != WatchRule::kNone) v.Add("rule", RuleValue(w.Rule));
    return v;
}

Value AddressValue(const AddressEntry& a) {
    Value v = Value::Object();
    v.Add("mail", TextValue(a.MailAddr));
    v.Add("computer", TextValue(a.UserName));
    v.Add("name", TextValue(a.Name));
    v.Add("department", TextValue(a.Post));
    v.Add("contact", TextValue(a.Contact));
    return v;
}

}  // namespace

void LoadConfiguration(Configuration& config) {
    LoadSettings(config.settings);
    LoadExtensionSettings(config.extension);
    config.addresses.clear();
    config.watches.clear();
    LoadAddressList(config.addresses);
    LoadWatchList(config.watches);
}

std::string ExportConfiguration(const Configuration& config) {
    Value root = Value::Object();
    root.Add("format", Value::String("quorvik-config"));
    root.Add("version", Value::Number(1));
    const Settings& s = config.settings;
    Value& settings = root.Add("settings", Value::Object());
    settings.Add("interval", Value::Number(s.Interval));
    settings.Add("sender_name", TextValue(s.SenderName));
    settings.Add("mail_address", TextValue(s.MailAddr));
    settings.Add("smtp_server", TextValue(s.SMTPServer));
    settings.Add("smtp_port", Value::Number(s.SMTPPort));
    settings.Add("timeout", Value::Number(s.TimeOut));
    settings.Add("auth", Value::String(kAuthNames[s.AuthType <= 3 ? s.AuthType : 0]));
    settings.Add("user", TextValue(s.UserID));
    settings.Add("log_files", Value::Bool(s.Enable));
    settings.Add("log_folder", TextValue(s.Path));
    settings.Add("log_days", Value::Number(s.Alive));
    const ExtensionSettings& e = config.extension;
    const ExtensionFields ef = FieldsOf(e);
    Value& extension = root.Add("extension", Value::Object());
    extension.Add("resume", Value::Bool(e.Resume));
    extension.Add("resume_limit", Value::Number(e.ResumeLimit));
    extension.Add("spool", Value::Bool(e.Spool));
    extension.Add("spool_hours", Value::Number(e.SpoolHours));
    extension.Add("flood", Value::Bool(e.Flood));
    extension.Add("flood_limit", Value::Number(e.FloodLimit));
    extension.Add("immediate", Value::Bool(e.Immediate));
    extension.Add("journal", Value::Bool(e.Journal));
    extension.Add("journal_folder", TextValue(e.JournalFolder));
    extension.Add("journal_start", Value::String(kStartNames[static_cast<int>(ef.journalStart)]));
    extension.Add("journal_hours", Value::Number(FieldNumber(ef.journalHours)));
    extension.Add("syslog", Value::Bool(e.Syslog));
    extension.Add("syslog_port", Value::Number(e.SyslogPort));
    extension.Add("syslog_bind", TextValue(e.SyslogBind));
    extension.Add("syslog_allow", TextValue(e.SyslogAllow));
    extension.Add("syslog_log", TextValue(e.SyslogLog));
    extension.Add("log_size_mb", Value::Number(e.IngestLogSize));
    Value& addresses = root.Add("addresses", Value::Array());
    for (const auto& a : config.addresses) addresses.Push(AddressValue(*a));
    Value& watches = root.Add("watches", Value::Array());
    for (const auto& w : config.watches) watches.Push(WatchValue(*w));
    return platform::json::Format(root);
}

bool RemoveAddress(const std::string& mailOrComputer, Configuration& config) {
    const auto it =
        std::find_if(config.addresses.begin(), config.addresses.end(), [&](const auto& a) {
            return (!a->MailAddr.empty() && platform::EqualsNoCase(a->MailAddr, mailOrComputer)) ||
                   (!a->UserName.empty() && platform::EqualsNoCase(a->UserName, mailOrComputer));
        });
    if (it == config.addresses.end()) return false;
    const AddressEntry gone = **it;
    config.addresses.erase(it);
    for (auto& w : config.watches) {
        std::erase_if(w->AddrList, [&](const std::string& r) {
            return (!gone.MailAddr.empty() && r == gone.MailAddr) ||
                   (!gone.UserName.empty() && r == gone.UserName);
        });
    }
    return true;
}

bool RemoveWatch(std::int32_t number, Configuration& config) {
    const size_t before = config.watches.size();
    std::erase_if(config.watches, [&](const auto& w) { return w->EventNum == number; });
    return config.watches.size() != before;
}
