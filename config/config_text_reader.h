#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "config/config_text.h"
#include "config/config_text_names.h"
#include "config/list_checks.h"
#include "eventlog/catalog.h"
#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/json.h"

// The reader of one object of the configuration text: its members by key, each fault noted at
// the line of its value. Used by the reader of the whole text alone.
namespace config_text {

using platform::json::Value;
using Type = Value::Type;

// What a dialog says on more than one line, on one.
inline std::string OneLine(std::string message) {
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

}  // namespace config_text
