// voice-host-bench: where the time of live dictation goes, host against library, in one run.
//
//   voice-host-bench --speech RAW [--quick] [--host EXE] [--scripted-host EXE]
//                    [--model WHISPER.bin] [--vad-model VAD.bin]
//
// RAW is 16 kHz mono 16-bit PCM of utterances apart by pauses. One real host goes through
// idling, real-time speech, real-time silence and speech as fast as it takes it; the scripted
// host measures intake; then the library alone replays the same calls. Prints one table.
// Exits non-zero only when a host misbehaves (dies, reports an error, misses a final).

#include "host_runs.h"
#include "library.h"
#include "table.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;

constexpr size_t CHUNK_SAMPLES = 1600;   // 100 ms, what a dictation app sends
constexpr int LOUD_LEVEL = 100;          // above the synthesizer's fade-outs, below its speech
constexpr size_t SPLIT_SAMPLES = 8000;   // 0.5 s quiet between two utterances
constexpr int DECODE_THREADS = 4;        // the host's default
constexpr double VAD_LENGTHS_S[] = {1, 5, 10, 20};

struct Options {
    std::string host = VOICE_HOST_EXE;
    std::string scripted = SCRIPTED_HOST_EXE;
    std::string model = SYNTHETIC_MODEL;
    std::string vad_model = BENCH_VAD_MODEL;
    std::string speech;
    bool quick = false;
};

struct Plan {
    double idle_ms, silence_s, fast_s, intake_s;
    int replays, vad_reps;
};

struct Utterance {
    size_t begin = 0;
    size_t end = 0;  // one past its last loud sample
};

// What the real host did, phase by phase.
struct HostRecord {
    json ready;
    ProcSample idle;
    StreamRun speech, silence;
    FastRun fast;
    std::vector<double> rss_mb;  // after ready, idle, speech, silence, fast
    int exit_status = -1;
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

std::vector<float> to_float(const std::vector<int16_t>& pcm) {
    std::vector<float> out(pcm.size());
    for (size_t i = 0; i < pcm.size(); ++i) out[i] = static_cast<float>(pcm[i]) / 32768.0f;
    return out;
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

int count_finals(const std::vector<Event>& events) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [](const Event& e) {
        return e.body.value("ev", "") == "final";
    }));
}

HostRecord run_real_host(const Options& o, const Plan& plan, const std::vector<int16_t>& speech,
                         const std::vector<int16_t>& fast_audio, std::vector<std::string>& problems) {
    HostRecord r;
    HostProcess host = start_configured(o.host, o.model, o.vad_model, r.ready);
    r.rss_mb.push_back(sample_proc(host.pid).rss_mb);
    std::vector<Event> idle_events;
    std::fprintf(stderr, "bench: idle %.0f s\n", plan.idle_ms / 1000);
    r.idle = stay_idle(host, plan.idle_ms, idle_events);
    r.rss_mb.push_back(r.idle.rss_mb);
    check_events(idle_events, "idle", problems);

    std::fprintf(stderr, "bench: speech at real time, %.0f s\n",
                 static_cast<double>(speech.size()) / SAMPLE_RATE);
    r.speech = stream_real_time(host, speech, CHUNK_SAMPLES);
    r.rss_mb.push_back(sample_proc(host.pid).rss_mb);
    std::fprintf(stderr, "bench: silence at real time, %.0f s\n", plan.silence_s);
    r.silence = stream_real_time(host, room_noise(plan.silence_s), CHUNK_SAMPLES);
    r.rss_mb.push_back(sample_proc(host.pid).rss_mb);
    std::fprintf(stderr, "bench: speech as fast as the host takes it, %.0f s\n",
                 static_cast<double>(fast_audio.size()) / SAMPLE_RATE);
    r.fast = stream_fast(host, fast_audio);
    r.rss_mb.push_back(sample_proc(host.pid).rss_mb);
    check_events(r.speech.events, "real-time speech", problems);
    check_events(r.silence.events, "real-time silence", problems);
    check_events(r.fast.events, "fast speech", problems);

    send_line(host, R"({"op":"shutdown"})");
    r.exit_status = wait_exit(host, 10000);
    if (r.exit_status != 0) problems.push_back("host exit status " + std::to_string(r.exit_status));
    return r;
}

