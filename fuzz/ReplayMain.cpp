// Runs a fuzz target over the files named on the command line (directories: every file in
// them), for compilers without libFuzzer and for replaying corpora in the test suite.
#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Prefixes of each file: a corpus replays about kPrefixRuns of them in all, from 8 to 128 a file.
constexpr std::size_t kPrefixRuns = 16384;

void RunFile(const boost::filesystem::path& path, std::size_t spread, std::size_t& runs) {
    std::ifstream in(path.string(), std::ios::binary);
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    // Prefixes too: truncation is the most common damage. Every prefix of a small file, and
    // `spread` spread evenly over a larger one (with the last few bytes cut one at a time), so
    // that replaying a corpus stays quick.
    const std::size_t step = std::max<std::size_t>(1, bytes.size() / spread);
    const std::size_t tail = spread / 8;
    for (std::size_t cut = 0; cut < bytes.size(); cut += (bytes.size() - cut <= tail ? 1 : step)) {
        LLVMFuzzerTestOneInput(bytes.data(), cut);
        ++runs;
    }
    ++runs;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        const boost::filesystem::path arg(argv[i]);
        if (boost::filesystem::is_directory(arg)) {
            std::vector<boost::filesystem::path> files;
            for (const auto& entry : boost::filesystem::directory_iterator(arg))
                if (boost::filesystem::is_regular_file(entry.status()))
                    files.push_back(entry.path());
            const std::size_t spread = std::clamp<std::size_t>(
                kPrefixRuns / std::max<std::size_t>(1, files.size()), 8, 128);
            for (const auto& file : files)
                RunFile(file, spread, runs);
        } else {
            RunFile(arg, 128, runs);
        }
    }
    std::printf("replayed %zu inputs\n", runs);
    return 0;
}
