// How the catalog scales: opening a volume, an exact name lookup, and listing a large folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "catalog/path.h"
#include "commands/commands.h"
#include "commands/session.h"
#include "hfsbuild/hfsbuild.h"
#include "shell/shell.h"
#include "volume/volume.h"

namespace {

// A volume with `files` files in one folder, written once per size.
std::string volumeWith(int files) {
    std::string path = "/tmp/tarnwick-bench-" + std::to_string(files) + ".hfs";
    if (access(path.c_str(), R_OK) == 0) return path;
    hfsbuild::Volume v;
    v.label = "Bench";
    for (int i = 0; i < files; ++i) {
        hfsbuild::Node file;
        file.path = "/many/file" + std::to_string(i);
        v.nodes.push_back(file);
    }
    std::vector<uint8_t> image = hfsbuild::buildVolume(v);
    FILE *out = fopen(path.c_str(), "wb");
    fwrite(image.data(), 1, image.size(), out);
    fclose(out);
    return path;
}

void quiet() {
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
}

void BM_OpenVolume(benchmark::State &state) {
    std::string path = volumeWith(static_cast<int>(state.range(0)));
    quiet();
    for (auto _ : state)
        Messages messages;
        benchmark::DoNotOptimize(Volume::open(std::make_unique<FileImage>(UniqueFd(open(path.c_str(), O_RDONLY))), 0, messages));
}

void BM_LookupName(benchmark::State &state) {
    std::string path = volumeWith(static_cast<int>(state.range(0)));
    quiet();
    Session session;
    doSetFS(session, ("fs " + path).c_str());
    std::string name = "/many/file" + std::to_string(state.range(0) / 2);
    for (auto _ : state) benchmark::DoNotOptimize(searchPath(*session.volume, kRootFolderID, name, sayNow()));
}

void BM_ListFolder(benchmark::State &state) {
    std::string path = volumeWith(static_cast<int>(state.range(0)));
    quiet();
    Session session;
    doSetFS(session, ("fs " + path).c_str());
    dispatchLine(session, "cd many");
    for (auto _ : state) dispatchLine(session, "ls");
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_OpenVolume)->Arg(1000)->Arg(20000);
BENCHMARK(BM_LookupName)->Arg(1000)->Arg(20000);
BENCHMARK(BM_ListFolder)->Arg(1000)->Arg(20000);
BENCHMARK_MAIN();
