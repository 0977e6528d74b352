#pragma once

#include <stdlib.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#include "platform/machine/evt_format.h"

// A temporary folder for one benchmark run, with its trailing separator.
inline std::string BenchFolder(const char* name) {
    std::string templ = std::string("/tmp/quorvik-") + name + "-XXXXXX";
    if (!mkdtemp(templ.data())) abort();
    return templ + "/";
}

// Writes (or overwrites in place, so open readers keep their handle) a log of records 1..count,
// each filled in by `fill`; the file is not wrapped and is cleanly closed.
inline void WriteLogFile(const std::string& path, int count,
                         const std::function<void(int, platform::evt::Record&)>& fill) {
    namespace evt = platform::evt;
    std::string body;
    evt::Record r;
    r.computer = u"BENCH-PC";
    for (int i = 1; i <= count; ++i) {
        r.number = static_cast<std::uint32_t>(i);
        r.timeGenerated = r.timeWritten = 1700000000u + static_cast<std::uint32_t>(i);
        fill(i, r);
        body += evt::EncodeRecord(r);
    }
    evt::Header h;
    h.endOffset = evt::kHeaderSize + static_cast<std::uint32_t>(body.size());
    h.currentNumber = static_cast<std::uint32_t>(count) + 1;
    h.oldestNumber = 1;
    h.maxSize = 0x4000000;
    evt::Eof eof{h.startOffset, h.endOffset, h.currentNumber, h.oldestNumber};
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        << evt::EncodeHeader(h) << body << evt::EncodeEof(eof);
}
