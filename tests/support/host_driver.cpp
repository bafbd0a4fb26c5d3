#include "host_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SEND_TIMEOUT_MS = 20000;
constexpr int EXIT_POLL_MS = 10;

Clock::time_point deadline_in(int timeout_ms) { return Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0)); }

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// A test run with stdin/stdout/stderr closed would get pipe ends 0..2, which the child's dup2
// calls would then clobber or leave close-on-exec.
int above_stdio(int fd) {
    if (fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    if (moved < 0) throw std::runtime_error("host_driver: fcntl failed");
    return moved;
}

void make_pipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("host_driver: pipe2 failed");
    ends[0] = above_stdio(ends[0]);
    ends[1] = above_stdio(ends[1]);
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

void reap(HostProcess& h) {
    int raw = 0;
    while (waitpid(h.pid, &raw, 0) < 0 && errno == EINTR) {
    }
    h.reaped = true;
    h.status = decode_status(raw);
}

void drain(int& fd, std::string& into) {
    char buf[65536];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(fd);
    }
}

// Waits up to timeout_ms for the host to do anything, moving whatever it wrote into the buffers.
// Returns whether its stdin can take bytes now (when asked to watch it).
bool pump(HostProcess& h, int timeout_ms, bool watch_stdin) {
    pollfd fds[3];
    int n = 0;
    int out_at = -1, err_at = -1, in_at = -1;
    if (h.stdout_fd >= 0) fds[out_at = n++] = {h.stdout_fd, POLLIN, 0};
    if (h.stderr_fd >= 0) fds[err_at = n++] = {h.stderr_fd, POLLIN, 0};
    if (watch_stdin && h.stdin_fd >= 0) fds[in_at = n++] = {h.stdin_fd, POLLOUT, 0};
    if (n == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return false;
    }
    if (poll(fds, static_cast<nfds_t>(n), timeout_ms) <= 0) return false;
    if (out_at >= 0 && fds[out_at].revents) drain(h.stdout_fd, h.stdout_buffer);
    if (err_at >= 0 && fds[err_at].revents) drain(h.stderr_fd, h.stderr_buffer);
    return in_at >= 0 && fds[in_at].revents != 0;
}

bool take_line(HostProcess& h, std::string& out) {
    const auto end = h.stdout_buffer.find('\n');
    if (end == std::string::npos) return false;
    out = h.stdout_buffer.substr(0, end);
    h.stdout_buffer.erase(0, end + 1);
    return true;
}

void drain_until_eof(HostProcess& h, const int& fd, int timeout_ms) {
    const auto deadline = deadline_in(timeout_ms);
    while (fd >= 0) {
        const int left = remaining_ms(deadline);
        pump(h, left, false);
        if (left == 0) return;
    }
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> child_environment(const std::vector<std::pair<std::string, std::string>>& env_set,
                                           const std::vector<std::string>& env_unset) {
    std::vector<std::string> dropped = env_unset;
    for (const auto& [name, value] : env_set) dropped.push_back(name);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::find(dropped.begin(), dropped.end(), name) == dropped.end()) env.push_back(entry);
    }
    for (const auto& [name, value] : env_set) env.push_back(name + "=" + value);
    return env;
}

}  // namespace

HostProcess::HostProcess(HostProcess&& other) noexcept { *this = std::move(other); }

HostProcess& HostProcess::operator=(HostProcess&& other) noexcept {
    if (this == &other) return *this;
    stop_host(*this);
    pid = std::exchange(other.pid, -1);
    stdin_fd = std::exchange(other.stdin_fd, -1);
    stdout_fd = std::exchange(other.stdout_fd, -1);
    stderr_fd = std::exchange(other.stderr_fd, -1);
    stdout_buffer = std::move(other.stdout_buffer);
    stderr_buffer = std::move(other.stderr_buffer);
    reaped = other.reaped;
    status = other.status;
    barriers = other.barriers;
    return *this;
}

HostProcess::~HostProcess() { stop_host(*this); }

HostProcess start_host(const std::string& exe, const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& env_set,
                       const std::vector<std::string>& env_unset) {
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv_strings{exe};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = child_environment(env_set, env_unset);
    auto argv = c_strings(argv_strings);
    auto envp = c_strings(env_strings);
    const std::string exec_failed = "host_driver: cannot execute " + exe + "\n";

    int in[2], out[2], err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("host_driver: fork failed");
    if (pid == 0) {
        // Only async-signal-safe calls from here: the test process may have other threads.
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);
        execve(exe.c_str(), argv.data(), envp.data());
        const ssize_t ignored = write(STDERR_FILENO, exec_failed.data(), exec_failed.size());
        (void)ignored;
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // Non-blocking so a large send can be interleaved with draining the host's output.
    fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);

    HostProcess h;
    h.pid = pid;
    h.stdin_fd = in[1];
    h.stdout_fd = out[0];
    h.stderr_fd = err[0];
    return h;
}

