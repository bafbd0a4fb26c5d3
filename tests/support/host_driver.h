// Runs a host process behind three pipes and speaks its line protocol, for end-to-end tests.
//
//   HostProcess host = start_host(exe, args, {{"FAKE_WHISPER_SCRIPT", path}}, {"HOME"});
//   send_line(host, R"({"op":"..."})");
//   std::string line; read_line(host, line, 5000);   // next stdout line, "\n" stripped
//   auto before = barrier(host);                       // every stdout line up to the barrier
//   close_input(host); int status = wait_exit(host, 5000);
//
// start_host: the child gets this process's environment, plus env_set (overriding), minus
//   env_unset, and default SIGPIPE handling; this process ignores SIGPIPE from then on, so
//   writing to a dead host cannot kill the test. exe is a path (no PATH search); if it cannot be
//   executed the child writes why to its stderr and exits 127. Pipes are close-on-exec, so a
//   host never holds another host's stdin open.
// Every blocking call keeps draining the host's stdout and stderr into buffers, so a chatty host
//   never stalls on a full pipe, even while the test only writes or waits for its exit.
// send / send_line: raw bytes / bytes + "\n". A host that closed its stdin is ignored (the bytes
//   are dropped; check wait_exit); a host that stops reading for 20 s throws std::runtime_error.
// read_line: false on timeout or on EOF. At EOF an unterminated last fragment is not a line: it
//   stays for read_all_stdout, so a missing final "\n" cannot pass unnoticed.
// read_until: lines up to and including the first for which stop is true; on timeout or EOF the
//   lines read so far, so check that the last one satisfies stop.
// barrier: sends {"op":"barrier-<k>"} (k counts per process from 1) and returns all stdout lines
//   before the host's answer, which must be exactly
//   {"code":"bad_command","ev":"error","fatal":false,"message":"unknown op: barrier-<k>"}
//   and is not returned. The host handles lines in order, so the answer proves every earlier
//   line was handled. Beware: the barrier is a JSON command like any other (it refreshes the
//   host's idle clock), and the host's streaming step after the barrier's batch may still run.
//   Throws std::runtime_error (with the lines seen) if no answer comes within timeout_ms.
// wait_exit: exit status 0..255, 128+signal if killed by a signal, or -1 on timeout, after which
//   the host is killed with SIGKILL and reaped. Repeated calls return the same status.
// read_all_stdout / read_all_stderr: drain until EOF or timeout; stdout gives what read_line has
//   not consumed, stderr gives everything the host ever wrote there.
// stop_host (also run by the destructor): SIGKILL and reap if still running; close the pipes.
//
// Helpers: pcm_base64 encodes int16 samples little-endian, standard alphabet with padding;
// parse_event throws unless the line is one JSON object; read_file throws if the file cannot be
// read; read_log parses the scripted library's log (one JSON object a line, empty if absent).
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct HostProcess {
    pid_t pid = -1;
    int stdin_fd = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;
    std::string stdout_buffer;
    std::string stderr_buffer;
    bool reaped = false;
    int status = -1;
    int barriers = 0;

    HostProcess() = default;
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;
    HostProcess(HostProcess&& other) noexcept;
    HostProcess& operator=(HostProcess&& other) noexcept;
    ~HostProcess();
};

HostProcess start_host(const std::string& exe, const std::vector<std::string>& args = {},
                       const std::vector<std::pair<std::string, std::string>>& env_set = {},
                       const std::vector<std::string>& env_unset = {});
void send(HostProcess& host, const std::string& bytes);
void send_line(HostProcess& host, const std::string& line);
bool read_line(HostProcess& host, std::string& out, int timeout_ms);
std::vector<std::string> read_until(HostProcess& host, const std::function<bool(const std::string&)>& stop,
                                    int timeout_ms);
std::vector<std::string> barrier(HostProcess& host, int timeout_ms = 20000);
void close_input(HostProcess& host);
int wait_exit(HostProcess& host, int timeout_ms);
std::string read_all_stdout(HostProcess& host, int timeout_ms);
std::string read_all_stderr(HostProcess& host, int timeout_ms);
void stop_host(HostProcess& host);

std::string pcm_base64(const std::vector<int16_t>& samples);
std::vector<int16_t> constant_samples(size_t n, int16_t value);
nlohmann::json parse_event(const std::string& line);
std::string read_file(const std::string& path);
std::vector<nlohmann::json> read_log(const std::string& path);
