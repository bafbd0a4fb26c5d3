// soak: streams a long dictation session through the real voice-host and checks what has to hold
// however long the host runs inside its parent: one final per utterance that ends in a pause,
// segment numbers without gaps, partials that never lag the finals, a stream clock that follows
// the audio sent, no errors and a flat resident size.
//
//   soak --host PATH --model PATH --vad-model PATH [--minutes 30] [--phrase TEXT] SPEECH.raw...
//
// --phrase is the generated model's text: every final and partial must then say exactly that.
// Each SPEECH.raw is one short utterance, 16 kHz mono 16-bit little-endian PCM with its leading
// and trailing silence trimmed. The session reuses them in scenes (plain utterances, flush or
// reset right after speech or in the pause, runs of speech longer than the host's buffer, long
// silence), streamed in 0.3 s steps: each step is followed by two barriers, so the host has
// finished its streaming step before the next audio arrives, as with a live microphone, only
// faster. The clock check assumes the generated Whisper model, whose one segment starts at 0 ms
// of every window, so a final's from_ms is the stream time of the buffer's first sample.

#include "host_driver.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;
using Pcm = std::vector<int16_t>;

constexpr uint64_t RATE = 16000;
constexpr uint64_t STEP_SAMPLES = 4800;          // what a live step sees: 0.3 s
constexpr uint64_t PAUSE_SAMPLES = 24000;        // 1.5 s: ends an utterance
constexpr uint64_t AFTER_SPEECH_SAMPLES = 4800;  // too soon for the VAD to see a pause
constexpr double MAX_UTTERANCE_S = 3.5;  // longer ones could be split by the 6 s partial window
constexpr double RUN_CUT_S = 20.4;       // the CPU buffer limit plus one step
// An early cut needs more than the 6 s partial window buffered and leaves about the last 2 s, so
// cuts in running speech come about 4 s apart; one per 2 s would be a host cutting far too often.
constexpr double RUN_MIN_SPACING_S = 2.0;
constexpr double MAX_DRIFT_MS = 1000.0;
constexpr int RSS_TOLERANCE_MB = 4;
constexpr double BASELINE_S = 60.0;
constexpr int NOISE_AMPLITUDE = 24;  // a quiet microphone, far below speech
constexpr size_t FAILURES_SHOWN = 20;
constexpr uint64_t PROGRESS_SAMPLES = 5 * 60 * RATE;
constexpr int HANG_MS = 300000;  // so long that only a hang, not a busy machine, reaches it

struct Options {
    std::string host;
    std::string model;
    std::string vad_model;
    double minutes = 30.0;
    std::string phrase;
    std::vector<std::string> speech;
};

// A stretch of the session with the finals it must produce, counted by where they appear.
struct Scene {
    std::string name;
    uint64_t start = 0;
    uint64_t speech_end = 0;
    uint64_t end = 0;
    int min_finals = 0;
    int max_finals = 0;
    bool long_run = false;
    int finals = 0;
    bool tail_committed = false;  // a final appeared after the speech ended
};

struct Action {
    uint64_t at = 0;  // sent once this many samples have been streamed
    std::string op;
};

struct Plan {
    Pcm audio;
    std::vector<Scene> scenes;
    std::vector<Action> actions;
    uint32_t noise_state = 12345;
};

struct Tally {
    std::string phrase;  // when known, the text of every final and partial
    int64_t finals = 0;
    int64_t partials = 0;
    int64_t flushed = 0;
    int64_t metrics = 0;
    int64_t last_from_ms = 0;
    int64_t final_buffer_ms = -1;  // buffer_ms of the final decode whose final is still to come
    double max_drift_ms = 0.0;
    int rss_baseline_mb = -1;
    int rss_end_mb = -1;
    size_t scene = 0;
    std::vector<std::string> failures;
    size_t failure_count = 0;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "soak: %s\n", why.c_str());
    std::fprintf(stderr,
                 "usage: soak --host PATH --model PATH --vad-model PATH [--minutes N] [--phrase TEXT] SPEECH.raw...\n");
    std::exit(2);
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            o.speech.push_back(arg);
            continue;
        }
        if (i + 1 >= argc) usage("missing value after " + arg);
        std::string value = argv[++i];
        if (arg == "--host") o.host = value;
        else if (arg == "--model") o.model = value;
        else if (arg == "--vad-model") o.vad_model = value;
        else if (arg == "--minutes") o.minutes = std::atof(value.c_str());
        else if (arg == "--phrase") o.phrase = value;
        else usage("unknown option " + arg);
    }
    if (o.host.empty() || o.model.empty() || o.vad_model.empty()) usage("missing a path");
    if (o.speech.empty()) usage("no speech files");
    if (!(o.minutes >= 1.0)) usage("--minutes must be at least 1, for the resident size to settle");
    return o;
}

