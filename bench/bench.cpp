// voice-host-bench: where the time of live dictation goes, host against library, in one run.
//
//   voice-host-bench --speech RAW [--quick] [--host EXE] [--scripted-host EXE]
//                    [--model WHISPER.bin] [--vad-model VAD.bin] [--shape-model WHISPER.bin]...
//
// RAW is 16 kHz mono 16-bit PCM of utterances apart by pauses. One real host goes through
// idling, real-time speech, real-time silence and speech as fast as it takes it, and right
// after each phase the library alone replays the same calls, so that both see the same
// machine; then the scripted host measures the host's own cost and its intake. Each
// --shape-model (a model of a real Whisper shape, whose decodes cost what a real one's do) goes
// through the real-time speech run and its replay as well. Prints one table. Exits non-zero
// only when a host misbehaves (dies, reports an error, misses finals).

#include "record.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;

constexpr int LOUD_LEVEL = 100;          // above the synthesizer's fade-outs, below its speech
constexpr size_t SPLIT_SAMPLES = 8000;   // 0.5 s quiet between two utterances
constexpr int DECODE_THREADS = 4;        // the host's default

struct Options {
    std::string host = VOICE_HOST_EXE;
    std::string scripted = SCRIPTED_HOST_EXE;
    std::string model = SYNTHETIC_MODEL;
    std::string vad_model = BENCH_VAD_MODEL;
    std::vector<std::string> shape_models;
    std::string speech;
    bool quick = false;
};

struct Plan {
    double idle_ms, silence_s, fast_s, intake_s, intake_budget_ms;
    int fast_runs, vad_reps;
};

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--quick") {
            o.quick = true;
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error("missing value after " + flag);
        std::string value = argv[++i];
        if (flag == "--host") o.host = value;
        else if (flag == "--scripted-host") o.scripted = value;
        else if (flag == "--model") o.model = value;
        else if (flag == "--vad-model") o.vad_model = value;
        else if (flag == "--speech") o.speech = value;
        else if (flag == "--shape-model") o.shape_models.push_back(value);
        else throw std::runtime_error("unknown option " + flag);
    }
    if (o.speech.empty()) throw std::runtime_error("--speech RAW is required");
    return o;
}

std::vector<int16_t> read_pcm(const std::string& path) {
    std::string bytes = read_file(path);
    std::vector<int16_t> pcm(bytes.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                      static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    }
    return pcm;
}

std::vector<int16_t> tiled(const std::vector<int16_t>& pcm, double seconds) {
    std::vector<int16_t> out;
    while (static_cast<double>(out.size()) < seconds * SAMPLE_RATE) {
        out.insert(out.end(), pcm.begin(), pcm.end());
    }
    return out;
}

// A quiet room rather than digital zero, at about -58 dBFS.
std::vector<int16_t> room_noise(double seconds) {
    std::vector<int16_t> out(static_cast<size_t>(seconds * SAMPLE_RATE));
    uint32_t state = 12345;
    for (int16_t& s : out) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<int16_t>(static_cast<int>(state >> 24) % 81 - 40);
    }
    return out;
}

std::vector<Utterance> find_utterances(const std::vector<int16_t>& pcm) {
    std::vector<Utterance> out;
    for (size_t i = 0; i < pcm.size(); ++i) {
        if (std::abs(static_cast<int>(pcm[i])) <= LOUD_LEVEL) continue;
        if (out.empty() || i - out.back().end > SPLIT_SAMPLES) out.push_back(Utterance{i, i});
        out.back().end = i + 1;
    }
    return out;
}

void check_events(const std::vector<Event>& events, const std::string& phase,
                  std::vector<std::string>& problems) {
    for (const Event& e : events) {
        if (e.body.value("ev", "") == "error") problems.push_back(phase + ": " + e.body.dump());
    }
}

// When each VAD pass of a real-time run could start: when the chunk that completed its step
// was written, counted from the moment the stream began.
std::vector<double> pass_due_ms(const StreamRun& run) {
    std::vector<double> due;
    const std::vector<double>& written = run.chunk_written_ms;
    if (written.empty()) return due;
    double begin = written.front() - static_cast<double>(CHUNK_SAMPLES) / SAMPLE_RATE * 1000.0;
    for (size_t end = VAD_STEP_SAMPLES; end / CHUNK_SAMPLES <= written.size(); end += VAD_STEP_SAMPLES) {
        due.push_back(written[end / CHUNK_SAMPLES - 1] - begin);
    }
    return due;
}

