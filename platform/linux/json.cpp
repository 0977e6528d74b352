#include "platform/json.h"

#include <cerrno>
#include <cstdlib>

namespace platform::json {

Value Value::Bool(bool b) {
    Value v;
    v.type = Type::Bool;
    v.boolean = b;
    return v;
}

Value Value::Number(long long n) {
    Value v;
    v.type = Type::Number;
    v.text = std::to_string(n);
    return v;
}

Value Value::String(std::string utf8) {
    Value v;
    v.type = Type::String;
    v.text = std::move(utf8);
    return v;
}

Value Value::Array() {
    Value v;
    v.type = Type::Array;
    return v;
}

Value Value::Object() {
    Value v;
    v.type = Type::Object;
    return v;
}

const Value* Value::Find(std::string_view key) const {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) return &values[i];
    }
    return nullptr;
}

bool Value::Integer(long long& out) const {
    if (type != Type::Number || text.find_first_of(".eE") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = n;
    return true;
}

Value& Value::Add(std::string key, Value value) {
    keys.push_back(std::move(key));
    values.push_back(std::move(value));
    return values.back();
}

Value& Value::Push(Value value) {
    items.push_back(std::move(value));
    return items.back();
}

namespace {

class Reader {
public:
    Reader(std::string_view text, int maxDepth) : m_text(text), m_maxDepth(maxDepth) {}

    bool Document(Value& out) {
        SkipBlanks();
        if (!ReadValue(out, 0)) return false;
        SkipBlanks();
        if (m_at != m_text.size()) return Fault("text after the end of the value");
        return true;
    }

    std::string error;
    int errorLine = 0;

private:
    bool Fault(const std::string& what) {
        if (error.empty()) {
            error = what;
            errorLine = m_line;
        }
        return false;
    }

    void SkipBlanks() {
        while (m_at < m_text.size()) {
            const char c = m_text[m_at];
            if (c == '\n') {
                ++m_line;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                return;
            }
            ++m_at;
        }
    }

    bool Literal(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word) return Fault("not a JSON value");
        m_at += word.size();
        return true;
    }

    bool ReadValue(Value& out, int depth) {
        out.line = m_line;
        if (m_at >= m_text.size()) return Fault("the text ends where a value should be");
        switch (m_text[m_at]) {
            case '{': return ReadObject(out, depth + 1);
            case '[': return ReadArray(out, depth + 1);
            case '"': out.type = Value::Type::String; return ReadString(out.text);
            case 't':
                out.type = Value::Type::Bool;
                out.boolean = true;
                return Literal("true");
            case 'f': out.type = Value::Type::Bool; return Literal("false");
            case 'n': return Literal("null");
            default: return ReadNumber(out);
        }
    }

    bool ReadObject(Value& out, int depth) {
        if (depth > m_maxDepth) return Fault("nested too deeply");
        out.type = Value::Type::Object;
        ++m_at;
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == '}') {
            ++m_at;
            return true;
        }
        for (;;) {
            SkipBlanks();
            if (m_at >= m_text.size() || m_text[m_at] != '"') return Fault("a key expected");
            const int keyLine = m_line;
            std::string key;
            if (!ReadString(key)) return false;
            if (out.Find(key)) {
                m_line = keyLine;
                return Fault("the key \"" + key + "\" appears twice");
            }
            SkipBlanks();
            if (m_at >= m_text.size() || m_text[m_at] != ':') return Fault("':' expected");
            ++m_at;
            SkipBlanks();
            Value& value = out.Add(std::move(key), Value());
            if (!ReadValue(value, depth)) return false;
            SkipBlanks();
            if (m_at < m_text.size() && m_text[m_at] == ',') {
                ++m_at;
                continue;
            }
            if (m_at < m_text.size() && m_text[m_at] == '}') {
                ++m_at;
                return true;
            }
            return Fault("',' or '}' expected");
        }
    }

    bool ReadArray(Value& out, int depth) {
        if (depth > m_maxDepth) return Fault("nested too deeply");
        out.type = Value::Type::Array;
        ++m_at;
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == ']') {
            ++m_at;
            return true;
        }
        for (;;) {
            SkipBlanks();
            if (!ReadValue(out.Push(Value()), depth)) return false;
            SkipBlanks();
            if (m_at < m_text.size() && m_text[m_at] == ',') {
                ++m_at;
                continue;
            }
            if (m_at < m_text.size() && m_text[m_at] == ']') {
                ++m_at;
                return true;
            }
            return Fault("',' or ']' expected");
        }
    }

    bool ReadNumber(Value& out) {
        const size_t start = m_at;
        auto digits = [&] {
            const size_t from = m_at;
            while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') ++m_at;
            return m_at - from;
        };
        if (m_at < m_text.size() && m_text[m_at] == '-') ++m_at;
        const size_t intStart = m_at;
        const size_t whole = digits();
        if (whole == 0 || (whole > 1 && m_text[intStart] == '0')) return Fault("not a JSON value");
        if (m_at < m_text.size() && m_text[m_at] == '.') {
            ++m_at;
            if (digits() == 0) return Fault("a digit expected after '.'");
        }
        if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
            ++m_at;
            if (m_at < m_text.size() && (m_text[m_at] == '+' || m_text[m_at] == '-')) ++m_at;
            if (digits() == 0) return Fault("a digit expected in the exponent");
        }
        out.type = Value::Type::Number;
        out.text.assign(m_text.substr(start, m_at - start));
        return true;
    }

    static void AppendUtf8(std::string& out, char32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    bool Hex4(char32_t& out) {
        if (m_at + 4 > m_text.size()) return Fault("four hexadecimal digits expected after \\u");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_at++];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return Fault("four hexadecimal digits expected after \\u");
            out = out * 16 + static_cast<char32_t>(d);
        }
        return true;
    }

    // One UTF-8 character as it stands in the text, checked to be well formed.
    bool CopyUtf8(std::string& out) {
        const auto b = static_cast<unsigned char>(m_text[m_at]);
        const size_t length = b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
        if (length == 0 || m_at + length > m_text.size()) return Fault("the text is not UTF-8");
        char32_t c = b & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(m_text[m_at + i]);
            if ((next & 0xC0) != 0x80) return Fault("the text is not UTF-8");
            c = (c << 6) | (next & 0x3F);
        }
        if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
            (length == 4 && (c < 0x10000 || c > 0x10FFFF))) {
            return Fault("the text is not UTF-8");
        }
        out.append(m_text.substr(m_at, length));
        m_at += length;
        return true;
    }

    bool ReadString(std::string& out) {
        ++m_at;  // the opening quote
        for (;;) {
            if (m_at >= m_text.size()) return Fault("a string without its closing quote");
            const auto c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c < 0x20) return Fault("a control character in a string (write it escaped)");
            if (c >= 0x80) {
                if (!CopyUtf8(out)) return false;
                continue;
            }
            ++m_at;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_at >= m_text.size()) return Fault("a string without its closing quote");
            const char e = m_text[m_at++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    char32_t unit;
                    if (!Hex4(unit)) return false;
                    if (unit >= 0xDC00 && unit <= 0xDFFF) return Fault("a lone surrogate in \\u");
                    if (unit >= 0xD800 && unit <= 0xDBFF) {
                        char32_t low;
                        if (m_text.substr(m_at, 2) != "\\u") {
                            return Fault("a lone surrogate in \\u");
                        }
                        m_at += 2;
                        if (!Hex4(low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return Fault("a lone surrogate in \\u");
                        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    }
                    AppendUtf8(out, unit);
                    break;
                }
                default: return Fault("an unknown escape in a string");
            }
        }
    }

    std::string_view m_text;
    int m_maxDepth;
    size_t m_at = 0;
    int m_line = 1;
};

