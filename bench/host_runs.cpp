#include "host_runs.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using json = nlohmann::json;

constexpr int READY_TIMEOUT_MS = 120000;
constexpr int FLUSH_TIMEOUT_MS = 60000;
constexpr int BARRIER_TIMEOUT_MS = 60000;
constexpr size_t INTAKE_CHUNK_SAMPLES = 1600;
constexpr double TAIL_MS = 300.0;

std::string audio_line(const std::vector<int16_t>& pcm, size_t from, size_t to) {
    std::vector<int16_t> part(pcm.begin() + static_cast<std::ptrdiff_t>(from),
                              pcm.begin() + static_cast<std::ptrdiff_t>(to));
    return json{{"op", "audio"}, {"pcm", pcm_base64(part)}}.dump() + "\n";
}

// Collects the host's lines until the deadline, stamped when they were read.
void collect_until(HostProcess& host, double deadline_ms, std::vector<Event>& events) {
    std::string line;
    for (;;) {
        double left = deadline_ms - wall_ms();
        if (!read_line(host, line, left > 0 ? static_cast<int>(left) + 1 : 0)) {
            if (host.stdout_fd < 0) throw std::runtime_error("host closed its output");
            return;
        }
        events.push_back(Event{wall_ms(), parse_event(line)});
        if (wall_ms() >= deadline_ms) return;
    }
}

bool collect_through(HostProcess& host, const std::string& ev, int timeout_ms,
                     std::vector<Event>& events) {
    std::string line;
    double deadline = wall_ms() + timeout_ms;
    while (read_line(host, line, static_cast<int>(std::max(0.0, deadline - wall_ms())))) {
        events.push_back(Event{wall_ms(), parse_event(line)});
        if (events.back().body.value("ev", "") == ev) return true;
    }
    return false;
}

void flush_host(HostProcess& host, std::vector<Event>& events) {
    send_line(host, R"({"op":"flush"})");
    if (!collect_through(host, "flushed", FLUSH_TIMEOUT_MS, events)) {
        throw std::runtime_error("host did not answer flush");
    }
}

long sum_switches(const std::string& status_path) {
    std::ifstream in(status_path);
    std::string key;
    long total = 0;
    while (in >> key) {
        long value = 0;
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
            in >> value;
            total += value;
        }
    }
    return total;
}

}  // namespace

double wall_ms() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<double>(ns) / 1e6;
}

ProcSample sample_proc(pid_t pid) {
    ProcSample s;
    std::string base = "/proc/" + std::to_string(pid);
    std::string stat = read_file(base + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
    }
    s.cpu_ms = ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));

    std::ifstream status(base + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            status >> kb;
            s.rss_mb = kb / 1024.0;
        }
    }
    if (DIR* tasks = opendir((base + "/task").c_str())) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            s.wakeups += sum_switches(base + "/task/" + entry->d_name + "/status");
        }
        closedir(tasks);
    }
    return s;
}

HostProcess start_configured(const std::string& exe, const std::string& model,
                             const std::string& vad_model, json& ready) {
    HostProcess host = start_host(exe, {}, {}, {"FAKE_WHISPER_SCRIPT", "FAKE_WHISPER_LOG",
                                                "TELLVANE_VOICE_HOST_DEBUG"});
    send_line(host, json{{"op", "configure"}, {"model", model}, {"vad_model", vad_model}}.dump());
    std::vector<Event> events;
    if (!collect_through(host, "ready", READY_TIMEOUT_MS, events)) {
        throw std::runtime_error(exe + " did not answer configure with ready");
    }
    ready = events.back().body;
    return host;
}

StreamRun stream_real_time(HostProcess& host, const std::vector<int16_t>& pcm, size_t chunk) {
    StreamRun run;
    run.audio_s = static_cast<double>(pcm.size()) / SAMPLE_RATE;
    ProcSample before = sample_proc(host.pid);
    double start = wall_ms();
    for (size_t at = 0; at < pcm.size(); at += chunk) {
        size_t end = std::min(pcm.size(), at + chunk);
        std::string line = audio_line(pcm, at, end);
        collect_until(host, start + static_cast<double>(end) / SAMPLE_RATE * 1000.0, run.events);
        send(host, line);
        run.chunk_written_ms.push_back(wall_ms());
    }
    collect_until(host, wall_ms() + TAIL_MS, run.events);
    run.cpu_ms = sample_proc(host.pid).cpu_ms - before.cpu_ms;
    flush_host(host, run.events);
    return run;
}

