// Scripted stand-in for the whisper.cpp / ggml C API, linked into a test build of the host in
// place of the real libraries, so the host's code runs unchanged while tests decide what the
// "model" hears and says. Streamed audio alone drives it, deterministically.
//
// Configuration, read once on first use:
//   FAKE_WHISPER_SCRIPT  path of a JSON script (unset, empty or missing file: all defaults).
//                        A malformed script prints why to stderr and aborts: it is a test bug.
//   FAKE_WHISPER_LOG     path of a log; relevant calls append one compact JSON object line each
//                        (the file is opened and closed per line, so a test can read it live).
//
// Script keys (all optional; unknown keys are rejected so typos cannot pass silently):
//   "version"            whisper_version() text. Default "1.9.1-scripted".
//   "devices"            [{"type":int,"description":str|null,"reg":str|null}, ...], all three keys
//                        required. Default [{"type":0,"description":"CPU","reg":"CPU"}].
//                        ggml_backend_reg_name() returns "reg" (null when null).
//   "model_load"         {"gpu":"ok"|"fail","cpu":"ok"|"fail"}: the outcome of
//                        whisper_init_from_file_with_params with use_gpu true / false.
//   "vad_load"           "ok"|"fail" for whisper_vad_init_from_file_with_params.
//   "fail_paths"         [path, ...]: both loaders fail for these exact paths.
//   "log_text"           text both loaders emit, once through the whisper logger and once through
//                        the ggml logger. Like the real library, an unset (or null) logger means
//                        stderr, and whisper_log_set also sets the ggml logger.
//                        Default "scripted whisper: model loaded\n".
//   "decode_fail_calls"  1-based indices of whisper_full calls (all contexts, warm-ups included)
//                        that return -1 with no segments.
//   "vad_fail_calls"     1-based indices of whisper_vad_detect_speech calls that return false.
//   "vad_null_calls"     1-based indices of whisper_vad_segments_from_probs calls returning null.
//   "decode_delays_ms"   per-call sleeps of whisper_full (element i for call i+1), else
//   "decode_delay_ms"    the sleep of every other call. Default 0. params.abort_callback is polled
//                        while sleeping (and once per call); true makes whisper_full return -6.
//   "words"              {"<level>": text}: segment text of a run of that level; "hex:48ff49"
//                        gives raw bytes (invalid UTF-8 on purpose), "" an empty segment.
//                        Unmapped level L: " w<L>".
//   "vad_merge_gap_cs"   VAD runs closer than this gap are merged (default 0: never).
//   "vad_pad_cs"         VAD segments grow by this on both sides, clamped to the buffer; padded
//                        neighbours that would overlap meet in the middle of their gap.
//   "vad_spans_cs"       [[t0, t1], ...]: every segment list is these spans instead of the heard
//                        runs, taken as given (any floats, in any order, past the buffer or not).
//
// Audio model: 160-sample frames (10 ms) from the start of each buffer, the last may be partial.
// A frame is loud when max|x| >= 0.01; its level is round(max|x| * 32768 / 1000), so int16 PCM of
// constant value 1000*L has level L. A segment is a maximal run of loud frames, level = max level
// inside, t0 = index of its first frame, t1 = one past its last, both in centiseconds (= whisper's
// 10 ms timestamp units). whisper_full segments are those runs of the given buffer (offset_ms and
// duration_ms are logged but ignored); they live in the context until its next whisper_full.
// whisper_vad_detect_speech stores the runs of its buffer; whisper_vad_segments_from_probs
// returns a fresh copy shaped by vad_merge_gap_cs / vad_pad_cs, whatever the params say.
// new_segment_callback is called once per segment (n_new = 1); encoder_begin_callback returning
// false yields 0 segments and 0; print_realtime prints segment text to stdout, as the real one does.
//
// Log lines (exact keys):
//   {"fn":"whisper_init_from_file_with_params","path":S,"use_gpu":B,"ok":B}
//   {"fn":"whisper_free"}                      (non-null contexts only)
//   {"fn":"whisper_vad_init_from_file_with_params","path":S,"n_threads":I,"use_gpu":B,
//    "gpu_device":I,"ok":B}
//   {"fn":"whisper_vad_free"}                  (non-null contexts only)
//   {"fn":"whisper_full","strategy":0|1,"n_samples":N,"n_threads":I,"no_context":B,"translate":B,
//    "single_segment":B,"no_timestamps":B,"suppress_blank":B,"print_special":B,
//    "print_progress":B,"print_realtime":B,"print_timestamps":B,"language":S|null,
//    "initial_prompt":S|null,"audio_ctx":I,"max_tokens":I,"beam_size":I,"best_of":I,
//    "temperature":F,"offset_ms":I,"duration_ms":I,"vad":B,"n_max_text_ctx":I,"ret":I}
//    (written when the call returns)
//   {"fn":"whisper_vad_detect_speech","n_samples":N,"ok":B,"min":F|null,"max":F|null}
//    (the smallest and largest sample, exact; null for no samples)
//   {"fn":"whisper_vad_segments_from_probs","threshold":F,"min_speech_duration_ms":I,
//    "min_silence_duration_ms":I,"max_speech_duration_s":F,"speech_pad_ms":I,
//    "samples_overlap":F,"n_segments":I|null}
// Floats are logged as the shortest decimal that reads back as the same float (0.1f -> 0.1).
// Invalid UTF-8 in logged strings is replaced by U+FFFD. Device queries are not logged.
//
// Misuse the real library would punish with a crash (null context, index out of range) aborts
// with a message, so host bugs show up as a killed process instead of as garbage.

