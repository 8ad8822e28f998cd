#include "tests/support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#ifndef VORLIX_EMULATOR
#define VORLIX_EMULATOR ""
#endif

namespace {

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input) {
    RunOptions opt;
    opt.input = input;
    return run_process_with(program, args, opt);
}

ProcessResult run_process_with(const std::string& program, const std::vector<std::string>& args,
                               const RunOptions& opt) {
    std::vector<std::string> argv_s =
        opt.native ? std::vector<std::string>{} : split_words(VORLIX_EMULATOR);
    argv_s.push_back(program);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in_pipe[2], out_pipe[2], err_pipe[2];
    // Close-on-exec: a child forked by another thread at the same time must
    // not keep this child's standard input open (its end of input would
    // never come). dup2 below gives the child its own copies without it.
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);

    const std::string& input = opt.input;
    const bool paced = opt.pace_chunk > 0 && opt.pace_bytes_per_s > 0;
    const int64_t pace_start = now_ns();
    if (opt.pace_start_ns) *opt.pace_start_ns = pace_start;
    // Input that is due now: everything, or the chunks whose time has come.
    auto due = [&]() -> size_t {
        if (!paced) return input.size();
        double elapsed = static_cast<double>(now_ns() - pace_start) * 1e-9;
        double chunks = std::floor(elapsed * opt.pace_bytes_per_s / opt.pace_chunk);
        return static_cast<size_t>(std::min(chunks * opt.pace_chunk, double(input.size())));
    };

    ProcessResult r;
    size_t written = 0;
    int in_fd = in_pipe[1];
    // Never block on the program's input while it waits for us to read its output.
    fcntl(in_fd, F_SETFL, fcntl(in_fd, F_GETFL) | O_NONBLOCK);
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true, signalled = false;
    char buf[65536];
    while (out_open || err_open) {
        struct pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_open) {
            fds[n] = {out_pipe[0], POLLIN, 0};
            out_i = n++;
        }
        if (err_open) {
            fds[n] = {err_pipe[0], POLLIN, 0};
            err_i = n++;
        }
        size_t ready = in_fd >= 0 ? due() : 0;
        if (in_fd >= 0 && ready > written) {
            fds[n] = {in_fd, POLLOUT, 0};
            in_i = n++;
        }
        // Paced input that is not due yet: wake up when the next chunk is.
        int timeout = in_fd >= 0 && in_i < 0 ? 1 : -1;
        if (poll(fds, n, timeout) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (in_i >= 0 && (fds[in_i].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write(in_fd, input.data() + written, ready - written);
            if (w > 0) written += static_cast<size_t>(w);
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        if (out_i >= 0 && (fds[out_i].revents & (POLLIN | POLLHUP | POLLERR))) {
            size_t room = std::min(sizeof buf, opt.out_limit - r.out.size());
            ssize_t k = read(out_pipe[0], buf, room);
            if (k > 0) r.out.append(buf, static_cast<size_t>(k));
            if (k <= 0 || r.out.size() >= opt.out_limit) {
                out_open = false;
                close(out_pipe[0]);  // at the limit: the reader goes away
            }
            if (!signalled && r.out.size() >= opt.signal_after) {
                kill(pid, SIGTERM);
                signalled = true;
            }
        }
        if (err_i >= 0 && (fds[err_i].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t k = read(err_pipe[0], buf, sizeof buf);
            if (k > 0)
                r.err.append(buf, static_cast<size_t>(k));
            else
                err_open = false;
        }
    }
    if (in_fd >= 0) close(in_fd);
    if (out_open) close(out_pipe[0]);
    close(err_pipe[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

ProcessResult run_vorlix(const std::vector<std::string>& args, const std::string& input) {
    return run_process(VORLIX_BIN, args, input);
}

std::string tool_path(const std::string& name) {
    return std::string(VORLIX_TOOL_DIR) + "/vorlix-" + name;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/vorlix-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

int count_of(const std::string& hay, const std::string& needle) {
    if (needle.empty()) return 0;
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size()))
        n++;
    return n;
}

std::vector<std::string> shared_recordings(const std::string& suffix) {
    std::vector<std::string> found;
    std::string dir = VORLIX_SHARED_DATA;
    DIR* d = opendir(dir.c_str());
    if (!d) return found;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(dir + "/" + name);
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

std::string stable_log(const std::string& err) {
    std::string s = err.substr(err.find('\n') + 1);
    s = std::regex_replace(s, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\dZ: Delay)"),
                           "<date>: Delay");
    s = std::regex_replace(s, std::regex(R"(sys: [0-9.]+% user: [0-9.]+%)"),
                           "sys: <cpu> user: <cpu>");
    return s;
}
