#include "library.h"

#include <ggml.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// The host's policy on a CPU; a drift here shows up as unmatched decodes in the table.
constexpr double PAUSE_S = 0.85;
constexpr double CUT_MARGIN_S = 0.12;
constexpr double PARTIAL_WINDOW_S = 6.0;
constexpr double MAX_BUFFER_S = 20.0;
constexpr double SILENT_TRIM_S = 12.0;
constexpr double SOFT_CLOSE_AGE_S = 2.0;
constexpr double COMMIT_DISTANCE_MS = 2000.0;
constexpr size_t TRIM_KEEP_SAMPLES = 32000;
constexpr size_t MIN_DECODE_SAMPLES = 3200;
constexpr size_t CONTEXT_LIMIT = 200;
constexpr size_t PREFIX_STEP_SAMPLES = 160;
constexpr size_t PAIRING_SLACK_MS = 300;

double now_ms() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<double>(ns) / 1e6;
}

double process_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void quiet(ggml_log_level, const char*, void*) {}

struct Segment {
    std::string text;
    int64_t t1_ms = 0;
};

struct Decoded {
    std::vector<Segment> segments;
    std::string text;
    double ms = 0;
};

std::string single_spaced(const std::string& text) {
    std::istringstream in(text);
    std::string word;
    std::string out;
    while (in >> word) out += (out.empty() ? "" : " ") + word;
    return out;
}

bool is_noise(const std::string& text) {
    return text.empty() || (text.front() == '[' && text.back() == ']') ||
           (text.front() == '(' && text.back() == ')');
}

// Mirrors how the host bounds the encoder window and the token count on a CPU.
void bound_window(whisper_full_params& p, size_t n, bool final) {
    size_t window = n / 320 + (final ? 512 : 256);
    p.audio_ctx = window > 1280 ? 0 : static_cast<int>((window + 255) / 256 * 256);
    p.max_tokens = static_cast<int>(8 * (n / 16000) + 48);
}

whisper_full_params greedy_params(const Library& lib, const std::string& prompt) {
    whisper_full_params p = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    p.n_threads = lib.threads;
    p.no_context = true;
    p.translate = false;
    p.print_special = false;
    p.print_progress = false;
    p.print_realtime = false;
    p.print_timestamps = false;
    p.suppress_blank = true;
    p.language = "en";
    p.initial_prompt = prompt.empty() ? nullptr : prompt.c_str();
    return p;
}

Decoded decode(Library& lib, const float* samples, size_t n, bool final, const std::string& prompt) {
    whisper_full_params p = greedy_params(lib, prompt);
    bound_window(p, n, final);
    Decoded d;
    double start = now_ms();
    int rc = whisper_full(lib.ctx, p, samples, static_cast<int>(n));
    d.ms = now_ms() - start;
    if (rc != 0) throw std::runtime_error("baseline: whisper_full failed");
    std::string joined;
    for (int i = 0; i < whisper_full_n_segments(lib.ctx); ++i) {
        const char* text = whisper_full_get_segment_text(lib.ctx, i);
        std::string t = text != nullptr ? text : "";
        joined += t + " ";
        d.segments.push_back(Segment{single_spaced(t), whisper_full_get_segment_t1(lib.ctx, i) * 10});
    }
    d.text = single_spaced(joined);
    if (is_noise(d.text)) d.text.clear();
    return d;
}

void warm_up(Library& lib) {
    std::vector<float> silence(32000, 0.0f);
    whisper_full_params p = greedy_params(lib, "");
    p.single_segment = true;
    p.max_tokens = 4;
    p.audio_ctx = 512;
    whisper_full(lib.ctx, p, silence.data(), static_cast<int>(silence.size()));
    vad_pass_ms(lib, silence.data(), silence.size());
}

struct ReplayState {
    Library& lib;
    const std::vector<float>& audio;
    const std::vector<HostDecode>& host;
    size_t next = 0;
    size_t start = 0;
    std::string context;
    Replay out;
};

void remember(ReplayState& s, const std::string& text) {
    if (text.size() <= CONTEXT_LIMIT) {
        s.context = text;
        return;
    }
    size_t tail = text.size() - CONTEXT_LIMIT;
    size_t space = text.find(' ', tail);
    s.context = (space != std::string::npos && space + 1 < text.size()) ? text.substr(space + 1)
                                                                        : text.substr(tail);
}

