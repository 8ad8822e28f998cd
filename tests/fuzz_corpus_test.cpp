// Replays the fuzz corpus (fuzz/corpus/<target>/*: inputs that once crashed
// and a small set of inputs that reach deep) through the fuzz targets' entry
// functions, each input in a child process of its own, so that this runs in
// every build, the cross build under emulation included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fuzz_entries.h"
#include "tests/support/process.h"

/// The target's name in test listings.
void PrintTo(const FuzzTarget& t, std::ostream* os) { *os << t.name; }

namespace {

namespace fs = std::filesystem;

struct ChildResult {
    bool exited = false;
    int status = -1;
    std::string err;
};

/// Runs the entry on `data` in a child; its standard error is kept, its
/// standard output dropped.
ChildResult run_entry(const FuzzTarget& target, const std::string& data) {
    int err_pipe[2];
    if (pipe(err_pipe) != 0) return {};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_pipe[1], 2);
        close(err_pipe[0]);
        target.entry(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        fflush(nullptr);
        _exit(0);
    }
    close(err_pipe[1]);
    ChildResult r;
    char buf[4096];
    ssize_t n;
    while ((n = read(err_pipe[0], buf, sizeof buf)) > 0) r.err.append(buf, static_cast<size_t>(n));
    close(err_pipe[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.exited = WIFEXITED(st);
    r.status = r.exited ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

class FuzzCorpus : public testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzCorpus, EveryInputEndsCleanly) {
    const FuzzTarget& target = GetParam();
    fs::path dir = fs::path(VORLIX_SOURCE_DIR) / "fuzz" / "corpus" / target.name;
    if (!fs::is_directory(dir)) GTEST_SKIP() << "no corpus in " << dir;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        ChildResult r = run_entry(target, read_file(f.string()));
        bool allowed = r.exited && (r.status == 0 ||
                                    (r.status < 32 && (target.exit_statuses & (1U << r.status))));
        EXPECT_TRUE(allowed) << f << ": status " << r.status << "\n" << r.err.substr(0, 2000);
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << f << "\n" << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << f << "\n" << r.err;
        EXPECT_EQ(r.err.find("Assertion failed"), std::string::npos) << f << "\n" << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus,
                         testing::ValuesIn(kFuzzTargets, kFuzzTargets + kFuzzTargetCount),
                         [](const testing::TestParamInfo<FuzzTarget>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