Pcm read_speech(const std::string& path) {
    std::string bytes = read_file(path);
    Pcm pcm(bytes.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                      static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    }
    double seconds = static_cast<double>(pcm.size()) / RATE;
    if (seconds < 0.5 || seconds > MAX_UTTERANCE_S) {
        usage(path + " lasts " + std::to_string(seconds) + " s; utterances must last 0.5 to 3.5 s");
    }
    return pcm;
}

double to_seconds(uint64_t samples) { return static_cast<double>(samples) / RATE; }

void add_noise(Plan& plan, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        plan.noise_state = plan.noise_state * 1664525u + 1013904223u;
        int spread = 2 * NOISE_AMPLITUDE + 1;
        plan.audio.push_back(static_cast<int16_t>(static_cast<int>(plan.noise_state >> 16) % spread -
                                                  NOISE_AMPLITUDE));
    }
}

void add_speech(Plan& plan, const Pcm& pcm) { plan.audio.insert(plan.audio.end(), pcm.begin(), pcm.end()); }

// One utterance and its pause; the op, if any, goes right after the speech or at the pause's end.
void add_utterance(Plan& plan, const std::string& name, const Pcm& pcm, const std::string& op,
                   bool op_in_pause, int finals) {
    Scene scene{name, plan.audio.size()};
    add_speech(plan, pcm);
    scene.speech_end = plan.audio.size();
    add_noise(plan, PAUSE_SAMPLES);
    scene.end = plan.audio.size();
    scene.min_finals = scene.max_finals = finals;
    if (!op.empty()) {
        plan.actions.push_back({op_in_pause ? scene.end : scene.speech_end + AFTER_SPEECH_SAMPLES, op});
    }
    plan.scenes.push_back(scene);
}

// Speech without a pause for longer than the host may buffer; gaps under the VAD's minimum
// silence make one long segment (forced cuts), longer ones separate segments (early commits).
void add_long_run(Plan& plan, const std::vector<Pcm>& speech, size_t first, double seconds,
                  double gap_s) {
    Scene scene{"long run", plan.audio.size()};
    for (size_t k = first; to_seconds(plan.audio.size() - scene.start) < seconds; ++k) {
        if (k > first) add_noise(plan, static_cast<uint64_t>(gap_s * RATE));
        add_speech(plan, speech[k % speech.size()]);
    }
    scene.speech_end = plan.audio.size();
    add_noise(plan, PAUSE_SAMPLES);
    scene.end = plan.audio.size();
    double speech_s = to_seconds(scene.speech_end - scene.start);
    scene.min_finals = 1 + static_cast<int>(speech_s / RUN_CUT_S);
    scene.max_finals = 1 + static_cast<int>(speech_s / RUN_MIN_SPACING_S);
    scene.long_run = true;
    plan.scenes.push_back(scene);
}

void add_silence(Plan& plan, double seconds) {
    Scene scene{"silence", plan.audio.size()};
    add_noise(plan, static_cast<uint64_t>(seconds * RATE));
    scene.speech_end = scene.start;
    scene.end = plan.audio.size();
    plan.scenes.push_back(scene);
}

// The session opens with a run, which takes the buffer to its longest early on.
constexpr int CYCLE = 12;

