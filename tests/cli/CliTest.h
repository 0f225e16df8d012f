// Runs the kvx command-line tool as a program, in a fresh folder per test.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/TestFiles.h"

namespace kvxtest {

// Whether `text` contains `part`.
inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Result {
    int code;
    std::string out, err;
};

class Cli : public testing::Test {
protected:
    // Runs `kvx ARGS` (a shell word list) with `env` assignments in front.
    Result Kvx(const std::string& args, const std::string& env = "") const {
        return Shell(env + " " + KVX_CLI + " " + args);
    }
    Result Shell(const std::string& command) const {
        const std::string out = dir_.file(".out"), err = dir_.file(".err");
        const int status = std::system(
            ("cd " + dir_.path() + " && " + command + " >" + out + " 2>" + err).c_str());
        const Bytes o = kvxtest::ReadFile(out), e = kvxtest::ReadFile(err);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(o.begin(), o.end()),
                std::string(e.begin(), e.end())};
    }
    std::string Path(const std::string& name) const { return dir_.file(name); }
    static std::wstring Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }
    bool Exists(const std::string& name) const { return std::ifstream(Path(name)).good(); }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    // Files in the folder other than the test's own.
    std::size_t Leftovers() const {
        std::size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            n += e.path().filename().string().rfind(".out", 0) != 0 &&
                 e.path().filename().string().rfind(".err", 0) != 0;
        return n;
    }

    kvxtest::TempDir dir_;
    const std::string sample_ = std::string(KVX_SOURCE_DIR) + "/samples/torus.stl";
};

}  // namespace kvxtest
