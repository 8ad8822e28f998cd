#include "lib/shmem.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/process.h"

// The exclusive-creation race needs the second process to stop between its
// failed open and its create. make_path's mkdir lies exactly there, so this
// test program puts its own mkdir in front of the C library's: when armed, the
// first call tells the test over a pipe that it is there and waits for the
// go-ahead, then creates the directory as usual.
namespace {
bool g_mkdir_pause_armed = false;
int g_mkdir_notify_fd = -1;
int g_mkdir_wait_fd = -1;
}  // namespace

extern "C" int mkdir(const char* path, mode_t mode) noexcept {
    if (g_mkdir_pause_armed) {
        g_mkdir_pause_armed = false;
        char c = 'p';
        if (write(g_mkdir_notify_fd, &c, 1) != 1 || read(g_mkdir_wait_fd, &c, 1) != 1) _exit(3);
    }
    return mkdirat(AT_FDCWD, path, mode);
}

namespace {

// A restrictive umask: the explicit chmod after creation must still give the
// exact modes.
class UmaskGuard {
   public:
    explicit UmaskGuard(mode_t mask) : old_(umask(mask)) {}
    ~UmaskGuard() { umask(old_); }

   private:
    mode_t old_;
};

struct FileInfo {
    bool exists = false;
    bool is_dir = false;
    unsigned mode = 0;
    gid_t gid = 0;
};

FileInfo info_of(const std::string& path) {
    FileInfo fi;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fi;
    fi.exists = true;
    fi.is_dir = S_ISDIR(st.st_mode);
    fi.mode = st.st_mode & 07777;
    fi.gid = st.st_gid;
    return fi;
}

// The process's own group and, when running as root (who may give any group),
// a second one.
std::vector<gid_t> test_groups() {
    std::vector<gid_t> groups{getegid()};
    if (geteuid() != 0) return groups;
    gid_t other = getegid() == 1 ? 2 : 1;
    setgrent();
    while (struct group* g = getgrent()) {
        if (g->gr_gid != getegid()) {
            other = g->gr_gid;
            break;
        }
    }
    endgrent();
    groups.push_back(other);
    return groups;
}

std::string replace_at(const std::string& pattern, const std::string& dir) {
    std::string s = pattern;
    for (size_t pos = s.find('@'); pos != std::string::npos; pos = s.find('@', pos + dir.size()))
        s.replace(pos, 1, dir);
    return s;
}

const char kAssertion[] = "Fatal - Assertion failed in lib/shmem line [0-9]+";

// Set by every test that initialises the process-wide slot table.
bool g_slot_table_initialised = false;

void init_slots() {
    slot_init();
    g_slot_table_initialised = true;
}

}  // namespace

// Runs first in this file: under ctest every test is a process of its own;
// when the whole program runs shuffled, a table already set up skips the case.
TEST(ShmemSlot, AllocBeforeInitFails) {
    if (g_slot_table_initialised) GTEST_SKIP() << "slot table already initialised";
    EXPECT_EQ(slot_alloc(-1, nullptr, 0), -1);
    EXPECT_EQ(slot_alloc(-1, nullptr, 0), -1);
}