size_t whole_ms(size_t n) { return static_cast<size_t>(static_cast<double>(n) / SAMPLE_RATE * 1000.0); }

// Replays the host's partial decodes up to the replay's pass over len samples. They pair by
// buffer length, not by pass: at real time the host's passes drift off the 0.3 s grid when a
// slow step lets two chunks arrive in one batch.
void replay_partials(ReplayState& s, size_t len);

// Pairs the replay's final with the host's next report, which must be a final too.
void take_host_final(ReplayState& s) {
    if (s.next < s.host.size() && s.host[s.next].final) {
        ++s.next;
    } else {
        ++s.out.unmatched;
    }
}

void timed_decode(ReplayState& s, size_t n, bool final, Decoded& d) {
    d = decode(s.lib, s.audio.data() + s.start, n, final, s.context);
    s.out.decode_ms += d.ms;
    ++s.out.decodes;
    (final ? s.out.final_ms : s.out.partial_ms).push_back(d.ms);
}

void cut_at(ReplayState& s, size_t end, double t, double vad_ms) {
    size_t len = end - s.start;
    size_t n = std::min(static_cast<size_t>((t + CUT_MARGIN_S) * SAMPLE_RATE), len);
    Cut cut{end, s.start, n, vad_ms, 0};
    replay_partials(s, len);
    if (n >= MIN_DECODE_SAMPLES) {
        take_host_final(s);
        Decoded d;
        timed_decode(s, n, true, d);
        cut.decode_ms = d.ms;
        if (!d.text.empty()) remember(s, d.text);
    }
    s.out.cuts.push_back(cut);
    s.start += n;
}

void commit_leading(ReplayState& s, const Decoded& d, size_t len) {
    if (d.segments.size() < 2) return;
    int64_t cut_end = d.segments[d.segments.size() - 2].t1_ms;
    double buffer_ms = static_cast<double>(len) / SAMPLE_RATE * 1000.0;
    if (cut_end < 1 || buffer_ms - static_cast<double>(cut_end) < COMMIT_DISTANCE_MS) return;
    std::string joined;
    for (size_t i = 0; i + 1 < d.segments.size(); ++i) joined += d.segments[i].text + " ";
    joined = single_spaced(joined);
    if (is_noise(joined)) return;
    remember(s, joined);
    s.start += static_cast<size_t>(static_cast<double>(cut_end) / 1000.0 * SAMPLE_RATE);
}

void replay_pass(ReplayState& s, size_t end) {
    size_t len = end - s.start;
    if (len == 0) return;
    std::vector<std::pair<float, float>> segs;
    double vad_ms = vad_pass_ms(s.lib, s.audio.data() + s.start, len, &segs);
    s.out.vad_ms += vad_ms;
    s.out.pass_ms.push_back(vad_ms);
    ++s.out.vad_passes;
    double buffer_s = static_cast<double>(len) / SAMPLE_RATE;
    s.out.longest_buffer_s = std::max(s.out.longest_buffer_s, buffer_s);
    if (segs.empty()) {
        if (buffer_s > SILENT_TRIM_S) s.start = end - TRIM_KEEP_SAMPLES;
        return;
    }
    double gap = buffer_s - segs.back().second;
    if (gap >= PAUSE_S || buffer_s > MAX_BUFFER_S) {
        bool keep_running = gap < PAUSE_S && segs.size() >= 2;
        cut_at(s, end, keep_running ? segs[segs.size() - 2].second : segs.back().second, vad_ms);
        return;
    }
    if (buffer_s > PARTIAL_WINDOW_S && segs.size() >= 2) {
        for (size_t k = segs.size() - 1; k >= 1; --k) {
            if (buffer_s - segs[k].first >= SOFT_CLOSE_AGE_S) {
                cut_at(s, end, segs[k - 1].second, vad_ms);
                return;
            }
        }
    }
    replay_partials(s, len);
}

void replay_partials(ReplayState& s, size_t len) {
    while (s.next < s.host.size() && !s.host[s.next].final &&
           static_cast<size_t>(s.host[s.next].buffer_ms) < whole_ms(len) + PAIRING_SLACK_MS) {
        size_t n = std::min(len, static_cast<size_t>(s.host[s.next].buffer_ms / 1000.0 * SAMPLE_RATE));
        ++s.next;
        Decoded d;
        timed_decode(s, n, false, d);
        if (static_cast<double>(n) / SAMPLE_RATE > PARTIAL_WINDOW_S) commit_leading(s, d, n);
    }
}

}  // namespace

