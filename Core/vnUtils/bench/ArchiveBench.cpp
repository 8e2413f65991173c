#include "vnUtils/Archive.h"
#include "vnUtils/Crc32.h"
#include <benchmark/benchmark.h>
#include <random>
#include <vector>

using namespace vorn;

namespace {

// A spread of values over every encoded length.
std::vector<uint32_t> MixedValues(size_t n)
{
    std::mt19937 rng(5);
    std::vector<uint32_t> v(n);
    for (auto& x : v) x = rng() >> (rng() % 32);
    return v;
}

class NullStream : public IOutputStream {
public:
    void WriteStream(const void* p, ssize_t n) override { benchmark::DoNotOptimize(p), m_total += n; }
    void Flush() override {}
    int64_t m_total = 0;
};

void BM_Crc32(benchmark::State& state)
{
    std::vector<uint8_t> data(size_t(state.range(0)));
    std::mt19937 rng(1);
    for (auto& b : data) b = uint8_t(rng());
    for (auto _ : state) {
        uint32_t crc = Crc32Update(0xFFFFFFFFu, data.data(), data.size()) ^ 0xFFFFFFFFu;
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_CompressedEncode(benchmark::State& state)
{
    const auto values = MixedValues(4096);
    NullStream out;
    for (auto _ : state) {
        Archive ar(&out);
        for (uint32_t v : values) ar.WriteCompressedUInt32(v);
        ar.Flush();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(values.size()));
}
BENCHMARK(BM_CompressedEncode);

void BM_CompressedDecode(benchmark::State& state)
{
    const auto values = MixedValues(4096);
    std::vector<uint8_t> bytes(values.size() * 5);
    uint8_t* p = bytes.data();
    for (uint32_t v : values) p = Archive::EncodeCompressedUInt32(p, v);
    bytes.resize(size_t(p - bytes.data()));
    for (auto _ : state) {
        InputArchive in(bytes.data(), bytes.size());
        uint32_t sum = 0;
        while (!in.AtEnd()) {
            uint32_t v;
            in = ReadCompressedUInt32FromBuffer(in, v);
            sum += v;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(values.size()));
}
BENCHMARK(BM_CompressedDecode);

} // namespace