#include "ggml-backend.h"
#include "whisper.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

constexpr int FRAME_SAMPLES = 160;
constexpr float LOUD_PEAK = 0.01f;

struct Device {
    int type = 0;
    std::optional<std::string> description;
    std::optional<std::string> reg;
};

struct Script {
    std::string version = "1.9.1-scripted";
    std::vector<Device> devices{{0, "CPU", "CPU"}};
    bool gpu_load_ok = true;
    bool cpu_load_ok = true;
    bool vad_load_ok = true;
    std::set<std::string> fail_paths;
    std::string log_text = "scripted whisper: model loaded\n";
    std::set<int> decode_fail_calls;
    std::set<int> vad_fail_calls;
    std::set<int> vad_null_calls;
    std::vector<int> decode_delays_ms;
    int decode_delay_ms = 0;
    std::map<int, std::string> words;
    int vad_pad_cs = 0;
    int vad_merge_gap_cs = 0;
    std::optional<std::vector<std::pair<float, float>>> vad_spans;
};

struct Config {
    Script script;
    std::string log_path;
};

struct Run {
    int64_t t0 = 0;
    int64_t t1 = 0;
    int level = 0;
};

struct Segment {
    int64_t t0 = 0;
    int64_t t1 = 0;
    std::string text;
};

struct Context {
    std::vector<Segment> segments;
};

struct VadContext {
    std::vector<Run> runs;
    int64_t n_frames = 0;
};

struct VadSegments {
    std::vector<std::pair<float, float>> spans;
};

struct Runtime {
    std::mutex mu;
    int decode_calls = 0;
    int vad_detect_calls = 0;
    int vad_segment_calls = 0;
    ggml_log_callback whisper_logger = nullptr;
    void* whisper_logger_data = nullptr;
    ggml_log_callback ggml_logger = nullptr;
    void* ggml_logger_data = nullptr;
};

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "fake_whisper: %s\n", why.c_str());
    std::abort();
}

void require_keys(const json& j, const std::set<std::string>& allowed, const char* where) {
    if (!j.is_object()) die(std::string("script: ") + where + " must be an object");
    for (const auto& item : j.items())
        if (!allowed.count(item.key())) die(std::string("script: unknown key in ") + where + ": " + item.key());
}

