#include "tests/support/live.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#ifndef VORLIX_EMULATOR
#define VORLIX_EMULATOR ""
#endif

namespace {

pid_t spawn(const std::vector<std::string>& words, int in_fd, const std::string& err_path,
            int out_fd = -1) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    std::vector<std::string> w = words;
    std::vector<char*> argv;
    for (auto& a : w) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (in_fd >= 0) dup2(in_fd, 0);
    if (!err_path.empty()) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(out_fd >= 0 ? out_fd : null_fd, 1);
        dup2(err, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
}

int64_t parse_time_ns(const std::string& date, const std::string& clock) {
    struct tm tm {};
    int us = 0;
    if (sscanf(date.c_str(), "%d/%d/%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday) != 3 ||
        sscanf(clock.c_str(), "%d:%d:%d.%dZ", &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &us) != 4)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&tm)) * 1000000000LL + us * 1000LL;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, const std::string& err_path,
                               int out_fd) {
    std::vector<std::string> words = split_words(VORLIX_EMULATOR);
    words.push_back(VORLIX_BIN);
    words.insert(words.end(), args.begin(), args.end());
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    signal(SIGPIPE, SIG_IGN);
    pid_ = spawn(words, p[0], err_path, out_fd);
    close(p[0]);
    in_fd_ = p[1];
}

ServiceProcess::~ServiceProcess() {
    close_input();
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ServiceProcess::feed(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = write(in_fd_, data.data() + done, data.size() - done);
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

int ServiceProcess::wait() {
    close_input();
    int st = 0;
    if (pid_ <= 0 || waitpid(pid_, &st, 0) < 0) return -1;
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

void ServiceProcess::close_input() {
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
}

ProxyProcess::ProxyProcess(const TempDir& dir, const std::vector<std::string>& args)
    : out_(dir.file("proxy.txt")), port_file_(dir.file("proxy.port")) {
    std::vector<std::string> words = split_words(VORLIX_EMULATOR);
    words.push_back(tool_path("test-proxy"));
    words.insert(words.end(), {"--port-file", port_file_, "-o", out_});
    words.insert(words.end(), args.begin(), args.end());
    pid_ = spawn(words, -1, "");
    for (int i = 0; i < 1000 && port_ == 0; i++) {  // at most 10 s
        struct stat st;
        if (stat(port_file_.c_str(), &st) == 0) port_ = std::stoi(read_file(port_file_));
        if (port_ == 0) usleep(10000);
    }
}

ProxyProcess::~ProxyProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string ProxyProcess::lines() const {
    return read_file(out_);
}

std::string ProxyProcess::finish() {
    if (pid_ > 0) {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return read_file(out_);
}

std::vector<Line> parse_lines(const std::string& out) {
    std::vector<Line> lines;
    for (const std::string& raw : split_lines(out)) {
        if (raw.size() < 12 || raw[0] != '[') continue;
        Line l;
        l.t = std::stod(raw.substr(1, 9));
        l.text = raw.substr(12);
        std::vector<std::string> w = split_words(l.text);
        if (w.size() >= 2 && w[0] == "conn") l.conn = std::stoi(w[1]);
        if (w.size() >= 6 && w[1].back() == ':' && w[2].find('/') != std::string::npos) {
            l.message = true;
            l.time_ns = parse_time_ns(w[2], w[3]);
            l.op = w[5];
        }
        lines.push_back(l);
    }
    return lines;
}

int listen_on(uint16_t port, uint16_t* bound) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return fd;
}

int64_t realtime_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool is_frame(const Line& l) {
    return l.message && (l.op == "L2_OP_FRAME_DF17" || l.op == "L2_OP_FRAME_REST");
}
