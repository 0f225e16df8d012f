// Inputs that are FIFOs are refused at once: opening one for reading would wait for a writer
// forever. `timeout` turns a hang into exit code 124, so a regression fails instead of stalling.
#include "cli/CliTest.h"

namespace {

using kvxtest::Cli;
using kvxtest::Result;

TEST_F(Cli, FifoInputsAreRefused) {
    ASSERT_EQ(Shell("mkfifo mesh.stl data.bin").code, 0);
    const struct {
        const char* name;
        std::string args;
        const char* message;
    } cases[] = {
        {"mesh", "pack mesh.stl -o a.kvx", "mesh.stl: STL: not a regular file"},
        {"data block", "pack " + sample_ + " -o b.kvx --data data.bin",
         "data.bin: not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = Shell("timeout 20 " + std::string(KVX_CLI) + " " + c.args);
        EXPECT_EQ(r.code, 3) << r.err;  // an input that cannot be used (124: it hung)
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_FALSE(Exists("a.kvx"));
    EXPECT_FALSE(Exists("b.kvx"));
}

}  // namespace
