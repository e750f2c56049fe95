#pragma once

// Runs the real hdmi-preview-audio binary as a user would: a child process with its own
// environment, its standard output and error on pipes, driven through signals. Every wait has a
// deadline; the destructor kills and reaps the child, so no test leaves a process behind.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

enum class Stream { kOut, kErr };

struct OutputLine {
    Stream stream;
    std::string text;  // without the newline
    std::chrono::steady_clock::time_point arrival;
};

class ServiceProcess {
  public:
    ServiceProcess() = default;
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess();

    // Starts `binary` (a path, or a name looked up in PATH) with `args` and the test's environment
    // plus `env` ("KEY=VALUE" entries, which win).
    // With `merge_output`, standard error goes to the same pipe as standard output, so the lines
    // keep the exact order in which they were written (all are then recorded as Stream::kOut).
    // Returns false, with the cause in error(), when the process could not be started.
    bool start(const std::string& binary, const std::vector<std::string>& env,
               bool merge_output = false, const std::vector<std::string>& args = {});

    // Reads output until a line equal to `text` has arrived on `stream` (counting only lines after
    // the first `skip` such matches), or the deadline passes. Returns whether it arrived.
    bool wait_for_line(Stream stream, const std::string& text, std::chrono::milliseconds timeout,
                       size_t skip = 0);

    // Reads output until a line from index `from` of lines() on, on either stream, satisfies
    // `match`, or the deadline passes. Returns that line's index (its arrival time is
    // lines()[index].arrival), or -1 when none arrived.
    long wait_for_match(const std::function<bool(const OutputLine&)>& match,
                        std::chrono::milliseconds timeout, size_t from = 0);

    // Reads whatever output arrives within `duration` (to see that nothing does, or to keep the
    // arrival times exact while the caller waits on something else).
    void drain_for(std::chrono::milliseconds duration);
    // Reads until both output pipes are closed (the process has ended) or the deadline passes.
    void read_to_end(std::chrono::milliseconds timeout);

    // All complete lines so far, in order of arrival.
    const std::vector<OutputLine>& lines() const { return lines_; }
    std::vector<std::string> texts(Stream stream) const;
    // All lines on one line of text, standard error's marked "E:", for failure messages.
    std::string transcript() const;

    // Every complete line passes through `filter` before it is kept: the filter may rewrite its
    // text and arrival (a log follower whose lines carry their own time) or drop it (false).
    void set_line_filter(std::function<bool(OutputLine*)> filter) { filter_ = std::move(filter); }

    void send_signal(int signum);

    // Waits for the process to end; returns true with its wait status, or false at the deadline.
    bool wait_exit(std::chrono::milliseconds timeout, int* status);
    // Whether the process still runs (one that has ended is reaped).
    bool alive();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }

  private:
    bool read_some(std::chrono::steady_clock::time_point deadline);
    void take_lines(Stream stream, std::string* pending, const char* data, size_t len);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_pending_;
    std::string err_pending_;
    std::vector<OutputLine> lines_;
    std::function<bool(OutputLine*)> filter_;
    std::string error_;
};

// A temporary directory removed, with all it holds, when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Polls `condition` every few milliseconds until it holds or the deadline passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout);

// Reads a property of the store at `dir` (as the controlling process would) and writes one.
std::string read_property(const std::string& dir, const std::string& key);
bool write_property(const std::string& dir, const std::string& key, const std::string& value);

#include "service_process_inl.h"