bool parse_outcome(const json& j) {
    const auto s = j.get<std::string>();
    if (s != "ok" && s != "fail") die("script: outcome must be \"ok\" or \"fail\", got " + s);
    return s == "ok";
}

std::set<int> parse_indices(const json& j) {
    std::set<int> out;
    for (const auto& v : j) {
        if (v.get<int>() < 1) die("script: call indices are 1-based");
        out.insert(v.get<int>());
    }
    return out;
}

std::optional<std::string> parse_nullable(const json& j) {
    if (j.is_null()) return std::nullopt;
    return j.get<std::string>();
}

std::string decode_text(const std::string& value) {
    if (value.rfind("hex:", 0) != 0) return value;
    const std::string hex = value.substr(4);
    if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        die("script: bad hex text: " + value);
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

Script parse_script(const json& j) {
    require_keys(j, {"version", "devices", "model_load", "vad_load", "fail_paths", "log_text", "decode_fail_calls",
                     "vad_fail_calls", "vad_null_calls", "decode_delays_ms", "decode_delay_ms", "words", "vad_pad_cs",
                     "vad_merge_gap_cs", "vad_spans_cs"},
                 "script");
    Script s;
    if (j.contains("version")) s.version = j["version"].get<std::string>();
    if (j.contains("devices")) {
        s.devices.clear();
        for (const auto& d : j["devices"]) {
            require_keys(d, {"type", "description", "reg"}, "device");
            s.devices.push_back({d.at("type").get<int>(), parse_nullable(d.at("description")), parse_nullable(d.at("reg"))});
        }
    }
    if (j.contains("model_load")) {
        const auto& m = j["model_load"];
        require_keys(m, {"gpu", "cpu"}, "model_load");
        if (m.contains("gpu")) s.gpu_load_ok = parse_outcome(m["gpu"]);
        if (m.contains("cpu")) s.cpu_load_ok = parse_outcome(m["cpu"]);
    }
    if (j.contains("vad_load")) s.vad_load_ok = parse_outcome(j["vad_load"]);
    if (j.contains("fail_paths")) s.fail_paths = j["fail_paths"].get<std::set<std::string>>();
    if (j.contains("log_text")) s.log_text = j["log_text"].get<std::string>();
    if (j.contains("decode_fail_calls")) s.decode_fail_calls = parse_indices(j["decode_fail_calls"]);
    if (j.contains("vad_fail_calls")) s.vad_fail_calls = parse_indices(j["vad_fail_calls"]);
    if (j.contains("vad_null_calls")) s.vad_null_calls = parse_indices(j["vad_null_calls"]);
    if (j.contains("decode_delays_ms")) s.decode_delays_ms = j["decode_delays_ms"].get<std::vector<int>>();
    if (j.contains("decode_delay_ms")) s.decode_delay_ms = j["decode_delay_ms"].get<int>();
    if (j.contains("words")) {
        if (!j["words"].is_object()) die("script: words must be an object");
        for (const auto& item : j["words"].items()) {
            const auto& key = item.key();
            if (key.empty() || key.size() > 6 || key.find_first_not_of("0123456789") != std::string::npos)
                die("script: words key must be a decimal level: " + key);
            s.words[std::stoi(key)] = decode_text(item.value().get<std::string>());
        }
    }
    if (j.contains("vad_pad_cs")) s.vad_pad_cs = j["vad_pad_cs"].get<int>();
    if (j.contains("vad_merge_gap_cs")) s.vad_merge_gap_cs = j["vad_merge_gap_cs"].get<int>();
    if (j.contains("vad_spans_cs")) s.vad_spans = j["vad_spans_cs"].get<std::vector<std::pair<float, float>>>();
    return s;
}

Config load_config() {
    Config c;
    if (const char* log = std::getenv("FAKE_WHISPER_LOG")) c.log_path = log;
    const char* path = std::getenv("FAKE_WHISPER_SCRIPT");
    if (!path || !*path) return c;
    std::ifstream in(path);
    if (!in) return c;
    try {
        c.script = parse_script(json::parse(in));
    } catch (const json::exception& e) {
        die(std::string("script ") + path + ": " + e.what());
    }
    return c;
}

const Config& config() {
    static const Config c = load_config();
    return c;
}

Runtime& runtime() {
    static Runtime r;
    return r;
}

// Shortest decimal that reads back as the same float, so logs show 0.1 rather than 0.100000001.
double log_float(float f) {
    if (!std::isfinite(f)) return f;
    char buf[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(f));
        if (std::strtof(buf, nullptr) == f) break;
    }
    return std::strtod(buf, nullptr);
}

