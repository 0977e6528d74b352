// The system's message formatting: inserts with their printf-style formats, escapes and line
// breaks, on CP932 texts.
#include <cstdio>

#include "platform/codepage.h"
#include "platform/machine/msgfile.h"

namespace platform {
namespace {

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Appends one insert, with its printf-style format when it has one.
void AppendInsert(std::string& out, const std::string& arg, std::string_view spec) {
    if (spec.empty()) {
        out += arg;
        return;
    }
    // Flags, width and precision apply to the text; the arguments are texts, so the
    // conversion is always a string one.
    std::string fmt = "%";
    size_t i = 0;
    while (i < spec.size() && std::string_view("0+- #").find(spec[i]) != std::string_view::npos)
        fmt += spec[i++];
    size_t digits = 0;
    while (i < spec.size() && spec[i] >= '0' && spec[i] <= '9' && digits < 4)
        fmt += spec[i++], ++digits;
    if (i < spec.size() && spec[i] == '.') {
        fmt += spec[i++];
        digits = 0;
        while (i < spec.size() && spec[i] >= '0' && spec[i] <= '9' && digits < 4)
            fmt += spec[i++], ++digits;
    }
    fmt += 's';
    int n = std::snprintf(nullptr, 0, fmt.c_str(), arg.c_str());
    if (n <= 0) return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), fmt.c_str(), arg.c_str());
    text.resize(static_cast<size_t>(n));
    out += text;
}

}  // namespace

bool FormatMessageFromString(std::string_view f, bool ignoreInserts,
                             const std::vector<std::string>* args, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < f.size()) {
        const char c = f[i];
        if (c == '%') {
            if (i + 1 >= f.size()) {
                out.clear();
                return Fail(kErrorInvalidParameter);
            }
            const char next = f[i + 1];
            if (next >= '1' && next <= '9') {
                if (ignoreInserts) {
                    out += '%';
                    out += next;
                    i += 2;
                    continue;
                }
                size_t insert = static_cast<size_t>(next - '0');
                i += 2;
                if (i < f.size() && f[i] >= '0' && f[i] <= '9')
                    insert = insert * 10 + static_cast<size_t>(f[i++] - '0');
                std::string_view spec;
                if (i < f.size() && f[i] == '!') {
                    // A format without its closing "!" makes the whole message fail, as the
                    // system's formatting does.
                    const size_t close = f.find('!', i + 1);
                    if (close == std::string_view::npos) {
                        out.clear();
                        return Fail(kErrorInvalidParameter);
                    }
                    spec = f.substr(i + 1, close - i - 1);
                    i = close + 1;
                }
                if (!args || insert > args->size()) {
                    out.clear();
                    return Fail(kErrorInvalidParameter);
                }
                AppendInsert(out, (*args)[insert - 1], spec);
                continue;
            }
            i += 2;
            switch (next) {
                case 'n': out += "\r\n"; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case '0':
                    i = f.size();  // the output ends here
                    break;
                default:
                    if (ignoreInserts) out += '%';
                    out += next;
                    // A double-byte character after the % is one character.
                    if (IsDBCSLeadByte(static_cast<unsigned char>(next)) && i < f.size())
                        out += f[i++];
                    break;
            }
        } else if (c == '\r' || c == '\n') {
            out += "\r\n";
            i += (c == '\r' && i + 1 < f.size() && f[i + 1] == '\n') ? 2 : 1;
        } else if (IsDBCSLeadByte(static_cast<unsigned char>(c)) && i + 1 < f.size()) {
            out += c;
            out += f[i + 1];
            i += 2;
        } else {
            out += c;
            ++i;
        }
    }
    return !out.empty();
}

}  // namespace platform