double run_intake(const Options& o, const Plan& plan, std::vector<std::string>& problems) {
    json ready;
    HostProcess host = start_configured(o.scripted, o.model, o.vad_model, ready);
    std::fprintf(stderr, "bench: intake of %.0f s of silence by the scripted host\n", plan.intake_s);
    double speed = intake_speed(host, plan.intake_s);
    send_line(host, R"({"op":"shutdown"})");
    int status = wait_exit(host, 10000);
    if (status != 0) problems.push_back("scripted host exit status " + std::to_string(status));
    return speed;
}

// End of speech to final for each utterance of the real-time run, pairing finals with
// utterances in order, so that a host that falls behind still gets its late finals counted;
// -1 where none came.
std::vector<double> final_latencies(const StreamRun& run, const std::vector<Utterance>& utts) {
    std::vector<double> finals;
    for (const Event& e : run.events) {
        if (e.body.value("ev", "") == "final") finals.push_back(e.at_ms);
    }
    std::vector<double> out;
    size_t next = 0;
    for (const Utterance& u : utts) {
        double written = run.chunk_written_ms[(u.end - 1) / CHUNK_SAMPLES];
        while (next < finals.size() && finals[next] <= written) ++next;
        out.push_back(next < finals.size() ? finals[next++] - written : -1);
    }
    return out;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The 1-minute load average: other work on the machine shows in every time here.
std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string first;
    in >> first;
    return first.empty() ? "0" : first;
}

double worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

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

// Latency rows: what the host took, what the library alone needs at least, and the split of
// the difference into the wait for the next VAD step and the pass that sees the pause.
void latency_rows(Table& t, Library& lib, const HostRecord& r, const std::vector<int16_t>& speech,
                  const std::vector<Utterance>& utts, const Replay& replay,
                  std::vector<std::string>& problems) {
    std::vector<float> audio = to_float(speech);
    std::vector<double> latencies = final_latencies(r.speech, utts);
    std::vector<double> lat, floor, gap, gap_seen, decode, above, step_wait, pass;
    int missing = 0;
    for (size_t i = 0; i < utts.size(); ++i) {
        if (latencies[i] < 0) {
            ++missing;
            continue;
        }
        auto cut = std::find_if(replay.cuts.begin(), replay.cuts.end(),
                                [&](const Cut& c) { return c.pass_end > utts[i].end; });
        if (cut == replay.cuts.end()) continue;
        size_t seen = pause_visible_at(lib, audio, cut->start, utts[i].end);
        if (seen == 0) continue;
        size_t written = std::min(speech.size(), ((utts[i].end - 1) / CHUNK_SAMPLES + 1) * CHUNK_SAMPLES);
        double gap_ms = static_cast<double>(seen - written) / SAMPLE_RATE * 1000.0;
        lat.push_back(latencies[i]);
        gap.push_back(gap_ms);
        floor.push_back(gap_ms + cut->decode_ms);
        gap_seen.push_back(static_cast<double>(seen - utts[i].end) / SAMPLE_RATE * 1000.0);
        decode.push_back(cut->decode_ms);
        above.push_back(latencies[i] - floor.back());
        step_wait.push_back(static_cast<double>(cut->pass_end - seen) / SAMPLE_RATE * 1000.0);
        pass.push_back(vad_pass_ms(lib, audio.data() + cut->start, cut->pass_end - cut->start));
    }
    if (count_finals(r.speech.events) == 0) problems.push_back("no final in the real-time run");
    size_t worst_at = std::max_element(lat.begin(), lat.end()) - lat.begin();
    std::string n = std::to_string(lat.size()) + " of " + std::to_string(utts.size()) + " utterances";
    if (missing > 0) n += ", " + std::to_string(missing) + " without a final";
    t.add({"1", "end of speech to final, median (" + n + ")", num(median(lat), 0), "ms",
           "floor " + num(median(floor), 0) + " ms", ratio(median(lat), median(floor)),
           "within 400 ms of floor"});
    t.add({"1", "end of speech to final, worst", lat.empty() ? "-" : num(lat[worst_at], 0), "ms",
           lat.empty() ? "-" : "floor " + num(floor[worst_at], 0) + " ms",
           lat.empty() ? "" : ratio(lat[worst_at], floor[worst_at]), "within 400 ms of floor"});
    t.add({"1", "floor: 0.85 s pause visible to VAD, after the last speech chunk", num(median(gap), 0),
           "ms", "pause seen " + num(median(gap_seen), 0) + " ms after the speech", "", ""});
    t.add({"1", "floor: decode of that final, library alone (median)", num(median(decode), 0), "ms", "", "", ""});
    t.add({"1", "above floor, median / worst", num(median(above), 0) + " / " + num(worst(above), 0), "ms",
           "", "", "<= 400 ms"});
    t.add({"1", "  of which waiting for the next 0.3 s VAD step, median / worst",
           num(median(step_wait), 0) + " / " + num(worst(step_wait), 0), "ms", "", "", ""});
    t.add({"1", "  of which the VAD pass that finds the pause, median", num(median(pass), 0), "ms",
           "", "", ""});
}