void add_scene(Plan& plan, const std::vector<Pcm>& speech, int index) {
    const Pcm& pcm = speech[static_cast<size_t>(index) % speech.size()];
    switch (index % CYCLE) {
        case 0: add_long_run(plan, speech, static_cast<size_t>(index), 24.0, 0.15); break;
        case 1: case 7: case 9: case 11: add_utterance(plan, "utterance", pcm, "", false, 1); break;
        case 2: add_utterance(plan, "flush after speech", pcm, "flush", false, 1); break;
        case 3: add_utterance(plan, "reset after speech", pcm, "reset", false, 0); break;
        case 4: add_silence(plan, 15.0); break;
        case 5: add_utterance(plan, "flush in pause", pcm, "flush", true, 1); break;
        case 6: add_utterance(plan, "reset in pause", pcm, "reset", true, 1); break;
        case 8: add_long_run(plan, speech, static_cast<size_t>(index), 33.0, 0.5); break;
        case 10: add_silence(plan, 27.0); break;
    }
}

Plan make_plan(const std::vector<Pcm>& speech, double minutes) {
    Plan plan;
    add_silence(plan, to_seconds(PAUSE_SAMPLES));
    double total_s = minutes * 60.0;
    for (int index = 0; to_seconds(plan.audio.size()) < total_s; ++index) add_scene(plan, speech, index);
    return plan;
}

void fail(Tally& tally, const std::string& why) {
    if (tally.failures.size() < FAILURES_SHOWN) tally.failures.push_back(why);
    ++tally.failure_count;
}

std::string at_time(uint64_t sent) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", to_seconds(sent));
    return "at " + std::string(text) + ": ";
}

Scene& scene_at(Plan& plan, Tally& tally, uint64_t sent) {
    while (tally.scene + 1 < plan.scenes.size() && plan.scenes[tally.scene].end < sent) ++tally.scene;
    return plan.scenes[tally.scene];
}

void check_text(Tally& tally, const std::string& what, const json& ev) {
    std::string text = ev.value("text", std::string());
    if (text.empty() || (!tally.phrase.empty() && text != tally.phrase)) {
        fail(tally, what + " says \"" + text + "\"");
    }
}

void check_final(Plan& plan, Tally& tally, const json& ev, uint64_t sent) {
    std::string where = at_time(sent);
    int64_t segment = ev.value("segment", int64_t{-1});
    int64_t from_ms = ev.value("from_ms", int64_t{-1});
    int64_t to_ms = ev.value("to_ms", int64_t{-1});
    double sent_ms = to_seconds(sent) * 1000.0;
    if (segment != tally.finals + 1) {
        fail(tally, where + "final segment " + std::to_string(segment) + " after " +
                        std::to_string(tally.finals) + " finals");
    }
    tally.finals = std::max(tally.finals + 1, segment);
    check_text(tally, where + "final", ev);
    std::string times = std::to_string(from_ms) + ".." + std::to_string(to_ms) + " ms";
    if (from_ms < tally.last_from_ms || to_ms < from_ms) {
        fail(tally, where + "final " + times + " goes back from " + std::to_string(tally.last_from_ms));
    }
    if (to_ms > sent_ms + MAX_DRIFT_MS) fail(tally, where + "final " + times + " is ahead of the audio");
    tally.last_from_ms = std::max(tally.last_from_ms, from_ms);
    if (tally.final_buffer_ms >= 0) {
        double drift = sent_ms - static_cast<double>(from_ms + tally.final_buffer_ms);
        tally.max_drift_ms = std::max(tally.max_drift_ms, std::fabs(drift));
        if (std::fabs(drift) > MAX_DRIFT_MS) {
            fail(tally, where + "stream clock " + std::to_string(drift) + " ms off the audio sent");
        }
        tally.final_buffer_ms = -1;
    }
    Scene& scene = scene_at(plan, tally, sent);
    ++scene.finals;
    if (sent > scene.speech_end) scene.tail_committed = true;
}

void take_event(Plan& plan, Tally& tally, const std::string& line, uint64_t sent, uint64_t baseline) {
    json ev = json::parse(line, nullptr, false);
    std::string kind = ev.is_object() ? ev.value("ev", std::string()) : std::string();
    if (kind == "final") {
        check_final(plan, tally, ev, sent);
    } else if (kind == "partial") {
        ++tally.partials;
        check_text(tally, at_time(sent) + "partial", ev);
        int64_t segment = ev.value("segment", int64_t{-1});
        if (segment != tally.finals + 1) {
            fail(tally, at_time(sent) + "partial segment " + std::to_string(segment) + " after " +
                            std::to_string(tally.finals) + " finals");
        }
    } else if (kind == "metrics") {
        ++tally.metrics;
        tally.rss_end_mb = ev.value("rss_mb", -1);
        if (tally.rss_baseline_mb < 0 && sent >= baseline) tally.rss_baseline_mb = tally.rss_end_mb;
        bool final_decode = ev.value("kind", std::string()) == "final";
        tally.final_buffer_ms = final_decode ? ev.value("buffer_ms", int64_t{-1}) : -1;
    } else if (kind == "flushed") {
        ++tally.flushed;
    } else {
        fail(tally, at_time(sent) + "unexpected line " + line);
    }
}

