#pragma once

#include <cstdint>

// The service sends every byte of a spool block complemented (all eight bits
// inverted); this restores it in place. A plain byte loop: compilers vectorise
// it, and it beats hand-written word steps.
inline void ComplementBlock(unsigned char* data, int32_t length)
{
    for (int32_t i = 0; i < length; ++i)
        data[i] = static_cast<unsigned char>(~data[i]);
}
