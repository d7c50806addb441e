// Platform seams for long runs that allocate nothing: the spooler keeps a
// checksum of each document instead of its bytes, the display keeps counts
// and the last texts in fixed buffers, the computer has one printer. With
// them, every heap allocation during a poll is the client's own.
#pragma once

#include <cstdint>

namespace quiet_seams {

struct SpoolerTally {
    int documentsEnded = 0;
    int documentsAborted = 0;
    int handlesOpen = 0;          // opened and not yet closed
    uint64_t lastChecksum = 0;    // of the last document ended
};

struct DisplayTally {
    int logLines = 0;             // failure texts and document names
    int logClears = 0;
    char lastStatus[256] = {};
    char lastLog[256] = {};
};

const SpoolerTally& Spooler();
const DisplayTally& Display();
void Reset();

// FNV-1a, 64 bits: what the spooler tally keeps of a document.
uint64_t Checksum(uint64_t checksum, const unsigned char* data, uint64_t length);
constexpr uint64_t kChecksumStart = 14695981039346656037ull;

}  // namespace quiet_seams
