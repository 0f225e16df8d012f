// Object stream: writing and reading back n identified objects, against an anchor that writes
// the same bytes into the same kind of memory file with one WRITE per object.
//
// items_per_second counts objects; the per-object time is its inverse. Sizes 10,000 to 1,000,000
// show whether the cost per object stays flat (the live-identity list is indexed).
#include <benchmark/benchmark.h>

#include <vector>

#include "maker/MFile.h"
#include "persistence/Identity.h"
#include "persistence/ObjectStream.h"

namespace KvxInternal {

// A typical small identified object: three 32-bit fields.
class BenchObject : public virtual MUID {
    KVX_DYNAMIC_CLASS(BenchObject, MUID)

public:
    bool Write(MFile& file) override {
        return WriteClassChunk(*this, file, [this](MFile& f) { return f.WRITE(fields, 3) == 3; });
    }
    bool Read(MFile& file) override {
        return ReadClassChunk(*this, file, [this](MFile& f, std::uint8_t v, std::uint8_t) {
            return v == 2 && f.READ(fields, 3) == 3;
        });
    }
    std::uint32_t fields[3] = {1, 2, 3};
};

KVX_REGISTER_CLASS(BenchObject, "BENCH", 2, 0, &Make<BenchObject>)

}  // namespace KvxInternal

namespace {

using namespace KvxInternal;

std::vector<MHDynBase> MakeObjects(std::size_t n) {
    std::vector<MHDynBase> objects(n);
    for (auto& o : objects)
        o.AdoptNew(BenchObject::ClassInfo());
    return objects;
}

void Items(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_WriteObjects(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<MHDynBase> objects = MakeObjects(n);  // fresh: each gets its id while written
        MFileMemory file;
        file.OPEN_WRITE(0, nullptr);
        state.ResumeTiming();
        for (auto& o : objects)
            o->Write(file);
        benchmark::DoNotOptimize(file.SIZE());
        state.PauseTiming();
        objects.clear();
        state.ResumeTiming();
    }
    Items(state);
}

// Stream bytes of n objects, and the size of one object's chunk.
std::pair<std::vector<std::uint8_t>, std::size_t> Stream(std::size_t n) {
    std::vector<MHDynBase> objects = MakeObjects(n);
    MFileMemory file;
    file.OPEN_WRITE(0, nullptr);
    for (auto& o : objects)
        o->Write(file);
    return {std::vector<std::uint8_t>(file.GET_BUFFER(), file.GET_BUFFER() + file.SIZE()),
            static_cast<std::size_t>(file.SIZE()) / n};
}

void BM_ReadObjects(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto stream = Stream(n).first;  // its objects are gone: reading creates new ones
    for (auto _ : state) {
        std::vector<MHDynBase> objects;
        objects.reserve(n);
        MFileMemory file;
        file.OPEN_READ(stream.data(), stream.size());
        MHDynBase handle;
        while (ReadNextObject(handle, file) == READ_OK)
            objects.push_back(handle);
        if (objects.size() != n) state.SkipWithError("stream did not read back");
        state.PauseTiming();
        objects.clear();
        handle.Reset();
        state.ResumeTiming();
    }
    Items(state);
}

// Anchor: the same bytes, one WRITE per object, into a memory file.
void BM_AnchorPlainWrite(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto [stream, each] = Stream(n);
    for (auto _ : state) {
        MFileMemory file;
        file.OPEN_WRITE(0, nullptr);
        for (std::size_t i = 0; i < n; ++i)
            file.WRITE(stream.data() + i * each, each);
        benchmark::DoNotOptimize(file.SIZE());
    }
    Items(state);
}

BENCHMARK(BM_WriteObjects)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadObjects)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnchorPlainWrite)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
