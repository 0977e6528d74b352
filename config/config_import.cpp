#include <algorithm>
#include <initializer_list>
#include <map>

#include "config/config_text.h"
#include "config/config_text_names.h"
#include "config/config_text_reader.h"
#include "config/list_checks.h"
#include "config/settings_checks.h"
#include "eventlog/catalog.h"
#include "expr/parser.h"
#include "platform/bytes.h"
#include "platform/codepage.h"

// Reading the configuration text: each value where it stands, through the dialogs' checks.

using platform::json::Value;
using namespace config_text;

namespace {

using Type = Value::Type;

// Where each key of an entry was, for the checks made after the whole list is read.
struct Lines {
    int entry = 0;
    std::map<std::string, int> keys;
    std::vector<int> actions;
    int rule = 0;
    std::map<std::string, int> ruleKeys;

    int Of(const std::string& key) const {
        const auto it = keys.find(key);
        return it == keys.end() ? entry : it->second;
    }
    int OfRule(const std::string& key) const {
        const auto it = ruleKeys.find(key);
        return it == ruleKeys.end() ? (rule ? rule : entry) : it->second;
    }
};

void NoteLines(const Members& m, std::map<std::string, int>& lines) {
    const Value& object = m.Object();
    for (size_t i = 0; i < object.keys.size(); ++i) lines[object.keys[i]] = object.values[i].line;
}

void ReadRule(const Value& object, WatchRule& rule, Lines& lines, std::vector<ConfigNote>& faults) {
    Members m(object, "a rule",
              {"kind", "every", "from", "by", "days", "grace", "report_matches", "log", "source",
               "type", "event_id", "condition", "renotify"},
              faults);
    lines.rule = object.line;
    NoteLines(m, lines.ruleKeys);
    const Value* kind = m.Get("kind");
    rule = WatchRule();
    if (!kind || kind->type != Type::String ||
        (kind->text != "absence" && kind->text != "recovery" && kind->text != "none")) {
        m.Fault(m.Line("kind"), "\"kind\" of a rule: absence, recovery or none expected");
        return;
    }
    if (kind->text == "none") return;
    std::string digits = "0";
    m.Digits("renotify", digits, 5);
    rule.Renotify = static_cast<std::int32_t>(FieldNumber(digits));
    if (kind->text == "absence") {
        rule.Kind = WatchRule::kAbsence;
        for (const char* key : {"log", "source", "type", "event_id", "condition"}) {
            if (m.Has(key)) m.Fault(m.Line(key), "\"" + std::string(key) + "\" is for recovery");
        }
        if (m.Has("every") == (m.Has("from") || m.Has("by"))) {
            m.Fault(object.line, "an absence rule takes \"every\", or \"from\" and \"by\"");
        }
        digits = std::to_string(rule.Grace);
        m.Digits("grace", digits, 4);
        rule.Grace = static_cast<std::int32_t>(FieldNumber(digits));
        m.Bool("report_matches", rule.ReportMatches);
        if (m.Has("every")) {
            digits = "0";
            m.Digits("every", digits, 5);
            rule.Every = static_cast<std::int32_t>(FieldNumber(digits));
            return;
        }
        // Times are checked with the tab's own messages; one that is none stays -1 for them.
        for (auto [key, field] : {std::pair{"from", &rule.From}, std::pair{"by", &rule.By}}) {
            const Value* v = m.Get(key);
            *field = v && v->type == Type::String ? ClockMinutes(v->text) : -1;
        }
        if (const Value* days = m.Get("days")) {
            rule.Days = 0;
            if (days->type != Type::Array) m.Fault(days->line, "\"days\": an array expected");
            for (const Value& day : days->items) {
                const auto* name = std::find_if(std::begin(kDayNames), std::end(kDayNames),
                                                [&](const char* n) { return day.text == n; });
                if (day.type != Type::String || name == std::end(kDayNames)) {
                    m.Fault(day.line, "a day: sun, mon, tue, wed, thu, fri or sat expected");
                } else {
                    rule.Days |= 1 << (name - std::begin(kDayNames));
                }
            }
        }
        return;
    }
    rule.Kind = WatchRule::kRecovery;
    for (const char* key : {"every", "from", "by", "days", "grace", "report_matches"}) {
        if (m.Has(key)) m.Fault(m.Line(key), "\"" + std::string(key) + "\" is for absence");
    }
    rule.LogName = rule.SourceName = AnyValueText();
    m.Text("log", rule.LogName, true);
    m.Text("source", rule.SourceName, true);
    m.EventType("type", rule.Type);
    m.EventId("event_id", rule.EventID);
    m.Text("condition", rule.Condition);
}

void ReadAction(const Value& object, ActionEntry& action, std::vector<ConfigNote>& faults) {
    Members m(object, "an action", {"kind", "files", "path", "param", "program", "service"},
              faults);
    long long kind = 0;
    const size_t before = faults.size();
    m.Choice("kind", kKindNames, kind, -128, 127);
    if (!m.Has("kind")) m.Fault(object.line, "an action without \"kind\"");
    if (faults.size() > before) return;
    action.Kind = static_cast<std::int8_t>(kind);
    const char* own = action.Kind == kActionAttachFiles ? nullptr
                      : action.Kind == kActionRunProgram || action.Kind == kActionRunProgramAndWait
                          ? "program"
                          : "service";
    for (const char* key : {"files", "path", "param", "program", "service"}) {
        const bool attachKey = std::string(key) == "files" || std::string(key) == "path" ||
                               std::string(key) == "param";
        const bool fits = own ? std::string(key) == own : attachKey;
        if (m.Has(key) && !fits) {
            m.Fault(m.Line(key), "\"" + std::string(key) + "\" does not go with this kind");
        }
    }
    if (own) {
        m.Text(own, action.Param);
        return;
    }
    if (m.Has("param")) {
        if (m.Has("files") || m.Has("path")) {
            m.Fault(m.Line("param"), "\"param\" stands instead of \"files\" and \"path\"");
        }
        m.Text("param", action.Param);
        return;
    }
    std::string files = "1", path;
    m.Digits("files", files, 5);
    m.Text("path", path);
    action.Param = MakeAttachParam(static_cast<int>(FieldNumber(files)), path);
}

void ReadWatch(const Value& object, WatchEntry& w, Lines& lines, std::vector<ConfigNote>& faults) {
    Members m(object, "a watch entry",
              {"number", "subject", "log", "source", "type", "event_id", "category", "computers",
               "condition", "note", "actions", "recipients", "rule"},
              faults);
    lines.entry = object.line;
    NoteLines(m, lines.keys);
    w.LogName = w.SourceName = w.Category = AnyValueText();
    w.EventNum = -1;  // none given
    if (const Value* number = m.Get("number")) {
        long long n = 0;
        if (!number->Integer(n) || n < 0 || n > 999999) {
            m.Fault(number->line, "\"number\": a whole number of at most 6 digits expected");
        }
        w.EventNum = static_cast<std::int32_t>(n);
    }
    m.Text("subject", w.MailSubject);
    m.Text("log", w.LogName, true);
    m.Text("source", w.SourceName, true);
    m.EventType("type", w.Type);
    m.EventId("event_id", w.EventID);
    m.Text("category", w.Category, true);
    m.Text("computers", w.Computers);
    m.Text("condition", w.Condition);
    m.Text("note", w.Note);
    if (const Value* actions = m.Get("actions")) {
        if (actions->type != Type::Array) m.Fault(actions->line, "\"actions\": an array expected");
        for (const Value& item : actions->items) {
            w.ToDoList.emplace_back();
            lines.actions.push_back(item.line);
            ReadAction(item, w.ToDoList.back(), faults);
        }
    }
    if (const Value* recipients = m.Get("recipients")) {
        if (recipients->type != Type::Array) {
            m.Fault(recipients->line, "\"recipients\": an array expected");
        }
        for (const Value& item : recipients->items) {
            Value holder = Value::Object();
            holder.line = item.line;
            holder.Add("recipient", item);
            Members one(holder, "recipients", {"recipient"}, faults);
            std::string text;
            one.Text("recipient", text);
            if (!text.empty()) w.AddrList.push_back(text);
        }
    }
    if (const Value* rule = m.Get("rule")) ReadRule(*rule, w.Rule, lines, faults);
}

void ReadAddress(const Value& object, AddressEntry& a, std::map<std::string, int>& lines,
                 std::vector<ConfigNote>& faults) {
    Members m(object, "an address", {"mail", "computer", "name", "department", "contact"}, faults);
    NoteLines(m, lines);
    lines[""] = object.line;
    m.Text("mail", a.MailAddr);
    m.Text("computer", a.UserName);
    m.Text("name", a.Name);
    m.Text("department", a.Post);
    m.Text("contact", a.Contact);
}

int LineIn(const std::map<std::string, int>& lines, const char* key) {
    const auto it = lines.find(key);
    return it != lines.end() ? it->second : lines.at("");
}

// The address dialog's checks on one entry, against those before it.
void CheckAddress(const AddressEntry& a, const std::map<std::string, int>& lines,
                  const AddressList& before, std::vector<ConfigNote>& faults) {
    static const char* const kKeys[] = {"mail", "computer", "name", "department", "contact"};
    AddressEntry trimmed{Trimmed(a.Post), Trimmed(a.Name), Trimmed(a.MailAddr), Trimmed(a.UserName),
                         Trimmed(a.Contact)};
    if (auto problem = CheckAddressInput(trimmed)) {
        faults.push_back(
            {LineIn(lines, kKeys[static_cast<int>(problem->field)]), OneLine(problem->message)});
        return;
    }
    switch (FindAddressDuplicate(before, a, nullptr)) {
        case AddressDuplicate::MailAddr:
            faults.push_back({LineIn(lines, "mail"),
                              sjis(u8"入力されたメールアドレスは、すでに登録されています。")});
            break;
        case AddressDuplicate::UserName:
            faults.push_back({LineIn(lines, "computer"),
                              sjis(u8"入力されたユーザー名は、すでに登録されています。")});
            break;
        case AddressDuplicate::None: break;
    }
}

void CheckCondition(const std::string& condition, int line, std::vector<ConfigNote>& faults) {
    std::string message;
    const int position = ::CheckCondition(Trimmed(condition), &message);
    if (position == 0) return;
    faults.push_back({line, sjis(u8"条件式エラー: ") + OneLine(message) + " (" +
                                std::to_string(position) + sjis(u8"バイト目)")});
}

// The watch entry editor's checks, in its order, on one entry of the list.
void CheckWatch(const WatchEntry& w, const Lines& lines, const Configuration& config,
                std::vector<ConfigNote>& faults, std::vector<ConfigNote>& warnings) {
    static const char* const kKeys[] = {"number",   "subject",  "log",       "source",
                                        "event_id", "category", "condition", "recipients"};
    WatchFields f;
    f.eventNum = w.EventNum >= 0 ? std::to_string(w.EventNum) : std::string();
    f.mailSubject = Trimmed(w.MailSubject);
    f.logName = Trimmed(w.LogName);
    f.sourceName = Trimmed(w.SourceName);
    f.eventId = EventIDText(static_cast<std::uint32_t>(w.EventID));
    f.category = Trimmed(w.Category);
    f.condition = Trimmed(w.Condition);
    f.note = Trimmed(w.Note);
    f.computers = w.Computers;
    f.typeIndex = TypeIndex(w.Type);
    f.anyRecipient = !w.AddrList.empty();
    if (auto problem = CheckWatchFields(f, config.watches, &w)) {
        faults.push_back(
            {lines.Of(kKeys[static_cast<int>(problem->field)]), OneLine(problem->message)});
        return;
    }
    const size_t before = faults.size();
    CheckCondition(w.Condition, lines.Of("condition"), faults);
    if (faults.size() > before) return;
    if (!f.anyRecipient) {
        faults.push_back(
            {lines.Of("recipients"), sjis(u8"メール受信者が1人も選択されていません。")});
        return;
    }
    // The editor offers only the address list's entries; another text still works (a mail
    // address, or a computer name), so it is said but taken.
    for (const std::string& r : w.AddrList) {
        const bool listed =
            std::any_of(config.addresses.begin(), config.addresses.end(), [&](const auto& a) {
                return (!a->MailAddr.empty() && a->MailAddr == r) ||
                       (!a->UserName.empty() && a->UserName == r);
            });
        if (!listed) {
            warnings.push_back(
                {lines.Of("recipients"),
                 sjis(u8"メール受信者「") + r + sjis(u8"」は、アドレスリストにありません。")});
        }
    }
    const WatchRule& rule = w.Rule;
    RuleFields r;
    r.kind = rule.Kind;
    r.daily = rule.Kind == WatchRule::kAbsence && rule.Every == 0;
    r.every = std::to_string(rule.Every);
    r.from = rule.From >= 0 ? ClockText(rule.From) : std::string();
    r.by = rule.By >= 0 ? ClockText(rule.By) : std::string();
    r.days = rule.Days;
    r.renotify = std::to_string(rule.Renotify);
    r.grace = std::to_string(rule.Grace);
    r.logName = Trimmed(rule.LogName);
    r.sourceName = Trimmed(rule.SourceName);
    r.eventId = EventIDText(static_cast<std::uint32_t>(rule.EventID));
    r.condition = Trimmed(rule.Condition);
    r.typeIndex = TypeIndex(rule.Type);
    static const char* const kRuleKeys[] = {"every", "from",   "by",       "days",    "grace",
                                            "log",   "source", "event_id", "renotify"};
    if (auto problem = CheckRuleFields(r, f)) {
        faults.push_back(
            {lines.OfRule(kRuleKeys[static_cast<int>(problem->field)]), OneLine(problem->message)});
        return;
    }
    if (rule.Kind == WatchRule::kRecovery) {
        CheckCondition(rule.Condition, lines.OfRule("condition"), faults);
    }
    for (size_t i = 0; i < w.ToDoList.size(); ++i) {
        if (auto problem = CheckActionFields(FieldsOf(w.ToDoList[i]))) {
            faults.push_back({i < lines.actions.size() ? lines.actions[i] : lines.entry,
                              OneLine(problem->message)});
        }
    }
}

void ReadSettings(const Value& object, Configuration& config, std::vector<ConfigNote>& faults,
                  std::vector<ConfigNote>& warnings) {
    Members m(object, "settings",
              {"interval", "sender_name", "mail_address", "smtp_server", "smtp_port", "timeout",
               "auth", "user", "log_files", "log_folder", "log_days"},
              faults);
    SettingsFields f = FieldsOf(config.settings);
    m.Digits("interval", f.interval, 2);
    m.Text("sender_name", f.senderName);
    m.Text("mail_address", f.mailAddr);
    m.Text("smtp_server", f.server);
    m.Digits("smtp_port", f.port, 5);
    m.Digits("timeout", f.timeOut, 3);
    long long auth = f.authType;
    m.Choice("auth", kAuthNames, auth);
    f.authType = static_cast<int>(auth);
    m.Text("user", f.userId);
    m.Bool("log_files", f.logEnabled);
    m.Text("log_folder", f.path);
    m.Digits("log_days", f.aliveDays, 2);
    // Trimmed as the dialog trims its boxes before the checks.
    for (std::string* text : {&f.senderName, &f.mailAddr, &f.server, &f.userId, &f.path}) {
        *text = Trimmed(*text);
    }
    static const char* const kKeys[] = {"interval",   "sender_name", "mail_address", "smtp_server",
                                        "smtp_port",  "timeout",     "user",         "auth",
                                        "log_folder", "log_days"};
    auto fault = [&](const FieldProblem& p) {
        faults.push_back({m.Line(kKeys[static_cast<int>(p.field)]), OneLine(p.message)});
    };
    if (auto problem = CheckInterval(f)) return fault(*problem);
    if (!SmtpComplete(f)) {
        warnings.push_back(
            {object.line, sjis(u8"SMTP情報が入力されていません。監視イベント発生時にメールの送信を"
                               u8"行うことができません。")});
    }
    if (auto problem = CheckLogFolder(f)) return fault(*problem);
    config.settings = SettingsOf(f);
}

void ReadExtension(const Value& object, Configuration& config, std::vector<ConfigNote>& faults) {
    Members m(object, "extension",
              {"resume", "resume_limit", "spool", "spool_hours", "flood", "flood_limit",
               "immediate", "journal", "journal_folder", "journal_start", "journal_hours", "syslog",
               "syslog_port", "syslog_bind", "syslog_allow", "syslog_log", "log_size_mb"},
              faults);
    ExtensionFields f = FieldsOf(config.extension);
    m.Bool("resume", f.resume);
    m.Digits("resume_limit", f.resumeLimit, 6);
    m.Bool("spool", f.spool);
    m.Digits("spool_hours", f.spoolHours, 3);
    m.Bool("flood", f.flood);
    m.Digits("flood_limit", f.floodLimit, 4);
    m.Bool("immediate", f.immediate);
    m.Bool("journal", f.journal);
    m.Text("journal_folder", f.journalFolder);
    long long start = static_cast<long long>(f.journalStart);
    m.Choice("journal_start", kStartNames, start);
    f.journalStart = static_cast<JournalStart>(start);
    m.Digits("journal_hours", f.journalHours, 5);
    m.Bool("syslog", f.syslog);
    m.Digits("syslog_port", f.syslogPort, 5);
    m.Text("syslog_bind", f.syslogBind);
    m.Text("syslog_allow", f.syslogAllow);
    m.Text("syslog_log", f.syslogLog);
    m.Digits("log_size_mb", f.logSize, 4);
    static const char* const kKeys[] = {
        "resume_limit", "spool_hours", "flood_limit",  "journal_folder", "journal_hours",
        "syslog_port",  "syslog_bind", "syslog_allow", "syslog_log",     "log_size_mb"};
    if (auto problem = CheckExtension(f)) {
        faults.push_back(
            {m.Line(kKeys[static_cast<int>(problem->field)]), OneLine(problem->message)});
        return;
    }
    config.extension = ExtensionOf(f, config.extension);
}

bool ParseText(std::string_view json, Value& out, std::vector<ConfigNote>& faults) {
    std::string error;
    int line = 0;
    if (platform::json::Parse(json, out, error, line)) return true;
    faults.push_back({line, "not JSON: " + error});
    return false;
}

}  // namespace

