#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

// The list-file class: little-endian shorts, ints, length-prefixed strings and text lists, with
// no padding. Every operation returns false at once when no file is open.
//
// Writing does not touch the file in place: the items go to a new file beside it, which replaces
// the old one only when Close finds that every item was written, so a failed save leaves the
// previous contents whole. A symbolic link is followed, and the file it names is replaced. Only
// where no file can be made beside it (a folder the user may not write) is the file rewritten
// in place, as the system would.
class Datafile {
public:
    enum class Mode { Read, Write };

    Datafile() = default;
    ~Datafile();
    Datafile(const Datafile&) = delete;
    Datafile& operator=(const Datafile&) = delete;

    // Read: opens the file, creating it empty when it does not exist. Write: the file must
    // exist; its new contents start empty. No other opener may share it meanwhile.
    bool Open(const std::string& path, Mode mode);

    // Closes the file. After writing, the new contents replace the old ones only if every write
    // succeeded; the result tells whether they did.
    bool Close();

    bool IsOpen() const { return m_file.IsOpen() || m_original.IsOpen(); }

    bool ReadShort(std::int16_t& value);
    bool ReadInt(std::int32_t& value);
    // Reads the length and exactly that many bytes; the text ends at its first zero byte.
    bool ReadString(std::string& value);
    // A string split at CR LF, lone CR or lone LF; a final break makes no empty last line.
    bool ReadTextList(std::vector<std::string>& lines);

    bool WriteShort(std::int16_t value);
    bool WriteInt(std::int32_t value);
    bool WriteString(const std::string& value);
    // Each line followed by CR LF, written as one string.
    bool WriteTextList(const std::vector<std::string>& lines);

    // True at or beyond the end of the file, and when the position cannot be known.
    bool AtEnd();

private:
    bool ReadBytes(void* out, size_t size);
    bool WriteBytes(const void* data, size_t size);
    bool FlushWrites();
    void Discard();

    platform::File m_file;      // the file read, or the new contents being written
    platform::File m_original;  // while writing: the file that will be replaced
    Mode m_mode = Mode::Read;
    std::string m_path;
    std::string m_tempPath;
    bool m_writeFailed = false;
    bool m_inPlace = false;  // no new file could be made beside it: the old one is rewritten

    // Reads: a window of the file; m_fileSize bounds every length read from it.
    std::vector<char> m_buffer;
    size_t m_bufferPos = 0;
    std::uint64_t m_filePos = 0;  // file offset of m_buffer's end
    std::uint64_t m_fileSize = 0;
    bool m_sizeKnown = false;

    // Writes: items wait here until the buffer is large or the file closes.
    std::string m_pending;
};