json nullable(const char* s) { return s ? json(s) : json(nullptr); }

void log_call(const json& line) {
    const auto& path = config().log_path;
    if (path.empty()) return;
    const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::lock_guard<std::mutex> lock(runtime().mu);
    if (FILE* f = std::fopen(path.c_str(), "a")) {
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
}

void emit_library_text() {
    ggml_log_callback whisper_cb, ggml_cb;
    void *whisper_data, *ggml_data;
    {
        std::lock_guard<std::mutex> lock(runtime().mu);
        whisper_cb = runtime().whisper_logger;
        whisper_data = runtime().whisper_logger_data;
        ggml_cb = runtime().ggml_logger;
        ggml_data = runtime().ggml_logger_data;
    }
    const char* text = config().script.log_text.c_str();
    for (auto [cb, data] : {std::pair{whisper_cb, whisper_data}, std::pair{ggml_cb, ggml_data}}) {
        if (cb) {
            cb(GGML_LOG_LEVEL_INFO, text, data);
        } else {
            std::fputs(text, stderr);
            std::fflush(stderr);
        }
    }
}

int next_call(int Runtime::*counter) {
    std::lock_guard<std::mutex> lock(runtime().mu);
    return ++(runtime().*counter);
}

std::vector<Run> loud_runs(const float* samples, int n_samples) {
    std::vector<Run> runs;
    for (int64_t frame = 0; frame * FRAME_SAMPLES < n_samples; ++frame) {
        const int64_t end = std::min<int64_t>(n_samples, (frame + 1) * FRAME_SAMPLES);
        float peak = 0.0f;
        for (int64_t i = frame * FRAME_SAMPLES; i < end; ++i) peak = std::max(peak, std::fabs(samples[i]));
        if (peak < LOUD_PEAK) continue;
        const int level = static_cast<int>(std::lround(peak * 32768.0 / 1000.0));
        if (!runs.empty() && runs.back().t1 == frame) {
            runs.back().t1 = frame + 1;
            runs.back().level = std::max(runs.back().level, level);
        } else {
            runs.push_back({frame, frame + 1, level});
        }
    }
    return runs;
}

int64_t frame_count(int n_samples) { return (std::max(n_samples, 0) + FRAME_SAMPLES - 1) / FRAME_SAMPLES; }

std::vector<std::pair<float, float>> shape_vad(const std::vector<Run>& runs, int64_t n_frames) {
    const auto& s = config().script;
    if (s.vad_spans) return *s.vad_spans;
    std::vector<Run> merged;
    for (const auto& r : runs) {
        if (!merged.empty() && r.t0 - merged.back().t1 < s.vad_merge_gap_cs) {
            merged.back().t1 = r.t1;
        } else {
            merged.push_back(r);
        }
    }
    std::vector<std::pair<float, float>> spans;
    for (size_t i = 0; i < merged.size(); ++i) {
        float t0 = static_cast<float>(std::max<int64_t>(0, merged[i].t0 - s.vad_pad_cs));
        const float t1 = static_cast<float>(std::min<int64_t>(n_frames, merged[i].t1 + s.vad_pad_cs));
        if (i > 0 && t0 < spans.back().second) {
            const float middle = (merged[i - 1].t1 + merged[i].t0) / 2.0f;
            spans.back().second = middle;
            t0 = middle;
        }
        spans.emplace_back(t0, t1);
    }
    return spans;
}

std::string segment_text(int level) {
    const auto& words = config().script.words;
    const auto it = words.find(level);
    return it != words.end() ? it->second : " w" + std::to_string(level);
}

int decode_delay_ms(int call) {
    const auto& s = config().script;
    return call <= static_cast<int>(s.decode_delays_ms.size()) ? s.decode_delays_ms[call - 1] : s.decode_delay_ms;
}

bool aborted_while_sleeping(const whisper_full_params& p, int delay_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
    for (;;) {
        if (p.abort_callback && p.abort_callback(p.abort_callback_user_data)) return true;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(5)));
    }
}

