// Container compression: zstd levels and the two ways to drive zstd, on two payload kinds.
//
//  - "mesh": object chunks whose mesh data is already compressed (meshoptimizer codecs + zstd),
//    as the container sees it when files hold compressed meshes;
//  - "raw": the same mesh as plain indexed triangles (points and 32-bit indices).
//
// Counters: `ratio` = payload bytes / compressed bytes; bytes_per_second = payload throughput.
#include <benchmark/benchmark.h>
#include <meshoptimizer.h>
#include <zstd.h>

#include <boost/iostreams/filter/zstd.hpp>
#include <boost/iostreams/filtering_stream.hpp>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "maker/Zip.h"

namespace {

struct Vertex {
    std::int32_t x, y, z;
};

// A bumpy sphere in micrometre units: 2 * n * n triangles.
void MakeMesh(int n, std::vector<Vertex>& vertices, std::vector<unsigned>& indices) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> noise(-0.002, 0.002);
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
            const double th = M_PI * i / n, ph = 2 * M_PI * j / n;
            const double r =
                50000.0 * (1 + 0.05 * std::sin(7 * th) * std::cos(5 * ph) + noise(rng));
            vertices.push_back({static_cast<std::int32_t>(r * std::sin(th) * std::cos(ph)),
                                static_cast<std::int32_t>(r * std::sin(th) * std::sin(ph)),
                                static_cast<std::int32_t>(r * std::cos(th))});
        }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const unsigned a = i * (n + 1) + j, b = a + 1, c = a + n + 1, d = c + 1;
            indices.insert(indices.end(), {a, c, b, b, c, d});
        }
}

std::string Bytes(const void* p, std::size_t n) {
    return std::string(static_cast<const char*>(p), n);
}

const std::string& Payload(bool compressedMesh) {
    static const auto payloads = [] {
        std::vector<Vertex> v;
        std::vector<unsigned> idx;
        MakeMesh(400, v, idx);  // 320,000 triangles
        std::string raw =
            Bytes(v.data(), v.size() * sizeof(Vertex)) + Bytes(idx.data(), idx.size() * 4);

        std::vector<unsigned char> vb(meshopt_encodeVertexBufferBound(v.size(), sizeof(Vertex)));
        vb.resize(
            meshopt_encodeVertexBuffer(vb.data(), vb.size(), v.data(), v.size(), sizeof(Vertex)));
        std::vector<unsigned char> ib(meshopt_encodeIndexBufferBound(idx.size(), v.size()));
        ib.resize(meshopt_encodeIndexBuffer(ib.data(), ib.size(), idx.data(), idx.size()));
        std::string codec = Bytes(vb.data(), vb.size()) + Bytes(ib.data(), ib.size());
        std::string packed(ZSTD_compressBound(codec.size()), '\0');
        packed.resize(ZSTD_compress(packed.data(), packed.size(), codec.data(), codec.size(), 3));
        return std::pair<std::string, std::string>{packed, raw};
    }();
    return compressedMesh ? payloads.first : payloads.second;
}

std::string Packed(const std::string& in, int level) {
    std::istringstream is(in);
    std::ostringstream os;
    Compress(os, is, level);
    return os.str();
}

void Report(benchmark::State& state, const std::string& in, std::size_t outSize) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
    state.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(outSize);
    state.counters["payload_MB"] = static_cast<double>(in.size()) / 1e6;
}

// Arguments: zstd level (20 = the container's level), payload kind (1 mesh, 0 raw).
void BM_Compress(benchmark::State& state) {
    const std::string& in = Payload(state.range(1) == 1);
    std::size_t outSize = 0;
    for (auto _ : state) {
        std::istringstream is(in);
        std::ostringstream os;
        Compress(os, is, static_cast<int>(state.range(0)));
        outSize = os.str().size();
    }
    Report(state, in, outSize);
}
BENCHMARK(BM_Compress)->ArgsProduct({{1, 3, 6, 9, 19, 20}, {1, 0}})->Unit(benchmark::kMillisecond);

void BM_Decompress(benchmark::State& state) {
    const std::string& in = Payload(state.range(1) == 1);
    const std::string packed = Packed(in, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::istringstream pis(packed);
        std::ostringstream out;
        Decompress(out, pis);
    }
    Report(state, in, packed.size());
}
BENCHMARK(BM_Decompress)->ArgsProduct({{1, 3, 19}, {1, 0}})->Unit(benchmark::kMillisecond);

// The Boost.Iostreams zstd filter at the same level, for the choice of driver.
void BM_CompressBoostFilter(benchmark::State& state) {
    const std::string& in = Payload(state.range(1) == 1);
    std::size_t outSize = 0;
    for (auto _ : state) {
        std::ostringstream os;
        {
            boost::iostreams::filtering_ostream out;
            out.push(boost::iostreams::zstd_compressor(
                boost::iostreams::zstd_params(static_cast<std::uint32_t>(state.range(0)))));
            out.push(os);
            out.write(in.data(), static_cast<std::streamsize>(in.size()));
        }
        outSize = os.str().size();
    }
    Report(state, in, outSize);
}
BENCHMARK(BM_CompressBoostFilter)->ArgsProduct({{3}, {1, 0}})->Unit(benchmark::kMillisecond);

void BM_DecompressBoostFilter(benchmark::State& state) {
    const std::string& in = Payload(state.range(1) == 1);
    const std::string packed = Packed(in, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::ostringstream out;
        boost::iostreams::filtering_ostream f;
        f.push(boost::iostreams::zstd_decompressor());
        f.push(out);
        f.write(packed.data(), static_cast<std::streamsize>(packed.size()));
    }
    Report(state, in, packed.size());
}
BENCHMARK(BM_DecompressBoostFilter)->ArgsProduct({{3}, {1, 0}})->Unit(benchmark::kMillisecond);

// Anchor: a plain copy of the payload through the same stream types.
void BM_CopyAnchor(benchmark::State& state) {
    const std::string& in = Payload(state.range(0) == 1);
    for (auto _ : state) {
        std::istringstream is(in);
        std::ostringstream os;
        os << is.rdbuf();
        benchmark::DoNotOptimize(os);
    }
    Report(state, in, in.size());
}
BENCHMARK(BM_CopyAnchor)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