StreamRun real_time_phase(HostProcess& host, Library& lib, const std::vector<int16_t>& pcm, const char* what,
                          Replay& replay, std::vector<std::string>& problems) {
    std::fprintf(stderr, "bench: %s at real time, %.0f s, then the library alone\n", what,
                 static_cast<double>(pcm.size()) / SAMPLE_RATE);
    StreamRun run = stream_real_time(host, pcm, CHUNK_SAMPLES);
    check_events(run.events, what, problems);
    replay = replay_stream(lib, to_float(pcm), host_decodes(run.events), pass_due_ms(run));
    return run;
}

void run_real_host(const Options& o, const Plan& plan, Library& lib, const std::vector<int16_t>& speech,
                   const std::vector<int16_t>& fast_audio, Record& r, std::vector<std::string>& problems) {
    HostProcess host = start_configured(o.host, o.model, o.vad_model, r.ready);
    r.rss_mb.push_back(sample_proc(host.pid).rss_mb);
    std::vector<Event> idle_events;
    std::fprintf(stderr, "bench: idle %.0f s\n", plan.idle_ms / 1000);
    r.idle_ms = plan.idle_ms;
    r.idle = stay_idle(host, plan.idle_ms, idle_events);
    r.rss_mb.push_back(r.idle.rss_mb);
    check_events(idle_events, "idle", problems);

    double own_rss = sample_proc(getpid()).rss_mb;
    r.speech = real_time_phase(host, lib, speech, "speech", r.speech_replay, problems);
    r.library_growth_mb = sample_proc(getpid()).rss_mb - own_rss;
    r.rss_mb.push_back(sample_proc(host.pid).rss_mb);
    r.silence = real_time_phase(host, lib, room_noise(plan.silence_s), "silence", r.silence_replay, problems);
    r.rss_mb.push_back(sample_proc(host.pid).rss_mb);

    int expected = static_cast<int>(find_utterances(fast_audio).size());
    std::vector<float> fast_float = to_float(fast_audio);
    r.fast_audio_s = static_cast<double>(fast_audio.size()) / SAMPLE_RATE;
    for (int i = 0; i < plan.fast_runs; ++i) {
        std::fprintf(stderr, "bench: speech as fast as the host takes it, %.0f s, then the library alone\n",
                     r.fast_audio_s);
        FastPair pair;
        pair.host = stream_fast(host, fast_audio);
        r.rss_mb.push_back(sample_proc(host.pid).rss_mb);
        check_events(pair.host.events, "fast speech", problems);
        int finals = count_finals(pair.host.events);
        if (finals < expected) {
            problems.push_back("fast run: " + std::to_string(finals) + " finals for " + std::to_string(expected) +
                               " utterances");
        }
        pair.library = replay_stream(lib, fast_float, host_decodes(pair.host.events));
        r.fast.push_back(std::move(pair));
    }
    send_line(host, R"({"op":"shutdown"})");
    int status = wait_exit(host, 10000);
    if (status != 0) problems.push_back("host exit status " + std::to_string(status));
}

ModelRun run_shape_model(const Options& o, const std::string& model, const std::vector<int16_t>& speech,
                         Library& lib, std::vector<std::string>& problems) {
    ModelRun m;
    m.name = model.substr(model.find_last_of('/') + 1);
    HostProcess host = start_configured(o.host, model, o.vad_model, m.ready);
    m.speech = real_time_phase(host, lib, speech, m.name.c_str(), m.replay, problems);
    send_line(host, R"({"op":"shutdown"})");
    int status = wait_exit(host, 10000);
    if (status != 0) problems.push_back(m.name + ": host exit status " + std::to_string(status));
    return m;
}