Library open_library(const std::string& model, const std::string& vad_model, int threads) {
    whisper_log_set(quiet, nullptr);
    ggml_log_set(quiet, nullptr);
    Library lib;
    lib.threads = threads;
    whisper_context_params cp = whisper_context_default_params();
    lib.ctx = whisper_init_from_file_with_params(model.c_str(), cp);
    if (lib.ctx == nullptr) throw std::runtime_error("baseline: cannot load " + model);
    whisper_vad_context_params vp = whisper_vad_default_context_params();
    vp.n_threads = 2;
    vp.use_gpu = false;
    lib.vad = whisper_vad_init_from_file_with_params(vad_model.c_str(), vp);
    vp.n_threads = 1;
    lib.vad_single = whisper_vad_init_from_file_with_params(vad_model.c_str(), vp);
    if (lib.vad == nullptr || lib.vad_single == nullptr) throw std::runtime_error("baseline: cannot load " + vad_model);
    lib.vad_params = whisper_vad_default_params();
    lib.vad_params.threshold = 0.5f;
    lib.vad_params.min_speech_duration_ms = 200;
    lib.vad_params.min_silence_duration_ms = 300;
    lib.vad_params.max_speech_duration_s = 28.0f;
    lib.vad_params.speech_pad_ms = 150;
    lib.vad_params.samples_overlap = 0.1f;
    warm_up(lib);
    return lib;
}

void close_library(Library& lib) {
    whisper_vad_free(lib.vad_single);
    whisper_vad_free(lib.vad);
    whisper_free(lib.ctx);
    lib = Library{};
}

double vad_pass_ms(Library& lib, const float* samples, size_t n,
                   std::vector<std::pair<float, float>>* segments, bool single) {
    whisper_vad_context* vad = single ? lib.vad_single : lib.vad;
    double start = now_ms();
    if (segments != nullptr) segments->clear();
    if (whisper_vad_detect_speech(vad, samples, static_cast<int>(n))) {
        whisper_vad_segments* list = whisper_vad_segments_from_probs(vad, lib.vad_params);
        if (list != nullptr) {
            for (int i = 0; segments != nullptr && i < whisper_vad_segments_n_segments(list); ++i) {
                segments->emplace_back(whisper_vad_segments_get_segment_t0(list, i) / 100.0f,
                                       whisper_vad_segments_get_segment_t1(list, i) / 100.0f);
            }
            whisper_vad_free_segments(list);
        }
    }
    return now_ms() - start;
}

Replay replay_stream(Library& lib, const std::vector<float>& audio,
                     const std::vector<HostDecode>& host_decodes,
                     const std::vector<double>& pass_due_ms) {
    ReplayState s{lib, audio, host_decodes, 0, 0, "", Replay{}};
    double cpu_start = process_cpu_ms();
    double start = now_ms();
    for (size_t k = 0, end = VAD_STEP_SAMPLES; end <= audio.size(); ++k, end += VAD_STEP_SAMPLES) {
        if (k < pass_due_ms.size() && now_ms() - start < pass_due_ms[k]) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(static_cast<int64_t>((pass_due_ms[k] - (now_ms() - start)) * 1000)));
        }
        replay_pass(s, end);
    }
    s.out.cpu_ms = process_cpu_ms() - cpu_start;
    s.out.unmatched += static_cast<int>(host_decodes.size() - s.next);
    return s.out;
}

size_t pause_visible_at(Library& lib, const std::vector<float>& audio, size_t start,
                        size_t speech_end) {
    size_t first = speech_end + static_cast<size_t>(PAUSE_S * SAMPLE_RATE);
    size_t last = std::min(audio.size(), speech_end + static_cast<size_t>(3 * SAMPLE_RATE));
    std::vector<std::pair<float, float>> segs;
    for (size_t end = first; end <= last; end += PREFIX_STEP_SAMPLES) {
        vad_pass_ms(lib, audio.data() + start, end - start, &segs);
        double buffer_s = static_cast<double>(end - start) / SAMPLE_RATE;
        if (!segs.empty() && buffer_s - segs.back().second >= PAUSE_S) return end;
    }
    return 0;
}
