// How fast LZVN expands, in bytes of output: Apple's blocks from the corpus and one large stream
// from the builder's encoder, with zlib's inflate of the same large data for scale.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codecs/lzvn.h"
#include "hfsbuild/codecs.h"

namespace {

using ByteVec = std::vector<uint8_t>;

// The corpus sits beside the work tree, as it does for the tests.
ByteVec corpusFile(const char *name) {
    auto path = std::filesystem::path(__FILE__).parent_path() / "../../shared/corpus/decmpfs" / name;
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Text-like data: a Zipf-ish draw from made-up words, with numbers and the odd binary stretch.
const ByteVec &largeData() {
    static const ByteVec data = [] {
        std::mt19937 rng(42);
        const char *syllables[] = {"ka", "ro", "ne", "ti", "su", "ma", "lo", "vi", "de", "pra", "sto", "ul", "en", "ix"};
        std::vector<std::string> words(4000);
        for (std::string &w : words) {
            for (int n = 1 + rng() % 4; n > 0; --n) w += syllables[rng() % 14];
        }
        ByteVec out;
        out.reserve(32 << 20);
        while (out.size() < (32u << 20)) {
            double u = std::uniform_real_distribution<double>(0, 1)(rng);
            const std::string &w = words[static_cast<size_t>(u * u * u * words.size())];
            out.insert(out.end(), w.begin(), w.end());
            unsigned r = rng() % 100;
            if (r < 70) out.push_back(' ');
            else if (r < 85) out.push_back('\n');
            else if (r < 99) {
                char number[16];
                int n = snprintf(number, sizeof number, " %u ", static_cast<unsigned>(rng() % 100000));
                out.insert(out.end(), number, number + n);
            } else {
                for (int n = rng() % 64; n > 0; --n) out.push_back(static_cast<uint8_t>(rng()));
            }
        }
        out.resize(32u << 20);
        return out;
    }();
    return data;
}

void BM_LzvnCorpusBlocks(benchmark::State &state) {
    ByteVec fork = corpusFile("lzvn.rsrc");
    if (fork.size() < 12) {
        state.SkipWithError("../shared/corpus/decmpfs/lzvn.rsrc is not present");
        return;
    }
    Bytes view{fork.data(), fork.size()};
    size_t blocks = view.le32(0) / 4 - 1;
    ByteVec out(65536);
    size_t produced = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < blocks; ++i) {
            size_t from = view.le32(4 * i), to = view.le32(4 * i + 4);
            auto end = lzvnDecode(view.sub(from, to - from), out.data(), 0, out.size());
            if (!end) {
                state.SkipWithError("corpus block did not decode");
                return;
            }
            produced += *end;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(produced));
}

void BM_LzvnLarge(benchmark::State &state) {
    const ByteVec &data = largeData();
    static const ByteVec stream = lzvnEncode(data);
    ByteVec out(data.size());
    for (auto _ : state) {
        auto end = lzvnDecode(Bytes{stream.data(), stream.size()}, out.data(), 0, out.size());
        if (end != data.size()) {
            state.SkipWithError("large stream did not decode");
            return;
        }
        benchmark::ClobberMemory();
    }
    if (out != data) state.SkipWithError("large stream decoded to the wrong bytes");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(stream.size());
}

void BM_ZlibInflateLarge(benchmark::State &state) {
    const ByteVec &data = largeData();
    static const ByteVec deflated = [&] {
        uLongf size = compressBound(data.size());
        ByteVec z(size);
        compress2(z.data(), &size, data.data(), data.size(), Z_DEFAULT_COMPRESSION);
        z.resize(size);
        return z;
    }();
    ByteVec out(data.size());
    for (auto _ : state) {
        uLongf size = out.size();
        if (uncompress(out.data(), &size, deflated.data(), deflated.size()) != Z_OK || size != data.size()) {
            state.SkipWithError("zlib did not inflate");
            return;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(deflated.size());
}

}  // namespace

BENCHMARK(BM_LzvnCorpusBlocks);
BENCHMARK(BM_LzvnLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflateLarge)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