void run_scripted_host(const Options& o, const Plan& plan, const std::vector<int16_t>& fast_audio, Record& r,
                       std::vector<std::string>& problems) {
    json ready;
    HostProcess host = start_configured(o.scripted, o.model, o.vad_model, ready);
    std::fprintf(stderr, "bench: the same fast speech through the scripted host\n");
    r.scripted_fast = stream_fast(host, fast_audio);
    check_events(r.scripted_fast.events, "scripted fast speech", problems);
    for (double write_s : INTAKE_WRITES_S) {
        std::fprintf(stderr, "bench: intake of silence by the scripted host, %.0f s a write\n", write_s);
        r.intake.push_back(intake_speed(host, write_s, plan.intake_s, plan.intake_budget_ms));
    }
    send_line(host, R"({"op":"shutdown"})");
    int status = wait_exit(host, 10000);
    if (status != 0) problems.push_back("scripted host exit status " + std::to_string(status));
}

// The 1-minute load average: other work on the machine shows in every time here.
std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string first;
    in >> first;
    return first.empty() ? "0" : first;
}

std::string machine_line() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    std::string model = "unknown CPU";
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    char date[32];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return std::string(date) + ", nproc " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + ", " + model;
}

void print_report(const Options& o, const Record& r, const Table& t, const std::string& load_before,
                  size_t utterances) {
    std::printf("voice-host benchmark%s: %s\n", o.quick ? " (quick)" : "", machine_line().c_str());
    std::printf("load average %s before the run, %s after it\n", load_before.c_str(), load_average().c_str());
    if (std::stod(load_before) > static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)) / 2) {
        std::printf("warning: the machine was busy before the run: the times below measure that "
                    "contention as much as the host\n");
    }
    std::printf("host %s, whisper.cpp %s, backend %s, %d decode threads, VAD model %s\n\n",
                r.ready.value("model", "").c_str(), r.ready.value("version", "").c_str(),
                r.ready.value("backend", "").c_str(), DECODE_THREADS,
                o.vad_model.substr(o.vad_model.find_last_of('/') + 1).c_str());
    t.print(stdout);
    std::printf("\nRows 1 to 6 use a generated synthetic Whisper model, whose decodes cost next to nothing; "
                "rows 7 use generated models of real Whisper shapes, whose decodes cost what a real model's do.\n");
    std::printf("Audio goes in 100 ms chunks, each written when its last sample would have been recorded; "
                "%zu utterances apart by 1.5 s pauses.\n", utterances);
    std::printf("Targets are reported, never enforced.\n");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options o = parse_options(argc, argv);
        std::string load_before = load_average();
        Plan plan = o.quick ? Plan{3000, 5, 30, 300, 3000, 1, 3} : Plan{10000, 15, 180, 3000, 15000, 3, 7};
        std::vector<int16_t> speech = read_pcm(o.speech);
        std::vector<Utterance> utts = find_utterances(speech);
        if (utts.empty()) throw std::runtime_error("no speech in " + o.speech);
        std::vector<int16_t> fast_audio = tiled(speech, plan.fast_s);
        std::vector<std::string> problems;

        Library lib = open_library(o.model, o.vad_model, DECODE_THREADS);
        Record r;
        run_real_host(o, plan, lib, speech, fast_audio, r, problems);
        run_scripted_host(o, plan, fast_audio, r, problems);

        std::fprintf(stderr, "bench: the floor of each final and the VAD pass cost, library alone\n");
        Table t;
        latency_rows(t, lib, r, speech, utts, problems);
        share_rows(t, r);
        intake_rows(t, r);
        cost_rows(t, r);
        vad_rows(t, lib, to_float(tiled(speech, VAD_LENGTHS_S[std::size(VAD_LENGTHS_S) - 1])), r, plan.vad_reps);
        for (const std::string& model : o.shape_models) {
            Library shaped = open_library(model, o.vad_model, DECODE_THREADS);
            ModelRun m = run_shape_model(o, model, speech, shaped, problems);
            model_rows(t, shaped, m, speech, utts, problems);
            close_library(shaped);
        }
        print_report(o, r, t, load_before, utts.size());
        for (const std::string& p : problems) std::fprintf(stderr, "bench: host misbehaved: %s\n", p.c_str());
        return problems.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return 1;
    }
}
