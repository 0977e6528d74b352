#include "core/resume_state.h"

#include "config/settings.h"
#include "platform/bytes.h"
#include "platform/files.h"

namespace {

bool ParseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > 0xFFFFFFFFu) return false;
    value = static_cast<std::uint32_t>(n);
    return true;
}

bool ParseHex(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 16) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        const int digit = platform::HexDigitValue(c);
        if (digit < 0) return false;
        n = n << 4 | static_cast<unsigned>(digit);
    }
    value = n;
    return true;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

std::string ResumeStatePath() { return DataDirectory() + "RESUME.DAT"; }

std::string FormatResumeState(const ResumeState& state) {
    std::string text;
    for (const auto& [name, position] : state) {
        // A name that would break the section line, or end it early, cannot be kept.
        if (name.empty() ||
            name.find_first_of(std::string_view("\r\n]\0", 4)) != std::string::npos) {
            continue;
        }
        text += platform::StringPrintf(
            "[%s]\r\nRecord=%u\r\nWritten=%u\r\nLength=%u\r\nHash=%016llx\r\n", name.c_str(),
            position.record, position.written, position.length,
            static_cast<unsigned long long>(position.hash));
    }
    return text;
}

ResumeState ParseResumeState(std::string_view text) {
    ResumeState state;
    std::string section;
    LogPosition position;
    bool hasRecord = false, hasWritten = false;
    auto finish = [&] {
        if (!section.empty() && hasRecord && hasWritten) state[section] = position;
        position = LogPosition();
        hasRecord = hasWritten = false;
    };
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = Trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            finish();
            section = std::string(line.substr(1, line.size() - 2));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = Trimmed(line.substr(0, equals));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        if (key == "Record") hasRecord = ParseNumber(value, position.record);
        if (key == "Written") hasWritten = ParseNumber(value, position.written);
        // The finer identity is optional: without it, number and time decide.
        if (key == "Length" && !ParseNumber(value, position.length)) position.length = 0;
        if (key == "Hash" && !ParseHex(value, position.hash)) position.hash = 0;
    }
    finish();
    return state;
}

ResumeState LoadResumeState() {
    std::string text;
    if (!platform::ReadWholeFile(ResumeStatePath(), text)) return ResumeState();
    return ParseResumeState(text);
}

bool SaveResumeState(const ResumeState& state) {
    const std::string text = FormatResumeState(state);
    if (platform::WritePrivateFileAtomically(ResumeStatePath(), text)) return true;
    // A folder the user may not create files in: an existing file is written in place.
    const platform::DWORD error = platform::GetLastError();
    platform::File file;
    if (file.Open(ResumeStatePath(), platform::File::Access::Write,
                  platform::File::Disposition::OpenExisting, platform::File::Share::None) &&
        file.ReplaceContents(text)) {
        return true;
    }
    platform::SetLastError(error);
    return false;
}
