// LZFSE decoding speed in bytes of output per second: Apple's own type-12 blocks, and a large
// stream from the builder's encoder (real bvx2 blocks, but greedy matches: a different mix of
// literals and matches from Apple's).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codecs/lzfse.h"
#include "hfsbuild/codecs.h"

namespace {

std::vector<uint8_t> readFile(const std::string &path) {
    std::vector<uint8_t> data;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) data.insert(data.end(), buffer, buffer + n);
        fclose(f);
    }
    return data;
}

// Log-like text: a skewed vocabulary, numbers, and lines that repeat with small changes.
std::vector<uint8_t> largeText(size_t size) {
    static const char *words[] = {"volume", "catalog", "extent", "fork", "node", "leaf", "key", "a", "of",
                                  "the", "header", "bitmap", "journal", "attribute", "btree", "record"};
    std::mt19937 rng(12);
    std::string s;
    while (s.size() < size) {
        s += std::to_string(rng() % 100000) + " ";
        for (int w = 1 + rng() % 12; w > 0; --w) s += std::string(words[rng() % 16]) + " ";
        s += "\n";
    }
    s.resize(size);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void BM_AppleType12Blocks(benchmark::State &state) {
    // The bench is run from anywhere; the corpus sits beside the source tree.
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.rfind('/')) + "/../../shared/corpus/decmpfs/";
    std::vector<uint8_t> fork = readFile(dir + "real_lzfse_rsrc.rsrc");
    if (fork.size() < 16) {
        state.SkipWithError("../shared/corpus/decmpfs/real_lzfse_rsrc.rsrc is not present");
        return;
    }
    Bytes view{fork.data(), fork.size()};
    std::vector<uint8_t> out(65536);
    size_t produced = 0;
    for (auto _ : state) {
        produced = 0;
        for (size_t i = 0; i < 3; ++i) {
            size_t from = view.le32(4 * i), to = view.le32(4 * i + 4);
            auto n = lzfseDecode(view.sub(from, to - from), out.data(), out.size());
            if (!n) {
                state.SkipWithError("block did not decode");
                return;
            }
            produced += *n;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * produced));
}
BENCHMARK(BM_AppleType12Blocks);

void BM_LargeEncodedText(benchmark::State &state) {
    static const std::vector<uint8_t> data = largeText(size_t{32} << 20);
    static const std::vector<uint8_t> stream = lzfseEncode(data);
    state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(stream.size());
    std::vector<uint8_t> out(data.size());
    for (auto _ : state) {
        auto n = lzfseDecode(Bytes{stream.data(), stream.size()}, out.data(), out.size());
        if (!n || *n != data.size()) {
            state.SkipWithError("stream did not decode");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    if (out != data) state.SkipWithError("decoded bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_LargeEncodedText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