bool Plain(const Value& v) { return v.type != Value::Type::Array && v.type != Value::Type::Object; }

void FormatInto(const Value& v, int indent, std::string& out) {
    switch (v.type) {
        case Value::Type::Null: out += "null"; return;
        case Value::Type::Bool: out += v.boolean ? "true" : "false"; return;
        case Value::Type::Number: out += v.text; return;
        case Value::Type::String: out += Quote(v.text); return;
        case Value::Type::Array: {
            bool plain = true;
            for (const Value& item : v.items) plain = plain && Plain(item);
            out += '[';
            for (size_t i = 0; i < v.items.size(); ++i) {
                if (plain) {
                    if (i > 0) out += ", ";
                } else {
                    out += i > 0 ? ",\n" : "\n";
                    out.append(static_cast<size_t>(indent + 2), ' ');
                }
                FormatInto(v.items[i], indent + 2, out);
            }
            if (!plain && !v.items.empty()) {
                out += '\n';
                out.append(static_cast<size_t>(indent), ' ');
            }
            out += ']';
            return;
        }
        case Value::Type::Object: {
            out += '{';
            for (size_t i = 0; i < v.keys.size(); ++i) {
                out += i > 0 ? ",\n" : "\n";
                out.append(static_cast<size_t>(indent + 2), ' ');
                out += Quote(v.keys[i]);
                out += ": ";
                FormatInto(v.values[i], indent + 2, out);
            }
            if (!v.keys.empty()) {
                out += '\n';
                out.append(static_cast<size_t>(indent), ' ');
            }
            out += '}';
            return;
        }
    }
}

}  // namespace

bool Parse(std::string_view text, Value& out, std::string& error, int& errorLine, int maxDepth) {
    Reader reader(text, maxDepth);
    out = Value();
    if (reader.Document(out)) return true;
    error = reader.error;
    errorLine = reader.errorLine;
    return false;
}

std::string Format(const Value& value) {
    std::string out;
    FormatInto(value, 0, out);
    out += '\n';
    return out;
}

std::string Quote(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != '"' && c != '\\') {
            out += ch;
            continue;
        }
        out += '\\';
        switch (c) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            case '\t': out += 't'; break;
            default: {
                static const char kDigits[] = "0123456789abcdef";
                out += "u00";
                out += kDigits[c >> 4];
                out += kDigits[c & 15];
            }
        }
    }
    out += '"';
    return out;
}

}  // namespace platform::json
