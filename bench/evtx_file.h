#pragma once

#include <string>

// An .evtx file of that many whole chunks, copied from the test samples with their records
// renumbered (the record headers and EventRecordID) and their checksums made anew, so that every
// record is distinct and each chunk newer than the one before; records says how many it holds.
// The file of fewer chunks is an older copy of the same log.
std::string MakeEvtxFile(size_t chunks, size_t* records = nullptr);
