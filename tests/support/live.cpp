#include "tests/support/live.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VORLIX_EMULATOR
#define VORLIX_EMULATOR ""
#endif

namespace {

pid_t spawn(const std::vector<std::string>& words, int in_fd, const std::string& err_path) {
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
        dup2(null_fd, 1);
        dup2(err, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, const std::string& err_path) {
    std::vector<std::string> words = split_words(VORLIX_EMULATOR);
    words.push_back(VORLIX_BIN);
    words.insert(words.end(), args.begin(), args.end());
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    signal(SIGPIPE, SIG_IGN);
    pid_ = spawn(words, p[0], err_path);
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
