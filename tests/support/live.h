// Processes for live-link tests: the service with a pipe on its standard
// input, and the test proxy program in the background.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

/// The service as a child process whose standard input the test writes;
/// its standard output goes to `out_fd` (discarded when -1) and its log to
/// `err_path`. Killed when destroyed.
class ServiceProcess {
   public:
    ServiceProcess(const std::vector<std::string>& args, const std::string& err_path,
                   int out_fd = -1);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    /// Writes all of `data`; false when the service no longer reads.
    bool feed(const std::string& data);
    void close_input();
    /// Closes the input and waits for the service to end: its exit status,
    /// or 128 + the signal that ended it.
    int wait();

   private:
    pid_t pid_ = -1;
    int in_fd_ = -1;
};

/// vorlix-test-proxy in the background, writing its lines to a file in
/// `dir`; stopped when destroyed.
class ProxyProcess {
   public:
    ProxyProcess(const TempDir& dir, const std::vector<std::string>& args);
    ~ProxyProcess();
    ProxyProcess(const ProxyProcess&) = delete;
    ProxyProcess& operator=(const ProxyProcess&) = delete;
    std::string url() const { return "127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    /// The lines written so far.
    std::string lines() const;
    /// Waits for the proxy to end by itself (after its connections), then
    /// returns its lines.
    std::string finish();

   private:
    std::string out_;
    std::string port_file_;
    pid_t pid_ = -1;
    int port_ = 0;
};

/// One line of the proxy's output (written with --times).
struct Line {
    double t = 0;      ///< seconds since the proxy started
    int conn = 0;      ///< connection number, 0 for lines of none
    bool message = false;
    int64_t time_ns = 0;  ///< message time, microsecond resolution
    std::string op;       ///< message op name
    std::string text;     ///< the line after its time
};

/// The proxy's lines (written with --times).
std::vector<Line> parse_lines(const std::string& out);

/// A frame message (DF17 or the other extended squitters).
bool is_frame(const Line& l);

/// A listening socket on 127.0.0.1 at `port` (0: one the system picks),
/// SO_REUSEADDR set; the port bound in *bound; -1 when it cannot listen.
int listen_on(uint16_t port, uint16_t* bound);

/// The wall clock in nanoseconds since 1970 (what a live recorder stamps).
int64_t realtime_ns();