void share_row(Table& t, const FastRun& fast, const std::vector<Replay>& replays, double audio_s) {
    std::vector<double> lib_ms;
    for (const Replay& r : replays) lib_ms.push_back(r.vad_ms + r.decode_ms);
    double lib = 0;
    for (double v : lib_ms) lib += v / static_cast<double>(lib_ms.size());
    double spread = (worst(lib_ms) - *std::min_element(lib_ms.begin(), lib_ms.end())) / lib * 100;
    const Replay& r = replays.front();
    std::string detail = "library " + num(lib, 0) + " ms of " + num(fast.wall_ms, 0) + " ms wall (VAD " +
                         num(r.vad_ms, 0) + " ms in " + std::to_string(r.vad_passes) + " passes, decode " +
                         num(r.decode_ms, 0) + " ms in " + std::to_string(r.decodes) + "); " +
                         std::to_string(r.unmatched) + " unpaired decodes";
    if (replays.size() > 1) detail += "; replays differ by " + num(spread, 1) + " %";
    t.add({"2", "host share of the work (" + num(audio_s, 0) + " s of speech, fast)",
           num((fast.wall_ms - lib) / fast.wall_ms * 100, 2), "% of wall", detail,
           ratio(fast.wall_ms, lib), "< 1 %"});
}

void cost_rows(Table& t, const HostRecord& r, const Replay& speech, const Replay& silence,
               const Plan& plan) {
    double host_speech = r.speech.cpu_ms / 1000 / r.speech.audio_s;
    double lib_speech = speech.cpu_ms / 1000 / r.speech.audio_s;
    t.add({"4", "CPU while listening to speech, real time", num(host_speech, 3), "CPU s / audio s",
           "library alone " + num(lib_speech, 3), ratio(host_speech, lib_speech), ""});
    double host_silence = r.silence.cpu_ms / 1000 / r.silence.audio_s;
    double lib_silence = silence.cpu_ms / 1000 / r.silence.audio_s;
    t.add({"4", "CPU while listening to silence, real time", num(host_silence, 3), "CPU s / audio s",
           "library alone " + num(lib_silence, 3), ratio(host_silence, lib_silence), ""});
    double per_10s = 10000.0 / plan.idle_ms;
    t.add({"4", "CPU while idle (configured, nothing sent, " + num(plan.idle_ms / 1000, 0) + " s)",
           num(r.idle.cpu_ms * per_10s, 0), "CPU ms / 10 s",
           num(static_cast<double>(r.idle.wakeups) * per_10s, 0) + " wake-ups / 10 s; 10 ms ticks",
           "", "< 20 ms"});
    const std::vector<double>& m = r.rss_mb;
    t.add({"5", "resident size after ready", num(m.front(), 1), "MB", "", "", ""});
    t.add({"5", "resident growth over the run (idle, speech, silence, fast)", num(m.back() - m.front(), 1),
           "MB", "peak " + num(*std::max_element(m.begin(), m.end()), 1) + " MB; last half of fast " +
               num(m.back() - r.fast.rss_mid_mb, 1) + " MB", "", "none"});
}