void take_events(Plan& plan, Tally& tally, const std::vector<std::string>& lines, uint64_t sent,
                 uint64_t baseline) {
    for (const std::string& line : lines) {
        try {
            take_event(plan, tally, line, sent, baseline);
        } catch (const json::exception& e) {
            fail(tally, at_time(sent) + "malformed event " + line + " (" + e.what() + ")");
        }
    }
}

// Sends the audio up to `end`, the ops due there, and waits until the host's step is done.
void step(HostProcess& host, Plan& plan, Tally& tally, uint64_t from, uint64_t end, size_t& next_action,
          uint64_t baseline) {
    if (end > from) {
        Pcm part(plan.audio.begin() + static_cast<std::ptrdiff_t>(from),
                 plan.audio.begin() + static_cast<std::ptrdiff_t>(end));
        send_line(host, json{{"op", "audio"}, {"pcm", pcm_base64(part)}}.dump());
    }
    while (next_action < plan.actions.size() && plan.actions[next_action].at <= end) {
        send_line(host, json{{"op", plan.actions[next_action].op}}.dump());
        ++next_action;
    }
    take_events(plan, tally, barrier(host, HANG_MS), end, baseline);
    take_events(plan, tally, barrier(host, HANG_MS), end, baseline);
}

std::string seconds_text(uint64_t samples) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", to_seconds(samples));
    return text;
}

void check_scenes(const Plan& plan, Tally& tally) {
    for (const Scene& s : plan.scenes) {
        if (s.finals < s.min_finals || s.finals > s.max_finals) {
            std::string expected = std::to_string(s.min_finals);
            if (s.max_finals > s.min_finals) expected += " to " + std::to_string(s.max_finals);
            fail(tally, at_time(s.start) + s.name + " (" + seconds_text(s.speech_end - s.start) +
                            " of speech) gave " + std::to_string(s.finals) + " finals, expected " + expected);
        }
        if (s.long_run && !s.tail_committed) {
            fail(tally, at_time(s.start) + s.name + " without a final after its speech");
        }
    }
}

void check_memory(Tally& tally) {
    if (tally.rss_baseline_mb < 0 || tally.rss_end_mb < 0) {
        fail(tally, "no metrics event to read the resident size from");
    } else if (std::abs(tally.rss_end_mb - tally.rss_baseline_mb) > RSS_TOLERANCE_MB) {
        fail(tally, "resident size went from " + std::to_string(tally.rss_baseline_mb) + " to " +
                        std::to_string(tally.rss_end_mb) + " MiB");
    }
}

// Streams the whole plan, then flushes what is left and shuts the host down.
void stream_session(HostProcess& host, Plan& plan, Tally& tally, uint64_t baseline) {
    uint64_t total = plan.audio.size();
    size_t next_action = 0;
    for (uint64_t sent = 0; sent < total;) {
        uint64_t end = std::min(sent + STEP_SAMPLES, total);
        if (next_action < plan.actions.size()) end = std::min(end, plan.actions[next_action].at);
        step(host, plan, tally, sent, end, next_action, baseline);
        if (end / PROGRESS_SAMPLES > sent / PROGRESS_SAMPLES) {
            std::fprintf(stderr, "soak: %.0f of %.0f min streamed, %lld finals, rss %d MiB\n",
                         to_seconds(end) / 60.0, to_seconds(total) / 60.0,
                         static_cast<long long>(tally.finals), tally.rss_end_mb);
        }
        sent = end;
    }
    int64_t flushes = 1;
    for (const Action& a : plan.actions) flushes += a.op == "flush";
    send_line(host, R"({"op":"flush"})");
    take_events(plan, tally, barrier(host, HANG_MS), total, baseline);
    if (tally.flushed != flushes) {
        fail(tally, "flushed " + std::to_string(tally.flushed) + " times for " + std::to_string(flushes) +
                        " flushes");
    }
    send_line(host, R"({"op":"shutdown"})");
    int status = wait_exit(host, 60000);
    if (status != 0) fail(tally, "host exited with status " + std::to_string(status) + " on shutdown");
}