bool ImportConfiguration(std::string_view json, Configuration& config, ConfigSections& read,
                         std::vector<ConfigNote>& faults, std::vector<ConfigNote>& warnings) {
    read = ConfigSections();
    Value root;
    if (!ParseText(json, root, faults)) return false;
    Members top(root, "the configuration",
                {"format", "version", "settings", "extension", "addresses", "watches"}, faults);
    if (const Value* format = top.Get("format");
        format && (format->type != Type::String || format->text != "quorvik-config")) {
        top.Fault(format->line, "\"format\": \"quorvik-config\" expected");
    }
    if (const Value* version = top.Get("version")) {
        long long v = 0;
        if (!version->Integer(v) || v != 1) top.Fault(version->line, "\"version\": 1 expected");
    }
    if (const Value* settings = top.Get("settings")) {
        read.settings = true;
        ReadSettings(*settings, config, faults, warnings);
    }
    if (const Value* extension = top.Get("extension")) {
        read.extension = true;
        ReadExtension(*extension, config, faults);
    }
    auto array = [&](const char* key) -> const Value* {
        const Value* v = top.Get(key);
        if (v && v->type != Type::Array) {
            top.Fault(v->line, "\"" + std::string(key) + "\": an array expected");
            return nullptr;
        }
        return v;
    };
    if (const Value* addresses = array("addresses")) {
        read.addresses = true;
        AddressList list;
        for (const Value& item : addresses->items) {
            auto entry = std::make_unique<AddressEntry>();
            std::map<std::string, int> lines;
            const size_t before = faults.size();
            ReadAddress(item, *entry, lines, faults);
            if (faults.size() == before) CheckAddress(*entry, lines, list, faults);
            list.push_back(std::move(entry));
        }
        config.addresses = std::move(list);
    }
    if (const Value* watches = array("watches")) {
        read.watches = true;
        WatchList list;
        std::vector<Lines> lines(watches->items.size());
        std::vector<bool> whole;
        for (size_t i = 0; i < watches->items.size(); ++i) {
            const size_t before = faults.size();
            list.push_back(std::make_unique<WatchEntry>());
            ReadWatch(watches->items[i], *list.back(), lines[i], faults);
            whole.push_back(faults.size() == before);
        }
        config.watches = std::move(list);
        for (size_t i = 0; i < config.watches.size(); ++i) {
            if (whole[i]) CheckWatch(*config.watches[i], lines[i], config, faults, warnings);
        }
    }
    std::stable_sort(faults.begin(), faults.end(),
                     [](const ConfigNote& a, const ConfigNote& b) { return a.line < b.line; });
    return faults.empty();
}

bool AddAddress(std::string_view json, Configuration& config, std::vector<ConfigNote>& faults) {
    Value object;
    if (!ParseText(json, object, faults)) return false;
    auto entry = std::make_unique<AddressEntry>();
    std::map<std::string, int> lines;
    ReadAddress(object, *entry, lines, faults);
    if (!faults.empty()) return false;
    CheckAddress(*entry, lines, config.addresses, faults);
    if (!faults.empty()) return false;
    config.addresses.push_back(std::move(entry));
    return true;
}

bool AddWatch(std::string_view json, Configuration& config, std::vector<ConfigNote>& faults,
              std::vector<ConfigNote>& warnings) {
    Value object;
    if (!ParseText(json, object, faults)) return false;
    auto entry = std::make_unique<WatchEntry>();
    Lines lines;
    ReadWatch(object, *entry, lines, faults);
    if (!faults.empty()) return false;
    if (!object.Find("number")) entry->EventNum = NextWatchNumber(config.watches);
    config.watches.push_back(std::move(entry));
    CheckWatch(*config.watches.back(), lines, config, faults, warnings);
    if (faults.empty()) return true;
    config.watches.pop_back();
    return false;
}