std::string timestamp(int64_t cs) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", static_cast<int>(cs / 360000), static_cast<int>(cs / 6000 % 60),
                  static_cast<int>(cs / 100 % 60), static_cast<int>(cs % 100 * 10));
    return buf;
}

Context& context_of(whisper_context* ctx, const char* fn) {
    if (!ctx) die(std::string(fn) + ": null context");
    return *reinterpret_cast<Context*>(ctx);
}

const Segment& segment_of(whisper_context* ctx, int i, const char* fn) {
    const auto& segments = context_of(ctx, fn).segments;
    if (i < 0 || i >= static_cast<int>(segments.size()))
        die(std::string(fn) + ": segment " + std::to_string(i) + " of " + std::to_string(segments.size()));
    return segments[i];
}

VadContext& vad_of(whisper_vad_context* vctx, const char* fn) {
    if (!vctx) die(std::string(fn) + ": null VAD context");
    return *reinterpret_cast<VadContext*>(vctx);
}

const std::pair<float, float>& span_of(whisper_vad_segments* segments, int i, const char* fn) {
    if (!segments) die(std::string(fn) + ": null segments");
    const auto& spans = reinterpret_cast<VadSegments*>(segments)->spans;
    if (i < 0 || i >= static_cast<int>(spans.size()))
        die(std::string(fn) + ": segment " + std::to_string(i) + " of " + std::to_string(spans.size()));
    return spans[i];
}

const Device& device_of(ggml_backend_dev_t dev, const char* fn) {
    if (!dev) die(std::string(fn) + ": null device");
    return *reinterpret_cast<const Device*>(dev);
}

bool path_fails(const char* path, const char* fn) {
    if (!path) die(std::string(fn) + ": null path");
    return config().script.fail_paths.count(path) > 0;
}

json full_log_line(const whisper_full_params& p, int n_samples, int ret) {
    return {{"fn", "whisper_full"},
            {"strategy", static_cast<int>(p.strategy)},
            {"n_samples", n_samples},
            {"n_threads", p.n_threads},
            {"no_context", p.no_context},
            {"translate", p.translate},
            {"single_segment", p.single_segment},
            {"no_timestamps", p.no_timestamps},
            {"suppress_blank", p.suppress_blank},
            {"print_special", p.print_special},
            {"print_progress", p.print_progress},
            {"print_realtime", p.print_realtime},
            {"print_timestamps", p.print_timestamps},
            {"language", nullable(p.language)},
            {"initial_prompt", nullable(p.initial_prompt)},
            {"audio_ctx", p.audio_ctx},
            {"max_tokens", p.max_tokens},
            {"beam_size", p.beam_search.beam_size},
            {"best_of", p.greedy.best_of},
            {"temperature", log_float(p.temperature)},
            {"offset_ms", p.offset_ms},
            {"duration_ms", p.duration_ms},
            {"vad", p.vad},
            {"n_max_text_ctx", p.n_max_text_ctx},
            {"ret", ret}};
}

