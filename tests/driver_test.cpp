// The service binary as a whole: exit statuses, the command line's
// messages and usage text, attempts and back-off, and the capture reader.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/capture.h"
#include "tests/support/process.h"

namespace {

const std::string kProg = VORLIX_BIN;
// The service as a shell command (with the emulator in front under cross builds).
const std::string kShellProg = std::string(VORLIX_EMULATOR) + " " + kProg;
constexpr uint64_t kT0 = 1700000000000000000ULL;  // 2023-11-14, in ns
constexpr uint64_t kStep = 1706666ULL;            // one block at 2.4 MS/s, in ns

std::string usage_text() {
    return "usage: " + kProg +
           " [-d<level>] [-V] [-t <sec>] [-w <sec] -o <dest-url>  <file name>\n"
           "       -d<pattern> set debug pattern (bitwise or)\n"
           "                   bits: phase=0x80, lex=0x40, yacc=0x20, cnst=0x10, decode3=0x8, "
           "decode2=0x4, decode1=0x2, statistics=0x1\n"
           "       -l | --logfile <file>\n"
           "                   log to this file instead of stderr\n"
           "       -o | --output <dest-url>, connect to this destination proxy-url which is "
           "defined by <host>:<port>\n"
           "       -r | --retry <count>, number of retries on IO error (default: -1 - infinite) "
           "(range: -1 .. 100)\n"
           "       -s | --samp_rate <Sp/s>\n"
           "                   sampling rate. (default 2.4M).\n"
           "                   range: 2M to 3.2M\n"
           "       -t | --time <sec>\n"
           "                   statistical timing interval in seconds (default 30s.)  (range: 1 "
           ".. 3600)\n"
           "       -w | --wait <sec>\n"
           "                   wait <sec> seconds before starting the service (default 15s)\n"
           "       -z | --sensitvity\n"
           "                   frame detection sensitvity (-5 .. 10) default to 0\n"
           "       -c | --classic\n"
           "                   decode with the classic single-pass demodulator (no phase search, "
           "no error correction)\n"
           "       --net-bo-port <port>\n"
           "                   serve the frames as a Beast binary stream on this TCP port (1 .. "
           "65535)\n"
           "       --net-ro-port <port>\n"
           "                   serve the frames as raw *HEX; lines on this TCP port (1 .. 65535)\n"
           "       --net-bind-address <address>\n"
           "                   listen on this numeric IPv4 or IPv6 address only (default: every "
           "address)\n"
           "       <file name> file to be parsed\n"
           "       -V | --version \n"
           "                   show " +
           kProg +
           " version information and exit\n"
           "       -h | --help \n"
           "       -? | --help \n";
}

// Runs a shell command line on the host (the service inside it goes through
// kShellProg); returns its exit status.
int run_shell(const std::string& script) {
    int st = system(script.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The log lines of the given severities ("Warning - ", "Info - "), in order.
std::vector<std::string> log_lines(const std::string& err) {
    std::vector<std::string> out;
    for (const std::string& line : split_lines(err)) {
        if (line.rfind("Warning - ", 0) == 0 || line.rfind("Info - ", 0) == 0 ||
            line.rfind("Fatal - ", 0) == 0)
            out.push_back(line);
    }
    return out;
}

// The echo of the command line, printed before the options are parsed.
std::string echo(const std::vector<std::string>& args) {
    std::string s = kProg;
    for (auto& a : args) s += " " + a;
    return s + "\n";
}

const char kClose[] = "Info - Close in_fd and ctx.out_fd\n";

TEST(DriverTest, UsageVersionAndMissingFile) {
    ProcessResult r = run_vorlix({"-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kProg + " -h\n" + usage_text());
    EXPECT_EQ(r.out, "");

    r = run_vorlix({"-?"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, echo({"-?"}) + usage_text());

    r = run_vorlix({"-Vh", "x", "y"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, echo({"-Vh", "x", "y"}) + kProg + " version " VORLIX_VERSION "\n");

    r = run_vorlix({"-hV"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, echo({"-hV"}) + usage_text());

    r = run_vorlix({"-d0", "-w", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, echo({"-d0", "-w", "0"}) + "Fatal - Missing file\n\n");
}

// The echo of the command line is cut to 254 characters.
TEST(DriverTest, LongCommandLineEchoIsCut) {
    std::string name(300, 'n');
    ProcessResult r = run_vorlix({"-w", "0", name});
    EXPECT_EQ(r.status, 1);
    std::string full = kProg + " -w 0 " + name;
    EXPECT_EQ(r.err.substr(0, 255), full.substr(0, 254) + "\n");
}

TEST(DriverTest, UsageAndVersionIgnoreTheLogFile) {
    TempDir dir;
    std::string log = dir.file("log");
    ProcessResult r = run_vorlix({"-l", log, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, echo({"-l", log, "-h"}) + usage_text());
    r = run_vorlix({"--logfile=" + log, "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              echo({"--logfile=" + log, "--version"}) + kProg + " version " VORLIX_VERSION "\n");
    EXPECT_EQ(read_file(log), "");

    // Log lines after the option go to the file.
    write_file(dir.file("empty"), "");
    r = run_vorlix({"-l", log, "-w", "0", "-r", "0", dir.file("empty")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(r.err, "Warning"), 0) << r.err;
    EXPECT_NE(read_file(log).find("Warning - can't read file: 0\n\n"), std::string::npos);
}

TEST(DriverTest, CommandLineErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-s", "3.3M"}, "Cannot set samp_rate: 3300000Hz (out of range)\n"},
        {{"-s", "1999999"}, "Cannot set samp_rate: 1999999Hz (out of range)\n"},
        // -2 * 1000 + 0.5 truncates toward zero to -1999.
        {{"-s", "-2M"}, "Cannot set samp_rate: -1999000Hz (out of range)\n"},
        {{"-s", "5000000000k"}, "Cannot set samp_rate: 5000000000000Hz (out of range)\n"},
        {{"-s", "2.4G"}, "Cannot set samp_rate: 2.4G (format error)\n"},
        {{"-s", "M"}, "Cannot set samp_rate: M (format error)\n"},
        {{"-z", "21"}, "Cannot set sensitvity[0]: 21\n"},
        {{"-z", "-6"}, "Cannot set sensitvity[0]: -6\n"},
        {{"-z", "3,"}, "Cannot set sensitvity[1]: \n"},
        {{"-z", "1,2,x"}, "Cannot set sensitvity[2]: x\n"},
        {{"--sensitvity", "-5"}, "Syntax error on command line (--sensitvity)\n"},
        {{"-t", "0"}, "time interval is out of range: 0\n"},
        {{"-t", "3601"}, "time interval is out of range: 3601\n"},
        {{"-t", "x"}, "Cannot set time interval to x\n"},
        {{"-w", "3601"}, "startup delay is out of range: 3601\n"},
        {{"-w", "-1"}, "startup delay is out of range: -1\n"},
        {{"-w", "s"}, "Cannot set wait service delay to s\n"},
        {{"-r", "101"}, "retry count is out of range (-1 .. 100): 101\n"},
        {{"-r", "-2"}, "retry count is out of range (-1 .. 100): -2\n"},
        {{"-r", "q"}, "Cannot set retry count to q\n"},
        {{"-d", "256"}, "Cannot convert debug level: 256\n"},
        {{"-d", "z"}, "Cannot convert debug level: z\n"},
        {{"-o", "a:1", "-o", "b:2"}, "Cannot support multiple destination urls: b:2\n"},
        {{"-o", ""}, "Cannot support empty destination url\n"},
        // A port outside 1..65535 would reach the resolver, which takes it
        // modulo 65536 (99999 is 34463).
        {{"-o", "127.0.0.1:99999"},
         "Cannot use destination url 127.0.0.1:99999 (port 99999 is outside 1..65535)\n"},
        {{"-o", "127.0.0.1:65536"},
         "Cannot use destination url 127.0.0.1:65536 (port 65536 is outside 1..65535)\n"},
        {{"-o", "127.0.0.1:0"},
         "Cannot use destination url 127.0.0.1:0 (port 0 is outside 1..65535)\n"},
        {{"-o", "h:4294971296"},
         "Cannot use destination url h:4294971296 (port 4294971296 is outside 1..65535)\n"},
        {{"-o", "127.0.0.1:"},
         "Cannot use destination url 127.0.0.1: (no port after the colon; give "
         "<host>:<port>)\n"},
        {{"-o", "127.0.0.1:-1"},
         "Cannot use destination url 127.0.0.1:-1 (port -1 is not a number)\n"},
        {{"-o", "127.0.0.1:80x"},
         "Cannot use destination url 127.0.0.1:80x (port 80x is not a number)\n"},
        {{"-o", "127.0.0.1:a/b"},
         "Cannot use destination url 127.0.0.1:a/b (port a/b is not a service name)\n"},
        {{"-o", ":4000"}, "Cannot use destination url :4000 (no host before the colon)\n"},
        {{"--net-bo-port", "0"},
         "Cannot listen for the Beast output on port '0' (give a port 1 .. 65535)\n"},
        {{"--net-ro-port", "70000"},
         "Cannot listen for the raw output on port '70000' (give a port 1 .. 65535)\n"},
        {{"--net-bo-port=x"},
         "Cannot listen for the Beast output on port 'x' (give a port 1 .. 65535)\n"},
        {{"--net-ro-port", ""},
         "Cannot listen for the raw output on port '' (give a port 1 .. 65535)\n"},
        {{"--net-bo-port", "+5"},
         "Cannot listen for the Beast output on port '+5' (give a port 1 .. 65535)\n"},
        {{"--net-bind-address", "localhost"},
         "Cannot listen on address 'localhost' (give a numeric IPv4 or IPv6 address)\n"},
        {{"--net-bo"}, "Syntax error on command line (--net-bo)\n"},
        {{"-\x01"}, "Syntax error on command line (-\x01)\n"},
        {{"a", "b"}, "\nMore than one file specified.\n"},
        {{"--"}, "Syntax error on command line (--)\n"},
        {{"--tim", "5"}, "Syntax error on command line (--tim)\n"},
        {{"--version=1"}, "Syntax error on command line (--version=1)\n"},
        {{"-x"}, "Syntax error on command line (-x)\n"},
        {{"-t"}, "Syntax error on command line (-t)\n"},
        {{"-l", "/nonexistent-dir/x.log"}, "Cannot open logfile: /nonexistent-dir/x.log\n"},
    };
    for (auto& c : cases) {
        ProcessResult r = run_vorlix(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, echo(c.args) + kProg + ": " + c.message + "\n" + usage_text())
            << c.message;
    }
    // The ends of the port range, and a service name, are destinations (the
    // empty input ends the attempt before anything is connected).
    TempDir dir;
    write_file(dir.file("empty"), "");
    for (const char* url : {"127.0.0.1:1", "127.0.0.1:65535", "localhost:http"}) {
        ProcessResult r =
            run_vorlix({"-d", "0", "-w", "0", "-r", "0", "-o", url, dir.file("empty")});
        EXPECT_EQ(r.status, 0) << url << "\n" << r.err;
        EXPECT_EQ(r.err.find("usage:"), std::string::npos) << url << "\n" << r.err;
    }
}

// A directory opens but cannot be read: it is as fatal as a missing file
// (not a warning and another attempt for ever).
TEST(DriverTest, InputThatCannotBeOpenedIsFatal) {
    TempDir dir;
    struct Case {
        std::string input;
        std::string reason;
    } cases[] = {
        {"/nonexistent-dir/capture", "errno=2 (No such file or directory)"},
        {dir.path(), "errno=21 (Is a directory)"},
    };
    for (auto& c : cases) {
        ProcessResult r = run_vorlix({"-w", "0", "-r", "3", c.input});
        EXPECT_EQ(r.status, 1) << c.input;
        EXPECT_EQ(log_lines(r.err), std::vector<std::string>({"Fatal - can't open file " + c.input +
                                                              " (-1, " + c.reason + ")"}))
            << c.input;
    }
}

TEST(DriverTest, StartUpLinesAndDelayDots) {
    TempDir dir;
    write_file(dir.file("cap"), capture_probe(false));
    ProcessResult r = run_vorlix({"-d", "3", "-w", "1", "-r", "0", dir.file("cap")});
    EXPECT_EQ(r.status, 0);
    std::string echo = kProg + " -d 3 -w 1 -r 0 " + dir.file("cap") + "\n";
    EXPECT_EQ(r.err.rfind(echo, 0), 0U) << r.err;
    EXPECT_NE(r.err.find("Sampling rate: 2.400MHz, Resampling: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Z: Delay 1s .\nreconnect delay index=0\n"), std::string::npos) << r.err;
    // The date in front of the delay is "YYYY/MM/DD hh:mm:ssZ".
    size_t at = r.err.find("Z: Delay 1s");
    ASSERT_GE(at, 19U);
    std::string date = r.err.substr(at - 19, 20);
    EXPECT_EQ(date[4], '/');
    EXPECT_EQ(date[7], '/');
    EXPECT_EQ(date[10], ' ');
    EXPECT_EQ(date[13], ':');
}

TEST(DriverTest, EmptyFileIsRetriedWithBackOff) {
    TempDir dir;
    write_file(dir.file("empty"), "");
    auto start = std::chrono::steady_clock::now();
    ProcessResult r = run_vorlix({"-d", "2", "-w", "0", "-r", "1", dir.file("empty")});
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0);
    size_t from = r.err.find("reconnect delay index=0");
    ASSERT_NE(from, std::string::npos) << r.err;
    const std::string named = "Warning - file " + dir.file("empty") +
                              ": 0 bytes, shorter than the 8192-byte probe block a capture "
                              "begins with; nothing to decode\n";
    EXPECT_EQ(r.err.substr(from),
              "reconnect delay index=0\nWarning - can't read file: 0\n\n" + named +
                  "reconnect delay index=1\nInfo - next attempt in 2 s\n"
                  "Warning - can't read file: 0\n\n" + named);
    EXPECT_GE(elapsed, std::chrono::seconds(2));
}

// One attempt over inputs that end the attempt in different ways; the log
// lines of warnings and info are compared whole.
TEST(DriverTest, OneAttemptOverCaptures) {
    struct Case {
        const char* what;
        std::string data;
        std::vector<std::string> lines;  // "%s" stands for the file name
        bool reports = true;  // the attempt demodulates a block: its end reports once
    } cases[] = {
        {"raw, whole blocks", raw_capture(2), {}},
        {"raw, probe only", capture_probe(false), {}, false},
        {"raw, short probe",
         std::string(100, 'x'),
         {"Warning - only read 100 of 8192",
          "Warning - file %s: 100 bytes, shorter than the 8192-byte probe block a capture "
          "begins with; nothing to decode"},
         false},
        {"raw, cut block",
         raw_capture(2) + std::string(100, 0),
         {"Warning - short read on file %s len=100"}},
        {"time-stamped, good", timestamped_capture(3, kT0, kStep), {}},
        {"time-stamped, probe only", capture_probe(true), {}, false},
        {"time-stamped, bad magic",
         timestamped_capture(1, kT0, kStep) + capture_record(kT0, 8192, 0x54535202),
         {"Warning - file %s: record 2 has magic 0x54535202, not 0x54535201"}},
        {"time-stamped, length 0",
         capture_probe(true) + capture_record(kT0, 0),
         {"Warning - file %s: record 1 announces 0 data bytes, not 8192"}, false},
        {"time-stamped, length 0xFFFFFFFF",
         capture_probe(true) + capture_record(kT0, 0xFFFFFFFFU),
         {"Warning - file %s: record 1 announces 4294967295 data bytes, not 8192"}, false},
        {"time-stamped, length 8191",
         capture_probe(true) + capture_record(kT0, 8191),
         {"Warning - file %s: record 1 announces 8191 data bytes, not 8192"}, false},
        {"time-stamped, length 8193",
         capture_probe(true) + capture_record(kT0, 8193) + std::string(1, 0),
         {"Warning - file %s: record 1 announces 8193 data bytes, not 8192"}, false},
        {"time-stamped, data cut",
         timestamped_capture(2, kT0, kStep) + capture_header(kT0) + std::string(100, 0),
         {"Warning - file %s: record 3 ends after 116 of 8208 bytes"}},
        {"time-stamped, header cut",
         timestamped_capture(1, kT0, kStep) + capture_header(kT0).substr(0, 10),
         {"Warning - file %s: record 2 ends after 10 of 8208 bytes"}},
        {"time-stamped, no probe block",
         capture_record(kT0) + capture_record(kT0 + kStep),
         {"Warning - file %s: record 1 has magic 0x7F7F7F7F, not 0x54535201"}, false},
    };
    TempDir dir;
    for (auto& c : cases) {
        std::string name = dir.file("cap");
        write_file(name, c.data);
        ProcessResult r = run_vorlix({"-d", "1", "-w", "0", "-r", "0", name});
        std::vector<std::string> expected;
        for (auto line : c.lines) {
            size_t at = line.find("%s");
            if (at != std::string::npos) line.replace(at, 2, name);
            expected.push_back(line);
        }
        bool probe_failed = c.data.empty();
        if (!probe_failed) expected.push_back(std::string(kClose, sizeof kClose - 2));
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(log_lines(r.err), expected) << c.what << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, kClose), 1) << c.what;
        EXPECT_EQ(count_of(r.err, "msg stats: "), c.reports ? 1 : 0) << c.what << "\n" << r.err;
    }
}

// A capture read through a pipe that delivers it in odd pieces gives the
// same log as the file read directly.
TEST(DriverTest, PipeInPiecesMatchesFile) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string data;
    } cases[] = {
        {"raw", raw_capture(3)},
        {"time-stamped", timestamped_capture(3, kT0, kStep)},
    };
    for (auto& c : cases) {
        std::string name = dir.file("cap");
        write_file(name, c.data);
        ProcessResult direct = run_vorlix({"-d", "0", "-w", "0", "-r", "0", name});
        // Pieces of 100 bytes, 8200 bytes (inside the second block or
        // record), then the rest, with pauses in between.
        std::string script = "(head -c 100 '" + name + "'; sleep 0.2; tail -c +101 '" + name +
                             "' | head -c 8200; sleep 0.2; tail -c +8301 '" + name + "') | " +
                             kShellProg + " -d 0 -w 0 -r 0 - >'" + dir.file("out") + "' 2>'" +
                             dir.file("err") + "'";
        EXPECT_EQ(run_shell(script), 0) << c.what;
        std::string err = read_file(dir.file("err"));
        EXPECT_EQ(log_lines(err), log_lines(direct.err)) << c.what << "\n" << err;
        EXPECT_EQ(read_file(dir.file("out")), direct.out) << c.what;
    }
}

// Standard input is not reopened: the second attempt goes on where the
// stream is, realigns on the next record header and says what it skipped.
TEST(DriverTest, StandardInputResumesOnNextRecord) {
    std::string data = timestamped_capture(1, kT0, kStep) + std::string(100, 0x55) +
                       capture_record(kT0 + 2 * kStep) + capture_record(kT0 + 3 * kStep) +
                       capture_record(kT0 + 4 * kStep);
    ProcessResult r = run_vorlix({"-d", "0", "-w", "0", "-r", "1", "-"}, data);
    EXPECT_EQ(r.status, 0);
    std::string close(kClose, sizeof kClose - 2);
    EXPECT_EQ(log_lines(r.err),
              std::vector<std::string>(
                  {"Warning - file -: record 2 has magic 0x55555555, not 0x54535201", close,
                   "Info - next attempt in 2 s",
                   "Warning - file -: skipped 100 bytes to the next record header", close}))
        << r.err;
}

TEST(DriverTest, StandardInputAtItsEndEndsEachAttempt) {
    ProcessResult r = run_vorlix({"-d", "0", "-w", "0", "-r", "1", "-"}, raw_capture(1));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(r.err, kClose), 2) << r.err;
    EXPECT_EQ(count_of(r.err, "Warning"), 0) << r.err;
}

// An output that cannot be connected ends the attempt with its warning; the
// run, whose retry count the destination used up, ends with status 2.
TEST(DriverTest, UnreachableProxy) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::string url = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    close(s);  // nobody listens on the port now

    TempDir dir;
    write_file(dir.file("cap"), raw_capture(1));
    ProcessResult r = run_vorlix({"-d", "0", "-w", "0", "-r", "0", "-o", url, dir.file("cap")});
    EXPECT_EQ(r.status, 2);  // the destination failed: not a clean end
    EXPECT_NE(r.err.find("Warning - Cannot open " + url + " (no-sock)\n\n" + kClose),
              std::string::npos)
        << r.err;
}

// A destination whose writes fail ends the attempt at once.
TEST(DriverTest, FailingOutputEndsTheAttempt) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    write_file(dir.file("cap"), timestamped_capture(2, kT0, kStep));
    ProcessResult r =
        run_vorlix({"-d", "0", "-w", "0", "-r", "0", "-o", "/dev/full", dir.file("cap")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(
        r.err.find("Warning - Cannot write to /dev/full, output closed\n" + std::string(kClose)),
        std::string::npos)
        << r.err;
    EXPECT_EQ(count_of(r.err, kClose), 1);
}

// The block counts of the statistics reports' headlines, in order.
std::vector<int> report_blocks(const std::string& err) {
    std::vector<int> out;
    const std::string key = "msg stats: proc/skip:[";
    for (size_t at = err.find(key); at != std::string::npos; at = err.find(key, at + 1))
        out.push_back(std::stoi(err.substr(at + key.size())));
    return out;
}

// A report is due when more than time_interval seconds of capture time have
// passed since the last one, the first one interval after the attempt's
// first block (not at it: an empty report dated 1970 began every attempt).
TEST(DriverTest, StatisticsInterval) {
    TempDir dir;
    const uint64_t s = 1000000000ULL;
    std::string data = capture_probe(true) + capture_record(kT0) + capture_record(kT0 + s / 2) +
                       capture_record(kT0 + s) +      // exactly 1 s: not yet
                       capture_record(kT0 + s + 1) +  // just over 1 s
                       capture_record(kT0 + s + 2) + capture_record(kT0 + 5 * s) +
                       capture_record(kT0 + 4 * s);  // back in time: no report
    write_file(dir.file("ts"), data);
    ProcessResult r = run_vorlix({"-w", "0", "-r", "0", "-t", "1", dir.file("ts")});
    EXPECT_EQ(r.status, 0);
    // The end of the input reports the record left since the last report.
    EXPECT_EQ(report_blocks(r.err), std::vector<int>({4, 2, 1})) << r.err;

    // Raw input at 2.4 MS/s: the first block is stamped two block durations
    // after the report time, so the 585th block is the first past 1 s
    // (586 * 7330074 > 2^32 > 585 * 7330074); the end of input reports the rest.
    write_file(dir.file("raw"), raw_capture(600));
    r = run_vorlix({"-w", "0", "-r", "0", "-t", "1", dir.file("raw")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(report_blocks(r.err), std::vector<int>({585, 15})) << r.err;
}

// A raw capture with extended squitters, made by the project's synthesizer.
std::string synth_raw(const TempDir& dir) {
    std::string name = dir.file("synth.u8");
    ProcessResult r = run_process(tool_path("capture-synth"), {"-o", name, "-F", "raw", "-d", "0.3",
                                                               "--df17", "100", "-s", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    return name;
}

// Without -o the frames go to standard output, which the close path leaves
// open: the second attempt's frames arrive as well as the first's.
TEST(DriverTest, StandardOutputStaysOpenAcrossAttempts) {
    TempDir dir;
    std::string name = synth_raw(dir);
    ProcessResult once = run_vorlix({"-d", "0", "-w", "0", "-r", "0", name});
    if (once.out.empty()) GTEST_SKIP() << "no frames found in the capture";
    ProcessResult twice = run_vorlix({"-d", "0", "-w", "0", "-r", "1", name});
    EXPECT_EQ(twice.status, 0);
    EXPECT_EQ(twice.out.size(), 2 * once.out.size());
}

// With -o and raw input the HELLO and the frames carry the same station id,
// even when the id is drawn at random.
TEST(DriverTest, OneStationIdPerAttempt) {
    TempDir dir;
    std::string name = synth_raw(dir);
    std::string out = dir.file("out.l2");
    ProcessResult r = run_vorlix({"-d", "0", "-w", "0", "-r", "0", "-o", out, name});
    EXPECT_EQ(r.status, 0);
    std::string l2 = read_file(out);
    std::vector<std::string> ids;
    for (size_t pos = 0; pos + 20 <= l2.size(); pos += 20 + static_cast<uint8_t>(l2[pos + 19])) {
        ASSERT_EQ(l2.substr(pos, 4), "ads2") << "at " << pos;
        ids.push_back(l2.substr(pos + 12, 6));
    }
    if (ids.size() < 2) GTEST_SKIP() << "no frames found in the capture";
    for (size_t i = 1; i < ids.size(); i++) EXPECT_EQ(ids[i], ids[0]) << "message " << i;
}

// SIGPIPE is logged and ignored: the service goes on reading.
TEST(DriverTest, SigpipeIsLoggedAndIgnored) {
    TempDir dir;
    write_file(dir.file("cap"), raw_capture(1));
    std::string err = dir.file("err"), go = dir.file("go");
    // Standard input stays silent until the signal was sent.
    std::string script = "(while [ ! -e '" + go + "' ]; do sleep 0.05; done; cat '" +
                         dir.file("cap") + "') | " + kShellProg + " -w 0 -r 0 - 2>'" + err +
                         "' & pid=$!; i=0; while ! grep -q Delay '" + err +
                         "' && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; kill -PIPE $pid; "
                         "touch '" +
                         go + "'; wait $pid";
    EXPECT_EQ(run_shell(script), 0);
    std::string log = read_file(err);
    EXPECT_NE(log.find("\nWarning - manually ignore SIGPIPE\n\n"), std::string::npos) << log;
    EXPECT_EQ(count_of(log, kClose), 1) << log;
}

}  // namespace
