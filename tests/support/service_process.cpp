#include "service_process.h"

#include <cutils/properties.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

extern char** environ;

using Clock = std::chrono::steady_clock;

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

bool ServiceProcess::start(const std::string& binary, const std::vector<std::string>& env,
                           bool merge_output, const std::vector<std::string>& args) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        vars[entry.substr(0, entry.find('='))] = entry;
    }
    for (const std::string& entry : env) vars[entry.substr(0, entry.find('='))] = entry;
    std::vector<char*> envp;
    for (auto& kv : vars) envp.push_back(kv.second.data());
    envp.push_back(nullptr);

    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || (!merge_output && pipe2(err, O_CLOEXEC) != 0)) {
        error_ = std::string("cannot create pipes: ") + strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, merge_output ? out[1] : err[1], STDERR_FILENO);
    // The child gets default signal dispositions and an empty mask, whatever the test runner has.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawnp(&pid_, binary.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    if (!merge_output) close(err[1]);
    out_fd_ = out[0];
    err_fd_ = merge_output ? -1 : err[0];
    if (rc != 0) {
        pid_ = -1;
        error_ = "cannot start " + binary + ": " + strerror(rc);
        return false;
    }
    return true;
}

void ServiceProcess::take_lines(Stream stream, std::string* pending, const char* data, size_t len) {
    pending->append(data, len);
    size_t newline;
    while ((newline = pending->find('\n')) != std::string::npos) {
        OutputLine line{stream, pending->substr(0, newline), Clock::now()};
        pending->erase(0, newline + 1);
        if (!filter_ || filter_(&line)) lines_.push_back(std::move(line));
    }
}

// Waits for output until the deadline; returns false once the deadline has passed.
bool ServiceProcess::read_some(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (out_fd_ < 0 && err_fd_ < 0) {
        // Both pipes closed: nothing more can arrive; wait out the deadline without spinning.
        std::this_thread::sleep_until(deadline);
        return false;
    }
    const int wait_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, wait_ms) <= 0) return Clock::now() < deadline;
    char buf[4096];
    const Stream streams[2] = {Stream::kOut, Stream::kErr};
    std::string* pendings[2] = {&out_pending_, &err_pending_};
    int* fd_slots[2] = {&out_fd_, &err_fd_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
            take_lines(streams[i], pendings[i], buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(*fd_slots[i]);
            *fd_slots[i] = -1;
        }
    }
    return true;
}

bool ServiceProcess::wait_for_line(Stream stream, const std::string& text,
                                   std::chrono::milliseconds timeout, size_t skip) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        size_t seen = 0;
        for (const OutputLine& line : lines_) {
            if (line.stream == stream && line.text == text && seen++ == skip) return true;
        }
        if (!read_some(deadline)) return false;
    }
}

long ServiceProcess::wait_for_match(const std::function<bool(const OutputLine&)>& match,
                                    std::chrono::milliseconds timeout, size_t from) {
    const auto deadline = Clock::now() + timeout;
    for (size_t next = from;;) {
        for (; next < lines_.size(); ++next) {
            if (match(lines_[next])) return static_cast<long>(next);
        }
        if (!read_some(deadline)) return -1;
    }
}

void ServiceProcess::drain_for(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (read_some(deadline)) {
    }
}

void ServiceProcess::read_to_end(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while ((out_fd_ >= 0 || err_fd_ >= 0) && read_some(deadline)) {
    }
}

std::vector<std::string> ServiceProcess::texts(Stream stream) const {
    std::vector<std::string> out;
    for (const OutputLine& line : lines_) {
        if (line.stream == stream) out.push_back(line.text);
    }
    return out;
}

std::string ServiceProcess::transcript() const {
    std::string out;
    for (const OutputLine& line : lines_) {
        out += (line.stream == Stream::kErr ? "E:" : "") + line.text + " | ";
    }
    return out;
}

void ServiceProcess::send_signal(int signum) {
    if (pid_ > 0) kill(pid_, signum);
}

bool ServiceProcess::wait_exit(std::chrono::milliseconds timeout, int* status) {
    if (pid_ <= 0) return false;
    const bool ended = eventually(
        [&] {
            pid_t r = waitpid(pid_, status, WNOHANG);
            return r == pid_ || (r < 0 && errno != EINTR);
        },
        timeout);
    if (ended) pid_ = -1;
    return ended;
}

bool ServiceProcess::alive() {
    int status;
    return !wait_exit(std::chrono::milliseconds(0), &status) && pid_ > 0;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                       "/hdmi-preview-test.XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {
// The store's directory comes from the environment; tests are single-threaded, so it is set
// around each call and put back.
class StoreDir {
  public:
    explicit StoreDir(const std::string& dir) {
        const char* old = getenv("HDMI_PREVIEW_PROPERTY_DIR");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        setenv("HDMI_PREVIEW_PROPERTY_DIR", dir.c_str(), 1);
    }
    ~StoreDir() {
        if (had_old_) {
            setenv("HDMI_PREVIEW_PROPERTY_DIR", old_.c_str(), 1);
        } else {
            unsetenv("HDMI_PREVIEW_PROPERTY_DIR");
        }
    }

  private:
    bool had_old_ = false;
    std::string old_;
};
}  // namespace

std::string read_property(const std::string& dir, const std::string& key) {
    StoreDir store(dir);
    char value[PROPERTY_VALUE_MAX];
    property_get(key.c_str(), value, "");
    return value;
}

bool write_property(const std::string& dir, const std::string& key, const std::string& value) {
    StoreDir store(dir);
    return property_set(key.c_str(), value.c_str()) == 0;
}
