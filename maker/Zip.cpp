#include "maker/Zip.h"

#include <zstd.h>

#include <algorithm>
#include <memory>

namespace {

// zstd level used for the container (maker level 20). The payload is mostly mesh data that is
// already entropy-coded: every level up to 9 leaves it at ratio 1.00, and level 1 is the fastest
// (docs/maker.md has the measurement).
constexpr int kContainerZstdLevel = 1;

struct CCtxDeleter {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
// A stream buffer left uninitialised: zeroing 128 KiB per call cost more than decompressing a
// small file.
class StreamBuffer {
public:
    explicit StreamBuffer(std::size_t size)
        : bytes_(std::make_unique_for_overwrite<char[]>(size)), size_(size) {}
    char* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

struct DCtxDeleter {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

std::size_t ReadSome(std::istream& in, char* data, std::size_t size) {
    in.read(data, static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount());
}

bool WriteAll(std::ostream& out, const char* data, std::size_t size) {
    if (size == 0) return true;
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace

int ZstdLevelFor(int level) {
    if (level == kContainerLevel) return kContainerZstdLevel;
    return std::clamp(level, ZSTD_minCLevel(), ZSTD_maxCLevel());
}

bool Compress(std::ostream& out, std::istream& in, int level) {
    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> ctx(ZSTD_createCCtx());
    if (!ctx) return false;
    if (ZSTD_isError(
            ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_compressionLevel, ZstdLevelFor(level))) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_checksumFlag, 1)))
        return false;
    StreamBuffer inBuf(ZSTD_CStreamInSize());
    StreamBuffer outBuf(ZSTD_CStreamOutSize());
    for (;;) {
        const std::size_t got = ReadSome(in, inBuf.data(), inBuf.size());
        if (in.bad()) return false;
        const bool last = got < inBuf.size();
        ZSTD_inBuffer input{inBuf.data(), got, 0};
        for (;;) {
            ZSTD_outBuffer output{outBuf.data(), outBuf.size(), 0};
            const std::size_t rest = ZSTD_compressStream2(ctx.get(), &output, &input,
                                                          last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(rest)) return false;
            if (!WriteAll(out, outBuf.data(), output.pos)) return false;
            if (last ? rest == 0 : input.pos == input.size) break;
        }
        if (last) return true;
    }
}

bool Decompress(std::ostream& out, std::istream& in, std::uint64_t maxOutput) {
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> ctx(ZSTD_createDCtx());
    if (!ctx) return false;
    if (ZSTD_isError(ZSTD_DCtx_setParameter(ctx.get(), ZSTD_d_windowLogMax, kMaxWindowLog)))
        return false;
    StreamBuffer inBuf(ZSTD_DStreamInSize());
    StreamBuffer outBuf(ZSTD_DStreamOutSize());
    std::uint64_t produced = 0;
    std::size_t pending = 1;  // 0 exactly when the last frame is complete
    bool sawInput = false;
    for (;;) {
        const std::size_t got = ReadSome(in, inBuf.data(), inBuf.size());
        if (in.bad()) return false;
        if (got == 0) break;
        sawInput = true;
        ZSTD_inBuffer input{inBuf.data(), got, 0};
        // A full output buffer may leave decoded bytes inside the decoder: call again, unless
        // the frame is complete (another call would start a new frame).
        bool outputFull = true;
        while (input.pos < input.size || (outputFull && pending != 0)) {
            ZSTD_outBuffer output{outBuf.data(), outBuf.size(), 0};
            pending = ZSTD_decompressStream(ctx.get(), &output, &input);
            if (ZSTD_isError(pending)) return false;
            produced += output.pos;
            if (produced > maxOutput) return false;
            if (!WriteAll(out, outBuf.data(), output.pos)) return false;
            outputFull = output.pos == output.size;
        }
    }
    return sawInput && pending == 0;
}
