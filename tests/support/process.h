// Runs a program as a subprocess for process-level tests: arguments, data on
// standard input, standard output and error captured, exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;  ///< exit status, or 128 + signal number
    std::string out;  ///< everything written to standard output
    std::string err;  ///< everything written to standard error
};

/// Runs `program` with `args` (argv[1..]), feeding `input` on standard input
/// (closed after it). Under cross builds the emulator is put in front.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input = std::string());

/// How run_process_with feeds the program and reads from it.
struct RunOptions {
    std::string input;                 ///< bytes for standard input (closed after them)
    size_t pace_chunk = 0;             ///< > 0: feed `input` at a pace, this many bytes a write,
    double pace_bytes_per_s = 0;       ///< chunk k once (k + 1) chunks' time has passed
    int64_t* pace_start_ns = nullptr;  ///< set to the wall clock (ns) at which the pace began
    size_t out_limit = SIZE_MAX;       ///< close standard output after this many bytes
    size_t signal_after = SIZE_MAX;    ///< SIGTERM once standard output had this many bytes
    bool native = false;               ///< a host program: no emulator in front
};

/// run_process with the feeding and reading of `opt`.
ProcessResult run_process_with(const std::string& program, const std::vector<std::string>& args,
                               const RunOptions& opt);

/// Runs the service binary.
ProcessResult run_vorlix(const std::vector<std::string>& args,
                         const std::string& input = std::string());

/// Path of a companion tool, e.g. tool_path("capture-synth") for vorlix-capture-synth.
std::string tool_path(const std::string& name);

/// A fresh temporary directory, removed with everything in it on destruction.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

/// Writes `data` to `path` (truncating); reads a whole file.
void write_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);

/// The recordings in the shared data directory whose names end with
/// `suffix` (for example "_2400k.u8"), sorted; empty when there are none.
std::vector<std::string> shared_recordings(const std::string& suffix);

/// The lines of `text` without their newlines; a final piece without a
/// newline is a line too.
std::vector<std::string> split_lines(const std::string& text);

/// The service's log without what changes from run to run: the command-line
/// echo (it names the input), the wall-clock date of the delay line and the
/// CPU shares of the statistics report.
std::string stable_log(const std::string& err);

/// The blank-separated words of `text`.
std::vector<std::string> split_words(const std::string& text);

/// Number of non-overlapping occurrences of `needle` in `hay`.
int count_of(const std::string& hay, const std::string& needle);