struct FinalCount {
    int scenes = 0;
    int finals = 0;
    int min = 0;
    int max = 0;
};

void print_report(const Plan& plan, const Tally& tally, uint64_t baseline, double wall_s) {
    FinalCount utterances, runs;
    for (const Scene& s : plan.scenes) {
        if (s.speech_end == s.start) continue;
        FinalCount& c = s.long_run ? runs : utterances;
        ++c.scenes;
        c.finals += s.finals;
        c.min += s.min_finals;
        c.max += s.max_finals;
    }
    double audio_s = to_seconds(plan.audio.size());
    std::printf("audio:       %.1f min in %zu scenes\n", audio_s / 60.0, plan.scenes.size());
    std::printf("finals:      %lld; %d from %d utterances (expected %d), %d from %d long runs (expected %d to %d)\n",
                static_cast<long long>(tally.finals), utterances.finals, utterances.scenes, utterances.min,
                runs.finals, runs.scenes, runs.min, runs.max);
    std::printf("events:      %lld partials, %lld metrics, %lld flushed\n",
                static_cast<long long>(tally.partials), static_cast<long long>(tally.metrics),
                static_cast<long long>(tally.flushed));
    std::printf("clock drift: %.1f ms at most\n", tally.max_drift_ms);
    std::printf("rss:         %d MiB after %s, %d MiB at end\n", tally.rss_baseline_mb,
                seconds_text(baseline).c_str(), tally.rss_end_mb);
    std::printf("wall time:   %.1f s (%.1fx real time)\n", wall_s, audio_s / wall_s);
    for (const std::string& f : tally.failures) std::printf("FAILED %s\n", f.c_str());
    if (tally.failure_count > tally.failures.size()) {
        std::printf("... and %zu more failures\n", tally.failure_count - tally.failures.size());
    }
    std::printf("%s\n", tally.failure_count == 0 ? "soak passed" : "soak FAILED");
}

// After the first minute, or half the session when that is shorter, but never before the first
// long run has taken the buffer to its longest.
uint64_t rss_baseline_at(const Plan& plan) {
    uint64_t at = std::min<uint64_t>(static_cast<uint64_t>(BASELINE_S * RATE), plan.audio.size() / 2);
    for (const Scene& s : plan.scenes) {
        if (s.long_run) return std::max(at, s.end);
    }
    return at;
}

int run(const Options& o) {
    std::vector<Pcm> speech;
    for (const std::string& path : o.speech) speech.push_back(read_speech(path));
    Plan plan = make_plan(speech, o.minutes);
    uint64_t baseline = rss_baseline_at(plan);
    Tally tally;
    tally.phrase = o.phrase;
    auto wall_start = std::chrono::steady_clock::now();

    HostProcess host = start_host(o.host);
    send_line(host, json{{"op", "configure"}, {"model", o.model}, {"vad_model", o.vad_model},
                         {"backend", "cpu"}, {"threads", 2}}.dump());
    std::string line;
    bool got = read_line(host, line, 120000);
    json ready = json::parse(line, nullptr, false);
    if (!got || !ready.is_object() || ready.value("ev", "") != "ready") {
        std::fprintf(stderr, "soak: no ready from the host: %s\n%s", line.c_str(),
                     read_all_stderr(host, 1000).c_str());
        return 1;
    }
    try {
        stream_session(host, plan, tally, baseline);
    } catch (const std::exception& e) {
        std::string why = e.what();
        if (why.size() > 2000) why = why.substr(0, 2000) + "...";
        fail(tally, "host stopped answering (" + why + "); exit status " + std::to_string(wait_exit(host, 2000)));
    }
    check_scenes(plan, tally);
    check_memory(tally);
    double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    print_report(plan, tally, baseline, wall_s);
    return tally.failure_count == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parse_options(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "soak: %s\n", e.what());
        return 2;
    }
}