// Sends one step of audio and a marker in one write, so that the host usually takes both in
// one batch and answers the marker before its streaming step: the next step is then on its
// way while the host works, and the lock-step costs the host no idle round trip.
void send_step(HostProcess& host, const std::string& step, size_t k, std::vector<Event>& events) {
    std::string tag = "step-" + std::to_string(k);
    std::string answer = R"({"code":"bad_command","ev":"error","fatal":false,"message":"unknown op: )" +
                         tag + R"("})";
    send(host, step + R"({"op":")" + tag + "\"}\n");
    std::string line;
    double deadline = wall_ms() + BARRIER_TIMEOUT_MS;
    while (read_line(host, line, static_cast<int>(std::max(0.0, deadline - wall_ms())))) {
        if (line == answer) return;
        events.push_back(Event{wall_ms(), parse_event(line)});
    }
    throw std::runtime_error("host did not answer " + tag);
}

FastRun stream_fast(HostProcess& host, const std::vector<int16_t>& pcm) {
    std::vector<std::string> steps;
    for (size_t at = 0; at + VAD_STEP_SAMPLES <= pcm.size(); at += VAD_STEP_SAMPLES) {
        steps.push_back(audio_line(pcm, at, at + VAD_STEP_SAMPLES));
    }
    FastRun run;
    double cpu_start = sample_proc(host.pid).cpu_ms;
    double start = wall_ms();
    for (size_t i = 0; i < steps.size(); ++i) {
        send_step(host, steps[i], i + 1, run.events);
        if (i == steps.size() / 2) run.rss_mid_mb = sample_proc(host.pid).rss_mb;
    }
    // The streaming step after the last batch runs after its marker's answer.
    send_step(host, "", steps.size() + 1, run.events);
    run.wall_ms = wall_ms() - start;
    run.cpu_ms = sample_proc(host.pid).cpu_ms - cpu_start;
    flush_host(host, run.events);
    return run;
}

double intake_speed(HostProcess& host, double write_s, double audio_s, double budget_ms) {
    std::vector<int16_t> silence(INTAKE_CHUNK_SAMPLES, 0);
    std::string line = audio_line(silence, 0, silence.size());
    double chunk_s = static_cast<double>(INTAKE_CHUNK_SAMPLES) / SAMPLE_RATE;
    size_t lines = std::max<size_t>(1, static_cast<size_t>(write_s / chunk_s + 0.5));
    std::string batch;
    for (size_t i = 0; i < lines; ++i) batch += line;
    double batch_s = static_cast<double>(lines) * chunk_s;
    double taken_s = 0;
    double start = wall_ms();
    while (taken_s < audio_s && wall_ms() - start < budget_ms) {
        send(host, batch);
        std::vector<std::string> lines = barrier(host, BARRIER_TIMEOUT_MS);
        if (!lines.empty()) throw std::runtime_error("scripted host answered silence: " + lines.front());
        taken_s += batch_s;
    }
    return taken_s / ((wall_ms() - start) / 1000.0);
}

ProcSample stay_idle(HostProcess& host, double ms, std::vector<Event>& events) {
    ProcSample before = sample_proc(host.pid);
    collect_until(host, wall_ms() + ms, events);
    ProcSample after = sample_proc(host.pid);
    return ProcSample{after.cpu_ms - before.cpu_ms, after.rss_mb, after.wakeups - before.wakeups};
}

std::vector<HostDecode> host_decodes(const std::vector<Event>& events) {
    std::vector<HostDecode> out;
    for (const Event& e : events) {
        if (e.body.value("ev", "") != "metrics") continue;
        out.push_back(HostDecode{e.body.value("kind", "") == "final", e.body.value("buffer_ms", 0)});
    }
    return out;
}
