#include "config/config_text.h"

#include <algorithm>
#include <initializer_list>
#include <map>

#include "config/list_checks.h"
#include "config/settings_checks.h"
#include "eventlog/catalog.h"
#include "expr/parser.h"
#include "platform/bytes.h"
#include "platform/codepage.h"

using platform::json::Value;

namespace {

using Type = Value::Type;

const char* const kTypeNames[] = {"any",         "error",         "warning",
                                  "information", "audit-success", "audit-failure"};
const char* const kAuthNames[] = {"none", "login", "cram-md5", "plain"};
const char* const kKindNames[] = {"attach",          "run",          "run-and-wait",
                                  "start-service",   "stop-service", "pause-service",
                                  "continue-service"};
const char* const kDayNames[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
const char* const kStartNames[] = {"now", "hours", "all"};

std::string Trimmed(const std::string& text) { return std::string(platform::TrimBlanks(text)); }

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

std::string ClockText(int minutes) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", minutes / 60 % 100, minutes % 60);
    return text;
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

// What a dialog says on more than one line, on one.
std::string OneLine(std::string message) {
    for (size_t at; (at = message.find("\r\n\r\n")) != std::string::npos;) {
        message.replace(at, 4, " ");
    }
    for (size_t at; (at = message.find("\r\n")) != std::string::npos;) message.replace(at, 2, "");
    return message;
}

// The members of one JSON object, read with the faults it holds noted at their lines.
class Members {
public:
    Members(const Value& object, const char* what, std::initializer_list<const char*> known,
            std::vector<ConfigNote>& faults)
        : m_object(object), m_faults(faults) {
        if (object.type != Type::Object) {
            Fault(object.line, std::string(what) + ": an object {...} expected");
            return;
        }
        for (size_t i = 0; i < object.keys.size(); ++i) {
            const std::string& key = object.keys[i];
            const Value& value = object.values[i];
            if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; })) {
                Fault(value.line, "unknown key \"" + platform::Utf8ToSjis(key) + "\" in " + what);
            }
        }
    }

    const Value* Get(const char* key) const {
        return m_object.type == Type::Object ? m_object.Find(key) : nullptr;
    }
    bool Has(const char* key) const { return Get(key) != nullptr; }
    int Line(const char* key) const {
        const Value* v = Get(key);
        return v ? v->line : m_object.line;
    }
    void Fault(int line, std::string message) {
        m_faults.push_back({line, OneLine(std::move(message))});
    }

    // A text; missing: the default; null: the any-value where one is allowed.
    void Text(const char* key, std::string& out, bool anyAllowed = false) {
        const Value* v = Get(key);
        if (!v) return;
        if (v->IsNull() && anyAllowed) {
            out = AnyValueText();
        } else if (v->type == Type::String) {
            std::string bytes = platform::Utf8ToSjis(v->text);
            if (std::count(bytes.begin(), bytes.end(), '?') !=
                std::count(v->text.begin(), v->text.end(), '?')) {
                Fault(v->line, "\"" + std::string(key) + "\"" +
                                   sjis(u8"に、シフトJISで表せない文字が入力されています。"));
                return;
            }
            out = std::move(bytes);
        } else if (v->type == Type::Object && v->keys.size() == 1 && v->Find("cp932") &&
                   v->Find("cp932")->type == Type::String) {
            if (!platform::FromHex(v->Find("cp932")->text, out)) {
                Fault(v->line, "\"" + std::string(key) + "\": cp932 takes hexadecimal bytes");
            }
        } else {
            Fault(v->line, "\"" + std::string(key) + "\": a string expected" +
                               (anyAllowed ? " (or null for any)" : ""));
        }
    }

    // A whole number of at most the digits the dialog's field holds, as that field's text.
    void Digits(const char* key, std::string& out, int maxDigits) {
        const Value* v = Get(key);
        if (!v) return;
        long long n = 0;
        if (!v->Integer(n) || n < 0 || std::to_string(n).size() > static_cast<size_t>(maxDigits)) {
            Fault(v->line, "\"" + std::string(key) + "\": a whole number of at most " +
                               std::to_string(maxDigits) + " digits expected");
            return;
        }
        out = std::to_string(n);
    }

    void Bool(const char* key, bool& out) {
        const Value* v = Get(key);
        if (!v) return;
        if (v->type != Type::Bool) {
            Fault(v->line, "\"" + std::string(key) + "\": true or false expected");
            return;
        }
        out = v->boolean;
    }

    // One of the names (its index), or with numbers allowed any whole number in the range.
    template <size_t N>
    void Choice(const char* key, const char* const (&names)[N], long long& out, long long low = 1,
                long long high = 0) {
        const Value* v = Get(key);
        if (!v) return;
        long long n = 0;
        if (v->type == Type::String) {
            for (size_t i = 0; i < N; ++i) {
                if (v->text == names[i]) {
                    out = static_cast<long long>(i);
                    return;
                }
            }
        } else if (low <= high && v->Integer(n) && n >= low && n <= high) {
            out = n;
            return;
        }
        std::string list;
        for (size_t i = 0; i < N; ++i) list += (i ? ", " : "") + std::string(names[i]);
        Fault(v->line, "\"" + std::string(key) + "\": one of " + list + " expected");
    }

    // An event identifier: null or 0 for any, else a whole number (the checks judge its range).
    void EventId(const char* key, std::int32_t& out) {
        const Value* v = Get(key);
        if (!v) return;
        long long n = 0;
        if (v->IsNull()) {
            out = 0;
        } else if (v->Integer(n) && n >= 0 && n <= 0x7FFFFFFF) {
            out = static_cast<std::int32_t>(n);
        } else {
            Fault(v->line, "\"" + std::string(key) + "\": an event id or null expected");
        }
    }

    // An event type: a name, or the code as stored.
    void EventType(const char* key, std::int16_t& out) {
        long long index = -1;
        const Value* v = Get(key);
        if (v && v->type != Type::String) {
            long long code = 0;
            if (v->Integer(code) && code >= -32768 && code <= 32767) {
                out = static_cast<std::int16_t>(code);
                return;
            }
        }
        Choice(key, kTypeNames, index);
        if (index >= 0) out = TypeCodeOfIndex(static_cast<int>(index));
    }

    const Value& Object() const { return m_object; }

private:
    const Value& m_object;
    std::vector<ConfigNote>& m_faults;
};

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
