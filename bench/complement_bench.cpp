// The complement of each received block, per MB. ByteLoop is the poll's own
// ComplementBlock; WordLoop does eight bytes a step, for comparison.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/complement.h"

namespace {

constexpr int32_t kBlockSize = 4096;

void ByteLoop(benchmark::State& state)
{
    std::vector<unsigned char> block(kBlockSize, 0x5A);
    for (auto _ : state) {
        ComplementBlock(block.data(), kBlockSize);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t{kBlockSize} * state.iterations());
}
BENCHMARK(ByteLoop);

void WordLoop(benchmark::State& state)
{
    std::vector<unsigned char> block(kBlockSize, 0x5A);
    for (auto _ : state) {
        unsigned char* data = block.data();
        for (int32_t i = 0; i + 8 <= kBlockSize; i += 8) {
            uint64_t word;
            memcpy(&word, data + i, sizeof word);
            word = ~word;
            memcpy(data + i, &word, sizeof word);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t{kBlockSize} * state.iterations());
}
BENCHMARK(WordLoop);

}  // namespace