void send(HostProcess& host, const std::string& bytes) {
    const auto deadline = deadline_in(SEND_TIMEOUT_MS);
    size_t sent = 0;
    while (sent < bytes.size() && host.stdin_fd >= 0) {
        const int left = remaining_ms(deadline);
        if (left == 0) throw std::runtime_error("host_driver: host stopped reading its stdin");
        if (!pump(host, left, true)) continue;
        const ssize_t n = write(host.stdin_fd, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EPIPE) {
            close_fd(host.stdin_fd);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("host_driver: write to host failed");
        }
    }
}

void send_line(HostProcess& host, const std::string& line) { send(host, line + "\n"); }

bool read_line(HostProcess& host, std::string& out, int timeout_ms) {
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
        if (take_line(host, out)) return true;
        if (host.stdout_fd < 0) return false;
        const int left = remaining_ms(deadline);
        pump(host, left, false);
        if (left == 0) return take_line(host, out);
    }
}

std::vector<std::string> read_until(HostProcess& host, const std::function<bool(const std::string&)>& stop,
                                    int timeout_ms) {
    const auto deadline = deadline_in(timeout_ms);
    std::vector<std::string> lines;
    std::string line;
    while (read_line(host, line, remaining_ms(deadline))) {
        lines.push_back(line);
        if (stop(line)) break;
    }
    return lines;
}

std::vector<std::string> barrier(HostProcess& host, int timeout_ms) {
    const std::string tag = "barrier-" + std::to_string(++host.barriers);
    const std::string answer =
        R"({"code":"bad_command","ev":"error","fatal":false,"message":"unknown op: )" + tag + R"("})";
    send_line(host, R"({"op":")" + tag + R"("})");
    auto lines = read_until(host, [&](const std::string& line) { return line == answer; }, timeout_ms);
    if (lines.empty() || lines.back() != answer) {
        std::ostringstream why;
        why << "host_driver: " << tag << " not answered within " << timeout_ms << " ms; lines seen:";
        for (const auto& line : lines) why << "\n  " << line;
        throw std::runtime_error(why.str());
    }
    lines.pop_back();
    return lines;
}

void close_input(HostProcess& host) { close_fd(host.stdin_fd); }

int wait_exit(HostProcess& host, int timeout_ms) {
    if (host.reaped || host.pid < 0) return host.status;
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
        int raw = 0;
        if (waitpid(host.pid, &raw, WNOHANG) == host.pid) {
            host.reaped = true;
            host.status = decode_status(raw);
            return host.status;
        }
        const int left = remaining_ms(deadline);
        if (left == 0) {
            kill(host.pid, SIGKILL);
            reap(host);
            return -1;
        }
        pump(host, std::min(left, EXIT_POLL_MS), false);
    }
}

std::string read_all_stdout(HostProcess& host, int timeout_ms) {
    drain_until_eof(host, host.stdout_fd, timeout_ms);
    return std::exchange(host.stdout_buffer, std::string());
}

std::string read_all_stderr(HostProcess& host, int timeout_ms) {
    drain_until_eof(host, host.stderr_fd, timeout_ms);
    return host.stderr_buffer;
}

void stop_host(HostProcess& host) {
    if (host.pid > 0 && !host.reaped) {
        kill(host.pid, SIGKILL);
        reap(host);
    }
    close_fd(host.stdin_fd);
    close_fd(host.stdout_fd);
    close_fd(host.stderr_fd);
}

std::string pcm_base64(const std::vector<int16_t>& samples) {
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    for (const int16_t s : samples) {
        const auto u = static_cast<uint16_t>(s);
        bytes.push_back(static_cast<char>(u & 0xff));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t chunk = 0;
        for (size_t k = 0; k < 3; ++k)
            chunk = chunk << 8 | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out.push_back(k <= n ? ALPHABET[(chunk >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

std::vector<int16_t> constant_samples(size_t n, int16_t value) { return std::vector<int16_t>(n, value); }

nlohmann::json parse_event(const std::string& line) {
    auto event = nlohmann::json::parse(line);
    if (!event.is_object()) throw std::runtime_error("host_driver: event is not a JSON object: " + line);
    return event;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("host_driver: cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<nlohmann::json> read_log(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    std::vector<nlohmann::json> lines;
    // A last line without its "\n" is still being written by the host.
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        if (end > start) lines.push_back(nlohmann::json::parse(text.substr(start, end - start)));
    return lines;
}