int run_full(whisper_context* ctx, const whisper_full_params& p, const float* samples, int n_samples) {
    auto& c = context_of(ctx, "whisper_full");
    c.segments.clear();
    const int call = next_call(&Runtime::decode_calls);
    if (aborted_while_sleeping(p, decode_delay_ms(call))) return -6;
    if (config().script.decode_fail_calls.count(call)) return -1;
    if (p.encoder_begin_callback && !p.encoder_begin_callback(ctx, nullptr, p.encoder_begin_callback_user_data)) return 0;
    for (const auto& run : loud_runs(samples, n_samples)) {
        c.segments.push_back({run.t0, run.t1, segment_text(run.level)});
        const auto& text = c.segments.back().text;
        if (p.print_realtime) {
            if (p.print_timestamps) {
                std::printf("[%s --> %s]  %s\n", timestamp(run.t0).c_str(), timestamp(run.t1).c_str(), text.c_str());
            } else {
                std::printf("%s", text.c_str());
            }
            std::fflush(stdout);
        }
        if (p.new_segment_callback) p.new_segment_callback(ctx, nullptr, 1, p.new_segment_callback_user_data);
    }
    return 0;
}

}  // namespace

extern "C" {

const char* whisper_version(void) { return config().script.version.c_str(); }

void whisper_log_set(ggml_log_callback log_callback, void* user_data) {
    std::lock_guard<std::mutex> lock(runtime().mu);
    runtime().whisper_logger = log_callback;
    runtime().whisper_logger_data = user_data;
    runtime().ggml_logger = log_callback;
    runtime().ggml_logger_data = user_data;
}

void ggml_log_set(ggml_log_callback log_callback, void* user_data) {
    std::lock_guard<std::mutex> lock(runtime().mu);
    runtime().ggml_logger = log_callback;
    runtime().ggml_logger_data = user_data;
}

struct whisper_context_params whisper_context_default_params(void) {
    whisper_context_params p{};
    p.use_gpu = true;
    p.flash_attn = true;
    p.gpu_device = 0;
    p.dtw_token_timestamps = false;
    p.dtw_aheads_preset = WHISPER_AHEADS_NONE;
    p.dtw_n_top = -1;
    p.dtw_aheads = {0, nullptr};
    p.dtw_mem_size = 1024 * 1024 * 128;
    return p;
}

struct whisper_vad_params whisper_vad_default_params(void) {
    whisper_vad_params p{};
    p.threshold = 0.5f;
    p.min_speech_duration_ms = 250;
    p.min_silence_duration_ms = 100;
    p.max_speech_duration_s = FLT_MAX;
    p.speech_pad_ms = 30;
    p.samples_overlap = 0.1f;
    return p;
}

struct whisper_vad_context_params whisper_vad_default_context_params(void) {
    whisper_vad_context_params p{};
    p.n_threads = 4;
    p.use_gpu = false;
    p.gpu_device = 0;
    return p;
}

struct whisper_full_params whisper_full_default_params(enum whisper_sampling_strategy strategy) {
    whisper_full_params p{};
    p.strategy = strategy;
    p.n_threads = std::min(4, static_cast<int32_t>(std::thread::hardware_concurrency()));
    p.n_max_text_ctx = 16384;
    p.offset_ms = 0;
    p.duration_ms = 0;
    p.translate = false;
    p.no_context = true;
    p.no_timestamps = false;
    p.single_segment = false;
    p.print_special = false;
    p.print_progress = true;
    p.print_realtime = false;
    p.print_timestamps = true;
    p.token_timestamps = false;
    p.thold_pt = 0.01f;
    p.thold_ptsum = 0.01f;
    p.max_len = 0;
    p.split_on_word = false;
    p.max_tokens = 0;
    p.debug_mode = false;
    p.audio_ctx = 0;
    p.tdrz_enable = false;
    p.suppress_regex = nullptr;
    p.initial_prompt = nullptr;
    p.carry_initial_prompt = false;
    p.prompt_tokens = nullptr;
    p.prompt_n_tokens = 0;
    p.language = "en";
    p.detect_language = false;
    p.suppress_blank = true;
    p.suppress_nst = false;
    p.temperature = 0.0f;
    p.max_initial_ts = 1.0f;
    p.length_penalty = -1.0f;
    p.temperature_inc = 0.2f;
    p.entropy_thold = 2.4f;
    p.logprob_thold = -1.0f;
    p.no_speech_thold = 0.6f;
    p.greedy.best_of = strategy == WHISPER_SAMPLING_GREEDY ? 5 : -1;
    p.beam_search.beam_size = strategy == WHISPER_SAMPLING_BEAM_SEARCH ? 5 : -1;
    p.beam_search.patience = -1.0f;
    p.new_segment_callback = nullptr;
    p.new_segment_callback_user_data = nullptr;
    p.progress_callback = nullptr;
    p.progress_callback_user_data = nullptr;
    p.encoder_begin_callback = nullptr;
    p.encoder_begin_callback_user_data = nullptr;
    p.abort_callback = nullptr;
    p.abort_callback_user_data = nullptr;
    p.logits_filter_callback = nullptr;
    p.logits_filter_callback_user_data = nullptr;
    p.grammar_rules = nullptr;
    p.n_grammar_rules = 0;
    p.i_start_rule = 0;
    p.grammar_penalty = 100.0f;
    p.vad = false;
    p.vad_model_path = nullptr;
    p.vad_params = whisper_vad_default_params();
    return p;
}

struct whisper_context* whisper_init_from_file_with_params(const char* path_model, struct whisper_context_params params) {
    const auto& s = config().script;
    const bool ok = !path_fails(path_model, __func__) && (params.use_gpu ? s.gpu_load_ok : s.cpu_load_ok);
    emit_library_text();
    log_call({{"fn", __func__}, {"path", path_model}, {"use_gpu", params.use_gpu}, {"ok", ok}});
    return ok ? reinterpret_cast<whisper_context*>(new Context) : nullptr;
}

void whisper_free(struct whisper_context* ctx) {
    if (!ctx) return;
    delete reinterpret_cast<Context*>(ctx);
    log_call({{"fn", __func__}});
}

int whisper_full(struct whisper_context* ctx, struct whisper_full_params params, const float* samples, int n_samples) {
    const int ret = run_full(ctx, params, samples, n_samples);
    log_call(full_log_line(params, n_samples, ret));
    return ret;
}

int whisper_full_n_segments(struct whisper_context* ctx) {
    return static_cast<int>(context_of(ctx, __func__).segments.size());
}

const char* whisper_full_get_segment_text(struct whisper_context* ctx, int i_segment) {
    return segment_of(ctx, i_segment, __func__).text.c_str();
}

int64_t whisper_full_get_segment_t0(struct whisper_context* ctx, int i_segment) {
    return segment_of(ctx, i_segment, __func__).t0;
}

int64_t whisper_full_get_segment_t1(struct whisper_context* ctx, int i_segment) {
    return segment_of(ctx, i_segment, __func__).t1;
}

struct whisper_vad_context* whisper_vad_init_from_file_with_params(const char* path_model,
                                                                   struct whisper_vad_context_params params) {
    const bool ok = !path_fails(path_model, __func__) && config().script.vad_load_ok;
    emit_library_text();
    log_call({{"fn", __func__},
              {"path", path_model},
              {"n_threads", params.n_threads},
              {"use_gpu", params.use_gpu},
              {"gpu_device", params.gpu_device},
              {"ok", ok}});
    return ok ? reinterpret_cast<whisper_vad_context*>(new VadContext) : nullptr;
}

bool whisper_vad_detect_speech(struct whisper_vad_context* vctx, const float* samples, int n_samples) {
    auto& v = vad_of(vctx, __func__);
    const bool ok = !config().script.vad_fail_calls.count(next_call(&Runtime::vad_detect_calls));
    v.runs = ok ? loud_runs(samples, n_samples) : std::vector<Run>{};
    v.n_frames = ok ? frame_count(n_samples) : 0;
    json lowest = nullptr;
    json highest = nullptr;
    if (n_samples > 0) {
        const auto [low, high] = std::minmax_element(samples, samples + n_samples);
        lowest = static_cast<double>(*low);
        highest = static_cast<double>(*high);
    }
    log_call({{"fn", __func__}, {"n_samples", n_samples}, {"ok", ok}, {"min", lowest}, {"max", highest}});
    return ok;
}

struct whisper_vad_segments* whisper_vad_segments_from_probs(struct whisper_vad_context* vctx,
                                                             struct whisper_vad_params params) {
    const auto& v = vad_of(vctx, __func__);
    VadSegments* out = nullptr;
    if (!config().script.vad_null_calls.count(next_call(&Runtime::vad_segment_calls)))
        out = new VadSegments{shape_vad(v.runs, v.n_frames)};
    log_call({{"fn", __func__},
              {"threshold", log_float(params.threshold)},
              {"min_speech_duration_ms", params.min_speech_duration_ms},
              {"min_silence_duration_ms", params.min_silence_duration_ms},
              {"max_speech_duration_s", log_float(params.max_speech_duration_s)},
              {"speech_pad_ms", params.speech_pad_ms},
              {"samples_overlap", log_float(params.samples_overlap)},
              {"n_segments", out ? json(out->spans.size()) : json(nullptr)}});
    return reinterpret_cast<whisper_vad_segments*>(out);
}

int whisper_vad_segments_n_segments(struct whisper_vad_segments* segments) {
    if (!segments) die("whisper_vad_segments_n_segments: null segments");
    return static_cast<int>(reinterpret_cast<VadSegments*>(segments)->spans.size());
}

float whisper_vad_segments_get_segment_t0(struct whisper_vad_segments* segments, int i_segment) {
    return span_of(segments, i_segment, __func__).first;
}

float whisper_vad_segments_get_segment_t1(struct whisper_vad_segments* segments, int i_segment) {
    return span_of(segments, i_segment, __func__).second;
}

void whisper_vad_free_segments(struct whisper_vad_segments* segments) {
    delete reinterpret_cast<VadSegments*>(segments);
}

void whisper_vad_free(struct whisper_vad_context* ctx) {
    if (!ctx) return;
    delete reinterpret_cast<VadContext*>(ctx);
    log_call({{"fn", __func__}});
}

size_t ggml_backend_dev_count(void) { return config().script.devices.size(); }

ggml_backend_dev_t ggml_backend_dev_get(size_t index) {
    const auto& devices = config().script.devices;
    if (index >= devices.size()) die("ggml_backend_dev_get: device " + std::to_string(index) + " of " + std::to_string(devices.size()));
    return reinterpret_cast<ggml_backend_dev_t>(const_cast<Device*>(&devices[index]));
}

enum ggml_backend_dev_type ggml_backend_dev_type(ggml_backend_dev_t device) {
    return static_cast<enum ggml_backend_dev_type>(device_of(device, __func__).type);
}

const char* ggml_backend_dev_description(ggml_backend_dev_t device) {
    const auto& d = device_of(device, __func__);
    return d.description ? d.description->c_str() : nullptr;
}

// A device is its own registry handle: each scripted device names its registry independently.
ggml_backend_reg_t ggml_backend_dev_backend_reg(ggml_backend_dev_t device) {
    device_of(device, __func__);
    return reinterpret_cast<ggml_backend_reg_t>(device);
}

const char* ggml_backend_reg_name(ggml_backend_reg_t reg) {
    const auto& d = device_of(reinterpret_cast<ggml_backend_dev_t>(reg), __func__);
    return d.reg ? d.reg->c_str() : nullptr;
}

}  // extern "C"