void vad_rows(Table& t, Library& lib, const std::vector<int16_t>& speech, int reps) {
    std::vector<float> audio = to_float(tiled(speech, VAD_LENGTHS_S[std::size(VAD_LENGTHS_S) - 1]));
    double first = 0;
    for (double seconds : VAD_LENGTHS_S) {
        std::vector<double> ms;
        for (int i = 0; i < reps; ++i) {
            ms.push_back(vad_pass_ms(lib, audio.data(), static_cast<size_t>(seconds * SAMPLE_RATE)));
        }
        double m = median(ms);
        if (first == 0) first = m;
        t.add({"6", "VAD pass over a " + num(seconds, 0) + " s buffer", num(m, 1), "ms",
               num(m / seconds, 2) + " ms per buffered s; " + num(m / 3, 1) + " % of real time at one pass per 0.3 s",
               ratio(m, first) + " of 1 s", ""});
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options o = parse_options(argc, argv);
        std::string load_before = load_average();
        Plan plan = o.quick ? Plan{3000, 5, 30, 300, 1, 3} : Plan{10000, 15, 180, 3000, 2, 7};
        std::vector<int16_t> speech = read_pcm(o.speech);
        std::vector<Utterance> utts = find_utterances(speech);
        if (utts.empty()) throw std::runtime_error("no speech in " + o.speech);
        std::vector<int16_t> fast_audio = tiled(speech, plan.fast_s);
        std::vector<std::string> problems;

        HostRecord host = run_real_host(o, plan, speech, fast_audio, problems);
        double intake = run_intake(o, plan, problems);
        int fast_finals = count_finals(host.fast.events);
        int fast_utts = static_cast<int>(find_utterances(fast_audio).size());
        if (fast_finals < fast_utts) {
            problems.push_back("fast run: " + std::to_string(fast_finals) + " finals for " +
                               std::to_string(fast_utts) + " utterances");
        }

        std::fprintf(stderr, "bench: the library alone replays the same calls\n");
        Library lib = open_library(o.model, o.vad_model, DECODE_THREADS);
        Replay speech_replay = replay_stream(lib, to_float(speech), host_decodes(host.speech.events));
        Replay silence_replay =
            replay_stream(lib, to_float(room_noise(plan.silence_s)), host_decodes(host.silence.events));
        std::vector<Replay> fast_replays;
        std::vector<float> fast_float = to_float(fast_audio);
        for (int i = 0; i < plan.replays; ++i) {
            fast_replays.push_back(replay_stream(lib, fast_float, host_decodes(host.fast.events)));
        }

        Table t;
        latency_rows(t, lib, host, speech, utts, speech_replay, problems);
        share_row(t, host.fast, fast_replays, static_cast<double>(fast_audio.size()) / SAMPLE_RATE);
        t.add({"3", "intake with the scripted library (100 ms chunks of silence)", num(intake, 0),
               "x real time", "", "", "> 1000x"});
        cost_rows(t, host, speech_replay, silence_replay, plan);
        vad_rows(t, lib, speech, plan.vad_reps);

        std::printf("voice-host benchmark%s: %s\n", o.quick ? " (quick)" : "", machine_line().c_str());
        std::printf("load average %s before the run, %s after it\n", load_before.c_str(),
                    load_average().c_str());
        if (std::stod(load_before) > static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)) / 2) {
            std::printf("warning: the machine was busy before the run: the times below measure "
                        "that contention as much as the host\n");
        }
        std::printf("host %s, whisper.cpp %s, backend %s, %d decode threads, VAD model %s\n\n",
                    host.ready.value("model", "").c_str(), host.ready.value("version", "").c_str(),
                    host.ready.value("backend", "").c_str(), DECODE_THREADS,
                    o.vad_model.substr(o.vad_model.find_last_of('/') + 1).c_str());
        t.print(stdout);
        std::printf("\nDecode times come from a generated synthetic Whisper model; a real Whisper model "
                    "would change the decode times, not the host's share of the work.\n");
        std::printf("Audio goes in 100 ms chunks, each written when its last sample would have been "
                    "recorded; %zu utterances, %d finals in the fast run.\n", utts.size(), fast_finals);
        std::printf("Targets are reported, never enforced.\n");
        for (const std::string& p : problems) std::fprintf(stderr, "bench: host misbehaved: %s\n", p.c_str());
        return problems.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return 1;
    }
}