TEST(ShmemPath, MakePathTable) {
    struct Case {
        const char* name;
        std::vector<std::string> dirs;   // existing before the call, mode 0700
        std::vector<std::string> files;  // existing regular files
        std::string path;                // '@' stands for the temporary directory
        int result;
        std::vector<std::string> created;
        std::string log;
    };
    const Case cases[] = {
        {"under an existing directory",
         {"top"},
         {},
         "@/top/mid/leaf",
         1,
         {"top/mid", "top/mid/leaf"},
         ""},
        {"final slash", {"top"}, {}, "@/top/mid/", 1, {"top/mid"}, ""},
        {"double slash", {"top"}, {}, "@/top//mid", 1, {"top/mid"}, ""},
        {"whole chain", {}, {}, "@/a/b/c", 1, {"a", "a/b", "a/b/c"}, ""},
        {"existing last component", {"top", "top/mid"}, {}, "@/top/mid", 1, {}, ""},
        {"root", {}, {}, "/", 1, {}, ""},
        {"relative",
         {},
         {},
         "top/mid",
         0,
         {},
         "Warning - Cannot process relative path top/mid (please specify an absolute path)\n"},
        {"empty",
         {},
         {},
         "",
         0,
         {},
         "Warning - Cannot process relative path  (please specify an absolute path)\n"},
        {"last component is a file",
         {},
         {"data"},
         "@/data",
         0,
         {},
         "Warning - Cannot create last path component @/data (Not a directory)\n"},
        {"inner component is a file",
         {},
         {"data"},
         "@/data/sub",
         0,
         {},
         "Warning - Cannot create path component @/data (Not a directory)\n"},
    };
    UmaskGuard mask(077);
    for (gid_t gid : test_groups()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", gid " + std::to_string(gid));
            TempDir tmp;
            for (const auto& d : c.dirs) ASSERT_EQ(mkdir(tmp.file(d).c_str(), 0700), 0);
            for (const auto& f : c.files) write_file(tmp.file(f), "x");
            std::string path = replace_at(c.path, tmp.path());
            LogCapture log;
            EXPECT_EQ(make_path(path.c_str(), static_cast<int32_t>(gid)), c.result);
            EXPECT_EQ(log.text(), replace_at(c.log, tmp.path()));
            for (const auto& d : c.created) {
                FileInfo fi = info_of(tmp.file(d));
                EXPECT_TRUE(fi.is_dir) << d;
                EXPECT_EQ(fi.mode, 0775u) << d;
                EXPECT_EQ(fi.gid, gid) << d;
            }
            for (const auto& d : c.dirs) {
                FileInfo fi = info_of(tmp.file(d));
                EXPECT_EQ(fi.mode, 0700u) << d << " changed";
                EXPECT_EQ(fi.gid, getegid()) << d << " changed";
            }
        }
    }
}

TEST(ShmemPath, LengthLimit) {
    TempDir tmp;
    std::string base = tmp.path() + "/";
    std::string longest = base + std::string(255 - base.size(), 'x');
    std::string too_long = base + std::string(256 - base.size(), 'y');
    ASSERT_EQ(longest.size(), 255u);
    const ShmemConfig config{static_cast<int32_t>(getegid())};
    {
        LogCapture log;
        EXPECT_EQ(make_path(longest.c_str(), config.gid), 1);
        EXPECT_TRUE(info_of(longest).is_dir);
        EXPECT_EQ(make_parent_path((longest.substr(0, 254) + "/").c_str(), &config), 1);
        EXPECT_EQ(log.text(), "");
    }
    const std::string warning =
        "Warning - Cannot process long path " + too_long + " (more than 255 characters)\n";
    {
        LogCapture log;
        EXPECT_EQ(make_path(too_long.c_str(), config.gid), 0);
        EXPECT_FALSE(info_of(too_long).exists);
        EXPECT_EQ(log.text(), warning);
    }
    {
        LogCapture log;
        EXPECT_EQ(make_parent_path(too_long.c_str(), &config), 0);
        EXPECT_EQ(log.text(), warning);
    }
    int fd = -1;
    EXPECT_EXIT(open_locked_file(&fd, too_long.c_str(), &config, O_RDWR, nullptr, nullptr),
                testing::ExitedWithCode(1), "Fatal - Cannot process long path " + too_long);
}

TEST(ShmemPath, MakeParentPath) {
    TempDir tmp;
    const ShmemConfig config{static_cast<int32_t>(getegid())};
    EXPECT_EQ(make_parent_path(tmp.file("dir/sub/file").c_str(), &config), 1);
    EXPECT_TRUE(info_of(tmp.file("dir/sub")).is_dir);
    EXPECT_FALSE(info_of(tmp.file("dir/sub/file")).exists);
    EXPECT_EQ(make_parent_path("/file", &config), 1);
    {
        LogCapture log;
        EXPECT_EQ(make_parent_path("rel/file", &config), 0);
        EXPECT_EQ(log.text(),
                  "Warning - Cannot process relative path rel (please specify an absolute "
                  "path)\n");
    }
    EXPECT_EXIT((void)make_parent_path("file", &config), testing::ExitedWithCode(1), kAssertion);
    EXPECT_EXIT((void)make_parent_path(nullptr, &config), testing::ExitedWithCode(1), kAssertion);
    EXPECT_EXIT((void)make_parent_path("/a/b", nullptr), testing::ExitedWithCode(1), kAssertion);
    EXPECT_EXIT((void)make_path(nullptr, 0), testing::ExitedWithCode(1), kAssertion);
}

