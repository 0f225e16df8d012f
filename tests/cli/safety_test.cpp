// The kvx tool never destroys what the user had and leaves nothing behind: files it replaces
// come back when a run fails, a file that appears while it runs is not replaced, signals and a
// full TMPDIR remove every temporary file, and an interrupted password prompt gives the terminal
// its echo back.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliTest.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kvxtest::Bytes;
using kvxtest::Has;
using kvxtest::Result;

class Safety : public kvxtest::Cli {
protected:
    void SetUp() override { fs::create_directory(tmp_); }

    // Files and folders under `folder`, at any depth.
    static std::size_t Entries(const fs::path& folder) {
        std::size_t n = 0;
        for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it)
            ++n;
        return n;
    }
    // Staging folders the tool left in `folder`.
    static std::size_t Staging(const fs::path& folder) {
        std::size_t n = 0;
        for (const auto& e : fs::directory_iterator(folder))
            n += e.path().filename().string().rfind(".kvx-", 0) == 0;
        return n;
    }
    static bool WaitFor(const std::function<bool()>& ready) {
        for (int i = 0; i < 1000; ++i) {
            if (ready()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Starts the tool in the test's folder with TMPDIR set to tmp_, standard input and output on
    // the given descriptors and every signal at its default.
    pid_t Spawn(const std::vector<std::string>& args, int in, int out) const {
        std::vector<std::string> env{"TMPDIR=" + tmp_.string()};
        for (char** e = environ; *e != nullptr; ++e)
            if (std::string(*e).rfind("TMPDIR=", 0) != 0) env.emplace_back(*e);
        std::vector<char*> argv{const_cast<char*>(KVX_CLI)}, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in, 0);
        posix_spawn_file_actions_adddup2(&actions, out, 1);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.path().c_str());
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        if (posix_spawn(&pid, KVX_CLI, &actions, &attributes, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        return pid;
    }
    static int Wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }
    static void Send(int fd, const Bytes& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }

    const fs::path tmp_ = Path("tmp");
    const std::string withTmp_ = "TMPDIR=" + Path("tmp");
};

TEST_F(Safety, SignalsRemoveTheTemporaryFiles) {
    ASSERT_EQ(Kvx("pack " + sample_ + " -o t.kvx -q").code, 0);
    const Bytes mesh = kvxtest::ReadFile(sample_);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        SCOPED_TRACE(strsignal(signal));
        // pack waits on standard input after part of a mesh: the copy of it is in TMPDIR.
        int input[2];
        ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
        const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        pid_t pid =
            Spawn({"pack", "-", "--input-format", "stl", "-o", "p.kvx", "-q"}, input[0], devnull);
        ASSERT_GT(pid, 0);
        ::close(input[0]);
        Send(input[1], Bytes(mesh.begin(), mesh.begin() + 1000));
        EXPECT_TRUE(WaitFor([&] { return Entries(tmp_) == 2; }));  // the folder and the copy
        ::kill(pid, signal);
        int status = Wait(pid);
        ::close(input[1]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(Entries(tmp_), 0u);
        EXPECT_FALSE(Exists("p.kvx"));
        EXPECT_EQ(Staging(dir_.path()), 0u);

        // unpack blocked on a full standard output: the file's unwrapped content is in TMPDIR.
        int output[2];
        ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
        pid = Spawn({"unpack", "t.kvx", "--mesh", "torus", "-o", "-"},
                    ::open("/dev/null", O_RDONLY | O_CLOEXEC), output[1]);
        ASSERT_GT(pid, 0);
        ::close(output[1]);
        EXPECT_TRUE(WaitFor([&] {
            for (auto it = fs::recursive_directory_iterator(tmp_); it != fs::end(it); ++it)
                if (it->path().extension() == ".tmp") return true;
            return false;
        }));
        ::kill(pid, signal);
        status = Wait(pid);
        ::close(output[0]);
        ::close(devnull);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(Entries(tmp_), 0u);
    }
}

// A file size limit: by default its signal ends the run, cleanly; ignored, the writes fail and
// a sound file is reported as unreadable for want of temporary space, never as corrupt.
TEST_F(Safety, FileSizeLimitsAndFullTemporaryFolders) {
    ASSERT_EQ(Kvx("pack " + sample_ + " -o t.kvx -q").code, 0);
    const Result killed =
        Shell("ulimit -f 8 && " + withTmp_ + " " + KVX_CLI + " pack " + sample_ + " -o out/a.kvx");
    EXPECT_EQ(killed.code, 128 + SIGXFSZ) << killed.err;
    EXPECT_EQ(Entries(tmp_), 0u);
    EXPECT_FALSE(Exists("out/a.kvx"));
    if (fs::exists(Path("out"))) {
        EXPECT_EQ(Entries(Path("out")), 0u);
    }

    for (const char* command : {"info t.kvx", "verify t.kvx", "unpack t.kvx -o u"}) {
        SCOPED_TRACE(command);
        const Result full =
            Shell("ulimit -f 8 && trap '' XFSZ && " + withTmp_ + " " + KVX_CLI + " " + command);
        EXPECT_EQ(full.code, 7) << full.err;
        EXPECT_TRUE(Has(full.err, "t.kvx: not read: cannot write a temporary file in TMPDIR (" +
                                      tmp_.string() + ") (File too large)"))
            << full.err;
        EXPECT_EQ(Entries(tmp_), 0u);
    }
    EXPECT_FALSE(Exists("u/torus.stl"));
}

// With --force, files are replaced only all together: when one cannot be placed, those already
// replaced come back as they were.
TEST_F(Safety, FailedForcedUnpackLeavesTheFolderAsItWas) {
    Write("notes.txt", "the data block");
    ASSERT_EQ(Kvx("pack " + sample_ + " -o t.kvx --data notes.txt -q").code, 0);
    fs::create_directories(Path("out/torus.stl/inside"));
    Write("out/notes.txt", "mine");
    const Result failed = Kvx("unpack t.kvx -o out --force");
    EXPECT_EQ(failed.code, 7) << failed.err;
    EXPECT_TRUE(Has(failed.err, "out/torus.stl: cannot write (Is a directory)")) << failed.err;
    EXPECT_EQ(kvxtest::ReadFile(Path("out/notes.txt")), (Bytes{'m', 'i', 'n', 'e'}));
    EXPECT_TRUE(fs::is_directory(Path("out/torus.stl/inside")));
    EXPECT_EQ(Staging(Path("out")), 0u);

    // Without the folder in the way everything is replaced, and nothing else stays.
    fs::remove_all(Path("out/torus.stl"));
    Write("out/torus.stl", "mine too");
    ASSERT_EQ(Kvx("unpack t.kvx -o out --force -q").code, 0);
    const Bytes notes = kvxtest::ReadFile(Path("out/notes.txt"));
    EXPECT_EQ(std::string(notes.begin(), notes.end()), "the data block");
    EXPECT_GT(fs::file_size(Path("out/torus.stl")), 1000u);
    EXPECT_EQ(Entries(Path("out")), 2u);
}

// The existence check at the start is not the only one: a target that appears while pack runs
// is left alone, unless --force says otherwise.
TEST_F(Safety, PackReplacesNoFileThatAppearsMeanwhile) {
    const Bytes mesh = kvxtest::ReadFile(sample_);
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "--force" : "no --force");
        std::vector<std::string> args{"pack", "-", "--input-format", "stl", "-o", "t.kvx", "-q"};
        if (force) args.emplace_back("--force");
        int input[2];
        ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
        const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = Spawn(args, input[0], devnull);
        ASSERT_GT(pid, 0);
        ::close(input[0]);
        Send(input[1], mesh);
        Write("t.kvx", "mine");  // after the check, before the file is written
        ::close(input[1]);
        const int status = Wait(pid);
        ::close(devnull);
        ASSERT_TRUE(WIFEXITED(status));
        const Bytes now = kvxtest::ReadFile(Path("t.kvx"));
        if (force) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
            EXPECT_GT(now.size(), 1000u);
        } else {
            EXPECT_EQ(WEXITSTATUS(status), 7);
            EXPECT_EQ(now, (Bytes{'m', 'i', 'n', 'e'}));
        }
        EXPECT_EQ(Staging(dir_.path()), 0u);
        EXPECT_EQ(Entries(tmp_), 0u);
    }
}

TEST_F(Safety, InterruptedPromptRestoresTheEcho) {
    ASSERT_EQ(Kvx("pack " + sample_ + " -o p.kvx -q --password-env SECRET", "SECRET=s3").code, 0);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) GTEST_SKIP() << "no pseudo-terminal here";
    if (pid == 0) {
        if (::chdir(dir_.path().c_str()) != 0) ::_exit(126);
        ::execl(KVX_CLI, KVX_CLI, "info", "p.kvx", "--password", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string shown;
    for (int i = 0; i < 500 && !Has(shown, "Password: "); ++i) {
        pollfd p{terminal, POLLIN, 0};
        if (::poll(&p, 1, 20) == 1) {
            char buffer[256];
            const ssize_t n = ::read(terminal, buffer, sizeof buffer);
            if (n <= 0) break;
            shown.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ASSERT_TRUE(Has(shown, "Password: ")) << shown;
    termios during{};
    ASSERT_EQ(::tcgetattr(terminal, &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u);  // the prompt has turned the echo off
    ::kill(pid, SIGINT);
    const int status = Wait(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    termios after{};
    ASSERT_EQ(::tcgetattr(terminal, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
    ::close(terminal);
}

}  // namespace