TEST(ShmemFile, CreatesDirectoriesAndFileWithGroupAndMode) {
    UmaskGuard mask(077);
    for (gid_t gid : test_groups()) {
        SCOPED_TRACE("gid " + std::to_string(gid));
        TempDir tmp;
        const ShmemConfig config{static_cast<int32_t>(gid)};
        std::string path = tmp.file("state/run/data.bin");
        int fd = -1;
        int32_t size = -1;
        TimeStamp mtime = 0;
        EXPECT_EQ(open_locked_file(&fd, path.c_str(), &config, O_RDWR, &size, &mtime), 1);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(size, 0);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(mtime, ts_make(static_cast<uint32_t>(st.st_mtim.tv_sec), 0));
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(write(fd, "abc", 3), 3);
        for (const char* d : {"state", "state/run"}) {
            FileInfo fi = info_of(tmp.file(d));
            EXPECT_TRUE(fi.is_dir) << d;
            EXPECT_EQ(fi.mode, 0775u) << d;
            EXPECT_EQ(fi.gid, gid) << d;
        }
        FileInfo fi = info_of(path);
        EXPECT_EQ(fi.mode, 0664u);
        EXPECT_EQ(fi.gid, gid);
        close(fd);
    }
}

TEST(ShmemFile, OpensExistingFileAsItIs) {
    TempDir tmp;
    std::string path = tmp.file("data.bin");
    write_file(path, "hello");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    struct timespec times[2] = {{1600000000, 0}, {1600000000, 999999999}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    int fd = -1;
    int32_t size = -1;
    TimeStamp mtime = 0;
    // The settings are needed only to create a file.
    EXPECT_EQ(open_locked_file(&fd, path.c_str(), nullptr, O_RDWR, &size, &mtime), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(mtime, ts_make(1600000000U, 0));
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(info_of(path).mode, 0600u);
    EXPECT_EQ(read_file(path), "hello");
    close(fd);
}

TEST(ShmemFile, LockRefusedToSecondProcess) {
    TempDir tmp;
    const ShmemConfig config{static_cast<int32_t>(getegid())};
    std::string path = tmp.file("locked/data.bin");
    int fd = -1;
    ASSERT_EQ(open_locked_file(&fd, path.c_str(), &config, O_RDWR, nullptr, nullptr), 1);
    int other = -1;
    EXPECT_EXIT(open_locked_file(&other, path.c_str(), &config, O_RDWR, nullptr, nullptr),
                testing::ExitedWithCode(1),
                "^Fatal - Cannot get read and write lock for " + path + " \\([^)]+\\)\n$");
    close(fd);
    // Closing the descriptor releases the lock.
    EXPECT_EXIT(
        {
            int r = open_locked_file(&other, path.c_str(), &config, O_RDWR, nullptr, nullptr);
            _exit(r == 0 ? 7 : 8);
        },
        testing::ExitedWithCode(7), "");
}

TEST(ShmemFile, ExclusiveCreateKeepsTheFirstWritersData) {
    TempDir tmp;
    const ShmemConfig config{static_cast<int32_t>(getegid())};
    std::string path = tmp.file("race/data.bin");
    std::string err_path = tmp.file("second.err");
    int to_test[2], to_child[2];
    ASSERT_EQ(pipe(to_test), 0);
    ASSERT_EQ(pipe(to_child), 0);
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The second process: its open fails, then it stops in make_path.
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        close(to_test[0]);
        close(to_child[1]);
        g_mkdir_notify_fd = to_test[1];
        g_mkdir_wait_fd = to_child[0];
        g_mkdir_pause_armed = true;
        int fd = -1;
        open_locked_file(&fd, path.c_str(), &config, O_RDWR, nullptr, nullptr);
        _exit(0);
    }
    close(to_test[1]);
    close(to_child[0]);
    char c = 0;
    ASSERT_EQ(read(to_test[0], &c, 1), 1) << "the second process did not stop before creating";
    // The first process creates, locks and writes while the second one waits.
    int fd = -1;
    EXPECT_EQ(open_locked_file(&fd, path.c_str(), &config, O_RDWR, nullptr, nullptr), 1);
    const char data[] = "first writer";
    EXPECT_EQ(write(fd, data, sizeof data - 1), static_cast<ssize_t>(sizeof data - 1));
    EXPECT_EQ(write(to_child[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(to_test[0]);
    close(to_child[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_EQ(count_of(read_file(err_path), "Fatal - Cannot get read and write lock for " + path),
              1);
    EXPECT_EQ(read_file(path), "first writer");
    close(fd);
}

TEST(ShmemFile, FailuresAreFatal) {
    TempDir tmp;
    const ShmemConfig config{static_cast<int32_t>(getegid())};
    ASSERT_EQ(mkdir(tmp.file("adir").c_str(), 0755), 0);
    write_file(tmp.file("plain"), "abc");
    std::string big = tmp.file("big");
    int big_fd = open(big.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(big_fd, 0);
    ASSERT_EQ(ftruncate(big_fd, 3LL << 30), 0);  // sparse, 3 GiB
    close(big_fd);
    struct Case {
        const char* name;
        std::string path;
        const ShmemConfig* config;
        int flags;
        std::string regex;
    };
    const std::string t = tmp.path();
    const Case cases[] = {
        {"a directory", t + "/adir", &config, O_RDWR,
         "Fatal - Cannot open " + t + "/adir \\(Is a directory\\)"},
        {"below a file", t + "/plain/data", &config, O_RDWR,
         "Fatal - Cannot open " + t + "/plain/data \\(Not a directory\\)"},
        {"relative directory part", "vorlix-shmem-missing/data", &config, O_RDWR,
         "Warning - Cannot process relative path vorlix-shmem-missing .*\n"
         "Fatal - Cannot create directory path vorlix-shmem-missing \\(Invalid argument\\)"},
        {"opened read-only", t + "/plain", &config, O_RDONLY,
         "Fatal - Cannot get read and write lock for " + t + "/plain \\(Bad file descriptor\\)"},
        {"larger than 32 bits tell", big, &config, O_RDWR,
         "Fatal - File " + big + " is too large \\(3221225472 bytes, at most 2147483647\\)"},
        {"no directory part", "data.bin", &config, O_RDWR, kAssertion},
        {"no settings to create with", t + "/new/data", nullptr, O_RDWR, kAssertion},
    };
    for (const Case& c : cases) {
        int fd = -1;
        EXPECT_EXIT(open_locked_file(&fd, c.path.c_str(), c.config, c.flags, nullptr, nullptr),
                    testing::ExitedWithCode(1), c.regex)
            << c.name;
    }
    EXPECT_FALSE(info_of("vorlix-shmem-missing").exists);
    EXPECT_EXIT(open_locked_file(nullptr, big.c_str(), &config, O_RDWR, nullptr, nullptr),
                testing::ExitedWithCode(1), kAssertion);
    int fd = -1;
    EXPECT_EXIT(open_locked_file(&fd, nullptr, &config, O_RDWR, nullptr, nullptr),
                testing::ExitedWithCode(1), kAssertion);
}

TEST(ShmemSlot, HandedOutInOrderAndReleasedSlotsFirst) {
    init_slots();
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(slot_alloc(-1, &a, 10), 0);
    EXPECT_EQ(slot_alloc(-1, &b, 20), 1);
    EXPECT_EQ(slot_alloc(-1, &c, 30), 2);
    EXPECT_EQ(slot_addr(1), &b);
    EXPECT_EQ(slot_size(2), 30u);
    EXPECT_EQ(slot_release(1), 0);
    EXPECT_EQ(slot_addr(1), nullptr);
    EXPECT_EQ(slot_size(1), 0u);
    EXPECT_EQ(slot_alloc(-1, &a, 40), 1);
    EXPECT_EQ(slot_alloc(-1, &a, 50), 3);
    // Released slots go on the front of the free list: last released, first out.
    EXPECT_EQ(slot_release(0), 0);
    EXPECT_EQ(slot_release(2), 0);
    EXPECT_EQ(slot_alloc(-1, nullptr, 0), 2);
    EXPECT_EQ(slot_alloc(-1, nullptr, 0), 0);
    EXPECT_EQ(slot_alloc(-1, nullptr, 0), 4);
}

TEST(ShmemSlot, AllSlotsThenNone) {
    init_slots();
    for (int i = 0; i < kShmemSlots; i++) ASSERT_EQ(slot_alloc(-1, nullptr, 1), i);
    EXPECT_EQ(slot_alloc(-1, nullptr, 1), -1);
    EXPECT_EQ(slot_release(700), 0);
    EXPECT_EQ(slot_alloc(-1, nullptr, 1), 700);
    EXPECT_EQ(slot_alloc(-1, nullptr, 1), -1);
    // slot_init starts over.
    init_slots();
    EXPECT_EQ(slot_alloc(-1, nullptr, 1), 0);
}

TEST(ShmemSlot, AcquireOnceAndCloseOnLastRelease) {
    init_slots();
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    char seg[64];
    int i = slot_alloc(p[0], seg, sizeof seg);
    ASSERT_EQ(i, 0);
    static int hook_calls = 0;
    hook_calls = 0;
    EXPECT_EQ(slot_acquire(i, sizeof seg, [](int) { hook_calls++; }), i);
    EXPECT_EQ(hook_calls, 0);
    EXPECT_EQ(slot_release(i), 1);
    EXPECT_NE(fcntl(p[0], F_GETFD), -1) << "closed while still referenced";
    EXPECT_EQ(slot_release(i), 0);
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    // slot_set changes what slot_acquire checks the size against.
    int j = slot_alloc(-1, seg, 8);
    slot_set(j, seg + 8, 32);
    EXPECT_EQ(slot_addr(j), seg + 8);
    EXPECT_EQ(slot_size(j), 32u);
    EXPECT_EQ(slot_acquire(j, 32, nullptr), j);
    // A second acquire calls the hook with the index, then stops the process.
    EXPECT_EXIT(slot_acquire(j, 0, [](int index) { fprintf(stderr, "hook %d\n", index); }),
                testing::ExitedWithCode(1), std::string("^hook 0\n") + kAssertion);
}

TEST(ShmemSlot, MisuseIsAnAssertion) {
    init_slots();
    char seg[16];
    int used = slot_alloc(-1, seg, sizeof seg);
    ASSERT_EQ(used, 0);
    const int free_slot = 5;
    struct Case {
        const char* name;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"acquire -1", [] { slot_acquire(-1, 0, nullptr); }},
        {"acquire 1024", [] { slot_acquire(kShmemSlots, 0, nullptr); }},
        {"acquire free slot", [&] { slot_acquire(free_slot, 0, nullptr); }},
        {"acquire too small", [&] { slot_acquire(used, sizeof seg + 1, nullptr); }},
        {"acquire twice",
         [&] {
             slot_acquire(used, 0, nullptr);
             slot_acquire(used, 0, nullptr);
         }},
        {"set free slot", [&] { slot_set(free_slot, seg, 1); }},
        {"set 1024", [&] { slot_set(kShmemSlots, seg, 1); }},
        {"release free slot", [&] { slot_release(free_slot); }},
        {"release twice",
         [&] {
             slot_release(used);
             slot_release(used);
         }},
        {"release -1", [] { slot_release(-1); }},
        {"check 1024", [] { slot_check(kShmemSlots); }},
        {"check -1", [] { slot_check(-1); }},
        {"addr 1024", [] { slot_addr(kShmemSlots); }},
        {"size -1", [] { slot_size(-1); }},
    };
    for (const Case& c : cases)
        EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), kAssertion) << c.name;
    slot_check(0);
    slot_check(kShmemSlots - 1);
}
