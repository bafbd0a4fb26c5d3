// voice-host: a speech-to-text host for live dictation.
//
// The parent application writes JSON commands to standard input, one object per line, and
// reads JSON events from standard output, one object per line. Recognition and voice
// activity detection come from whisper.cpp; this file owns the protocol, configuration,
// warm-up and the streaming policy that decides when to decode and where to cut finals.

#include <whisper.h>
#include <ggml.h>
#include <ggml-backend.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__APPLE__)
#include <mach/mach.h>
#else
#include <unistd.h>
#endif

namespace {

using json = nlohmann::json;

constexpr int PROTOCOL_VERSION = 1;
constexpr double DEFAULT_PARTIAL_WINDOW_S = 10.0;

constexpr double SAMPLE_RATE = 16000.0;
constexpr uint64_t MIN_DECODE_SAMPLES = 3200;   // 0.2 s: shorter stretches carry no words
constexpr uint64_t VAD_GATE_SAMPLES = 4800;     // 0.3 s of new audio between VAD passes
constexpr uint64_t TRIM_KEEP_SAMPLES = 32000;   // 2 s kept when a long buffer holds no speech
constexpr double PAUSE_S = 0.85;
constexpr double CUT_MARGIN_S = 0.12;
constexpr double SOFT_CLOSE_AGE_S = 2.0;
constexpr double COMMIT_DISTANCE_MS = 2000.0;
constexpr double SILENT_TRIM_S = 12.0;
constexpr double MIN_PARTIAL_INTERVAL_MS = 500.0;
constexpr double MAX_PARTIAL_INTERVAL_MS = 1500.0;
constexpr size_t PROMPT_LIMIT = 600;
constexpr size_t CONTEXT_LIMIT = 200;
constexpr int WARMUP_SAMPLES = 32000;
constexpr const char* DEBUG_VARIABLE = "TELLVANE_VOICE_HOST_DEBUG";

std::mutex g_out_mutex;

// ---------------------------------------------------------------------------------------
// Clock and stream-time conversions. Division comes before multiplication everywhere, so
// 16016 samples are 1000 ms, as the parent computes them.

double now_ms() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<double>(ns) / 1e6;
}

double samples_to_seconds(uint64_t n) { return static_cast<double>(n) / SAMPLE_RATE; }

double samples_to_ms(uint64_t n) { return static_cast<double>(n) / SAMPLE_RATE * 1000.0; }

int64_t samples_to_whole_ms(uint64_t n) { return static_cast<int64_t>(samples_to_ms(n)); }

// Library times are taken on trust, so a sample count made from one is held to the buffer while
// it is still a double: an end far past the buffer, or an infinite one, then cuts the whole
// buffer instead of overflowing the integer conversion.
uint64_t samples_within(double n, uint64_t limit) {
    if (!(n > 0.0)) return 0;
    if (n >= static_cast<double>(limit)) return limit;
    return static_cast<uint64_t>(n);
}

uint64_t seconds_to_samples(double s, uint64_t limit) {
    return samples_within(s * SAMPLE_RATE, limit);
}

uint64_t ms_to_samples(double ms, uint64_t limit) {
    return samples_within(ms / 1000.0 * SAMPLE_RATE, limit);
}

// The decoder's centiseconds as milliseconds, saturating where the product would overflow.
int64_t centiseconds_to_ms(int64_t cs) {
    constexpr int64_t MOST = std::numeric_limits<int64_t>::max() / 10;
    return std::clamp(cs, -MOST, MOST) * 10;
}

int32_t to_int32(double v) {
    if (!(v > static_cast<double>(std::numeric_limits<int32_t>::min()))) {
        return std::numeric_limits<int32_t>::min();
    }
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(v);
}

// ---------------------------------------------------------------------------------------
// Event writer.

void emit(const json& event) {
    std::lock_guard<std::mutex> lock(g_out_mutex);
    std::string line;
    try {
        // Library text is not always valid UTF-8; replacing bad sequences keeps the event
        // whole instead of losing it.
        line = event.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        return;
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void emit_error(const char* code, const std::string& message, bool fatal) {
    emit(json{{"ev", "error"}, {"code", code}, {"message", message}, {"fatal", fatal}});
}

[[noreturn]] void terminate_now(int status) {
    std::fflush(stdout);
    std::_Exit(status);
}

void log_sink(ggml_log_level, const char* text, void*) {
    const char* debug = std::getenv(DEBUG_VARIABLE);
    if (debug != nullptr && std::strcmp(debug, "1") == 0 && text != nullptr) {
        std::fputs(text, stderr);
    }
}

// ---------------------------------------------------------------------------------------
// Reading command keys. Every key is checked for its JSON type before a handler changes
// anything, so a rejected command leaves the host exactly as it was.

enum class KeyKind { INTEGER, NUMBER, TEXT };

struct KeyRule {
    const char* key;
    KeyKind kind;
};

// "configure" checks its keys in three groups, each just before its test: the parent hears of
// a protocol mismatch or missing model paths whatever the rest of the command holds.
constexpr KeyRule PROTOCOL_KEY[] = {{"protocol", KeyKind::INTEGER}};
constexpr KeyRule MODEL_KEYS[] = {{"model", KeyKind::TEXT}, {"vad_model", KeyKind::TEXT}};
constexpr KeyRule SETTING_KEYS[] = {
    {"language", KeyKind::TEXT},       {"threads", KeyKind::INTEGER},
    {"idle_exit_s", KeyKind::INTEGER}, {"backend", KeyKind::TEXT},
    {"beam_size", KeyKind::INTEGER},   {"partial_window_s", KeyKind::NUMBER},
    {"prompt", KeyKind::TEXT},         {"audio_ctx", KeyKind::TEXT},
};

bool accepts(KeyKind kind, const json& value) {
    switch (kind) {
        case KeyKind::INTEGER: return value.is_number() || value.is_boolean();
        case KeyKind::NUMBER: return value.is_number();
        case KeyKind::TEXT: return value.is_string();
    }
    return false;
}

const char* kind_name(KeyKind kind) {
    switch (kind) {
        case KeyKind::INTEGER: return "an integer";
        case KeyKind::NUMBER: return "a number";
        case KeyKind::TEXT: return "a string";
    }
    return "";
}

// Reports the first key of the rules whose value has the wrong JSON type; true when all fit.
template <size_t N>
bool check_keys(const json& cmd, const std::string& op, const KeyRule (&rules)[N]) {
    for (size_t i = 0; i < N; ++i) {
        auto it = cmd.find(rules[i].key);
        if (it != cmd.end() && !accepts(rules[i].kind, *it)) {
            emit_error("bad_command",
                       op + " key \"" + rules[i].key + "\" must be " + kind_name(rules[i].kind),
                       false);
            return false;
        }
    }
    return true;
}

// Integers outside the signed 32-bit range saturate, so 4294967297 never reads as 1.
int32_t read_int(const json& cmd, const char* key, int32_t fallback) {
    auto it = cmd.find(key);
    if (it == cmd.end()) return fallback;
    const json& v = *it;
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        return u > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                   ? std::numeric_limits<int32_t>::max()
                   : static_cast<int32_t>(u);
    }
    if (v.is_number_integer()) {
        int64_t s = v.get<int64_t>();
        return static_cast<int32_t>(std::clamp<int64_t>(s, std::numeric_limits<int32_t>::min(),
                                                        std::numeric_limits<int32_t>::max()));
    }
    return to_int32(std::trunc(v.get<double>()));
}

double read_number(const json& cmd, const char* key, double fallback) {
    auto it = cmd.find(key);
    return it == cmd.end() ? fallback : it->get<double>();
}

std::string read_text(const json& cmd, const char* key, const char* fallback) {
    auto it = cmd.find(key);
    return it == cmd.end() ? std::string(fallback) : it->get<std::string>();
}

// ---------------------------------------------------------------------------------------
// Text rules.

bool is_space_byte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string collapse_spaces(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool pending_space = false;
    for (char c : text) {
        if (is_space_byte(c)) {
            pending_space = !out.empty();
            continue;
        }
        if (pending_space) out.push_back(' ');
        out.push_back(c);
        pending_space = false;
    }
    return out;
}

bool is_noise_marker(const std::string& text) {
    if (text.empty()) return true;
    char first = text.front();
    char last = text.back();
    return (first == '[' && last == ']') || (first == '(' && last == ')');
}

std::string apply_prompt_rule(const std::string& text) {
    std::string collapsed = collapse_spaces(text);
    if (collapsed.size() > PROMPT_LIMIT) collapsed.resize(PROMPT_LIMIT);
    return collapsed;
}

std::string file_name_of(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string lower_ascii(const char* text) {
    std::string out = text != nullptr ? text : "";
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Base64, lenient: bytes outside the alphabet are passed over and "=" ends nothing, because
// audio chunks arrive from many encoders and a stray byte must not cost the chunk.

int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::vector<uint8_t> decode_base64(const std::string& text) {
    std::vector<uint8_t> out;
    if (text.size() >= 4) out.reserve(3 * (text.size() / 4));
    uint32_t bits = 0;
    int pending = 0;
    for (char ch : text) {
        int v = base64_value(static_cast<unsigned char>(ch));
        if (v < 0) continue;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out.push_back(static_cast<uint8_t>((bits >> pending) & 0xFF));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Resident memory for "metrics".

uint64_t resident_bytes() {
#if defined(__APPLE__)
    mach_task_basic_info_data_t info;
    mach_msg_type_number_t count = MACH_TASK_BASIC_INFO_COUNT;
    if (task_info(mach_task_self(), MACH_TASK_BASIC_INFO, reinterpret_cast<task_info_t>(&info),
                  &count) != KERN_SUCCESS) {
        return 0;
    }
    return info.resident_size;
#else
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long long total = 0;
    unsigned long long resident = 0;
    int got = std::fscanf(f, "%llu %llu", &total, &resident);
    std::fclose(f);
    long page = sysconf(_SC_PAGESIZE);
    if (got != 2 || page <= 0) return 0;
    return resident * static_cast<uint64_t>(page);
#endif
}

// ---------------------------------------------------------------------------------------
// Model file checks. whisper.cpp 1.9.1 trusts the files it loads: a cut or damaged model can
// abort the process inside its loader (failed assertions, uncaught exceptions, reads past its
// buffers, allocations sized by garbage) where it should fail the load. So the host walks a
// file's layout first, seeking over tensor data, and treats what the loader would trip over
// as a failed load; mismatches the loader refuses cleanly by itself are left to it.

constexpr int32_t LOADER_MAX_DIMS = 4;  // the loaders read a tensor's shape into int32_t[4]
constexpr int32_t MEL_FFT_BINS = 1 + WHISPER_N_FFT / 2;
constexpr int32_t VAD_ENCODER_LAYERS = 4;  // the VAD loader indexes four layers, whatever the count

// The weight types a header's ftype can name, with ggml's block layout so that tensor sizes can
// be worked out without the library. The same type ids tag the tensors in the file.
struct WeightType {
    int32_t ftype;
    int32_t type;
    int64_t block;
    int64_t block_bytes;
};

constexpr WeightType WEIGHT_TYPES[] = {
    {GGML_FTYPE_ALL_F32, GGML_TYPE_F32, 1, 4},
    {GGML_FTYPE_MOSTLY_F16, GGML_TYPE_F16, 1, 2},
    {GGML_FTYPE_MOSTLY_BF16, GGML_TYPE_BF16, 1, 2},
    {GGML_FTYPE_MOSTLY_Q4_0, GGML_TYPE_Q4_0, 32, 18},
    {GGML_FTYPE_MOSTLY_Q4_1, GGML_TYPE_Q4_1, 32, 20},
    {GGML_FTYPE_MOSTLY_Q5_0, GGML_TYPE_Q5_0, 32, 22},
    {GGML_FTYPE_MOSTLY_Q5_1, GGML_TYPE_Q5_1, 32, 24},
    {GGML_FTYPE_MOSTLY_Q8_0, GGML_TYPE_Q8_0, 32, 34},
    {GGML_FTYPE_MOSTLY_Q1_0, GGML_TYPE_Q1_0, 128, 18},
    {GGML_FTYPE_MOSTLY_MXFP4, GGML_TYPE_MXFP4, 32, 17},
    {GGML_FTYPE_MOSTLY_NVFP4, GGML_TYPE_NVFP4, 64, 36},
    {GGML_FTYPE_MOSTLY_Q2_K, GGML_TYPE_Q2_K, 256, 84},
    {GGML_FTYPE_MOSTLY_Q3_K, GGML_TYPE_Q3_K, 256, 110},
    {GGML_FTYPE_MOSTLY_Q4_K, GGML_TYPE_Q4_K, 256, 144},
    {GGML_FTYPE_MOSTLY_Q5_K, GGML_TYPE_Q5_K, 256, 176},
    {GGML_FTYPE_MOSTLY_Q6_K, GGML_TYPE_Q6_K, 256, 210},
    {GGML_FTYPE_MOSTLY_IQ2_XXS, GGML_TYPE_IQ2_XXS, 256, 66},
    {GGML_FTYPE_MOSTLY_IQ2_XS, GGML_TYPE_IQ2_XS, 256, 74},
    {GGML_FTYPE_MOSTLY_IQ2_S, GGML_TYPE_IQ2_S, 256, 82},
    {GGML_FTYPE_MOSTLY_IQ3_XXS, GGML_TYPE_IQ3_XXS, 256, 98},
    {GGML_FTYPE_MOSTLY_IQ3_S, GGML_TYPE_IQ3_S, 256, 110},
    {GGML_FTYPE_MOSTLY_IQ1_S, GGML_TYPE_IQ1_S, 256, 50},
    {GGML_FTYPE_MOSTLY_IQ1_M, GGML_TYPE_IQ1_M, 256, 56},
    {GGML_FTYPE_MOSTLY_IQ4_NL, GGML_TYPE_IQ4_NL, 32, 18},
    {GGML_FTYPE_MOSTLY_IQ4_XS, GGML_TYPE_IQ4_XS, 256, 136},
};

const WeightType* weight_type_where(int32_t WeightType::*key, int32_t value) {
    for (const WeightType& w : WEIGHT_TYPES) {
        if (w.*key == value) return &w;
    }
    return nullptr;
}

// A header value the loaders take on trust: at least `min`, a divisor of the value at index
// `divides` and equal to the one at `equals`, where those are set.
constexpr size_t NO_FIELD = std::numeric_limits<size_t>::max();

struct FieldRule {
    size_t field;
    int32_t min;
    size_t divides = NO_FIELD;
    size_t equals = NO_FIELD;
};

template <size_t N>
bool fields_ok(const std::vector<int32_t>& values, const FieldRule (&rules)[N]) {
    return std::all_of(std::begin(rules), std::end(rules), [&](const FieldRule& rule) {
        int32_t v = values[rule.field];
        return v >= rule.min && (rule.divides == NO_FIELD || values[rule.divides] % v == 0) &&
               (rule.equals == NO_FIELD || values[rule.equals] == v);
    });
}

// Whisper header order. Head counts split the state into heads (a zero divides by zero, a
// non-divisor fails a reshape assertion) and the decoder attends over the encoder's state.
struct SpeechField {
    enum : size_t {
        N_VOCAB, N_AUDIO_CTX, N_AUDIO_STATE, N_AUDIO_HEAD, N_AUDIO_LAYER, N_TEXT_CTX,
        N_TEXT_STATE, N_TEXT_HEAD, N_TEXT_LAYER, N_MELS, FTYPE, COUNT
    };
};

constexpr FieldRule SPEECH_RULES[] = {
    {SpeechField::N_VOCAB, 1},
    {SpeechField::N_AUDIO_CTX, 1},
    {SpeechField::N_AUDIO_STATE, 1},
    {SpeechField::N_AUDIO_HEAD, 1, SpeechField::N_AUDIO_STATE},
    {SpeechField::N_AUDIO_LAYER, 1},
    {SpeechField::N_TEXT_CTX, 1},
    {SpeechField::N_TEXT_STATE, 1, NO_FIELD, SpeechField::N_AUDIO_STATE},
    {SpeechField::N_TEXT_HEAD, 1, SpeechField::N_TEXT_STATE},
    {SpeechField::N_TEXT_LAYER, 1},
    {SpeechField::N_MELS, 1},
};

// Silero header order, less the four layer sizes that sit between N_ENCODER_LAYERS and
// LSTM_INPUT. LSTM_INPUT is the STFT stride.
struct VadField {
    enum : size_t {
        WINDOW, CONTEXT, N_ENCODER_LAYERS, LSTM_INPUT, LSTM_HIDDEN, FINAL_CONV_IN, FINAL_CONV_OUT,
        COUNT
    };
};

constexpr FieldRule VAD_RULES[] = {
    {VadField::LSTM_INPUT, 1},
    {VadField::LSTM_HIDDEN, 1},
    {VadField::FINAL_CONV_IN, 1},
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Every read and skip is held to the file's size, which the loaders never do.
struct ModelFile {
    std::unique_ptr<std::FILE, FileCloser> file;
    uint64_t size = 0;
    uint64_t pos = 0;
    bool all_f32 = false;  // a speech model whose weights, convolutions included, are all F32
};

bool measure_model_file(ModelFile& f) {
    if (fseeko(f.file.get(), 0, SEEK_END) != 0) return false;
    off_t end = ftello(f.file.get());
    if (end < 0 || fseeko(f.file.get(), 0, SEEK_SET) != 0) return false;
    f.size = static_cast<uint64_t>(end);
    return true;
}

uint64_t remaining(const ModelFile& f) { return f.size - f.pos; }

// Short skips (vocabulary tokens, names) are read through stdio's buffer: a seek per token
// would cost tens of thousands of system calls for one vocabulary.
bool skip(ModelFile& f, uint64_t n) {
    if (n > remaining(f)) return false;
    char scratch[4096];
    if (n <= sizeof(scratch)) {
        if (n > 0 && std::fread(scratch, 1, n, f.file.get()) != n) return false;
        f.pos += n;
        return true;
    }
    f.pos += n;
    return fseeko(f.file.get(), static_cast<off_t>(f.pos), SEEK_SET) == 0;
}

template <typename T>
bool read_value(ModelFile& f, T& out) {
    if (remaining(f) < sizeof(T) || std::fread(&out, sizeof(T), 1, f.file.get()) != 1) return false;
    f.pos += sizeof(T);
    return true;
}

bool read_values(ModelFile& f, std::vector<int32_t>& values, size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
        if (!read_value(f, values[i])) return false;
    }
    return true;
}

bool magic_ok(ModelFile& f) {
    uint32_t magic = 0;
    return read_value(f, magic) && magic == GGML_FILE_MAGIC;
}

// Tensor records run until fewer bytes remain than a record's first three fields: there the
// loaders' reads meet the end of the file and they stop. Each record must hold a shape that
// fits their shape array and their 32-bit element count, a name, a type with a known layout,
// and data inside the file. A file without tensors would load as an empty model.
bool tensors_ok(ModelFile& f) {
    int tensors = 0;
    while (remaining(f) >= 3 * sizeof(int32_t)) {
        int32_t n_dims = 0;
        int32_t name_length = 0;
        int32_t type = 0;
        if (!read_value(f, n_dims) || !read_value(f, name_length) || !read_value(f, type)) return false;
        const WeightType* layout = weight_type_where(&WeightType::type, type);
        if (n_dims < 0 || n_dims > LOADER_MAX_DIMS || name_length < 1 || layout == nullptr) return false;
        int64_t elements = 1;
        int32_t row = 1;
        for (int32_t i = 0; i < n_dims; ++i) {
            int32_t ne = 0;
            if (!read_value(f, ne) || ne < 1) return false;
            if (i == 0) row = ne;
            elements *= ne;
            if (elements > std::numeric_limits<int32_t>::max()) return false;
        }
        if (row % layout->block != 0) return false;
        uint64_t data_bytes = static_cast<uint64_t>(elements / layout->block * layout->block_bytes);
        if (!skip(f, static_cast<uint64_t>(name_length)) || !skip(f, data_bytes)) return false;
        ++tensors;
    }
    return tensors > 0;
}

// The loaders allocate every weight from the header before reading any, so a damaged size must
// not make them ask for more memory than the file could ever fill.
double speech_weight_bytes(const std::vector<int32_t>& h, const WeightType& weights) {
    const double n = h[SpeechField::N_AUDIO_STATE];
    const double w = static_cast<double>(weights.block_bytes) / static_cast<double>(weights.block);
    const double conv = weights.type == GGML_TYPE_F32 ? 4.0 : 2.0;
    const double attention = 4 * n * n * w + 3 * n * 4;
    const double layer = attention + 8 * n * n * w + 5 * n * 4 + 2 * (2 * n * 4);
    const double encoder = n * h[SpeechField::N_AUDIO_CTX] * 4 +
                           3 * n * (h[SpeechField::N_MELS] + n) * conv + 4 * n * 4 +
                           h[SpeechField::N_AUDIO_LAYER] * layer;
    const double decoder = n * h[SpeechField::N_TEXT_CTX] * 4 + n * h[SpeechField::N_VOCAB] * w +
                           2 * n * 4 + h[SpeechField::N_TEXT_LAYER] * (layer + attention + 2 * n * 4);
    return encoder + decoder;
}

// Layers hold input channels, output channels and kernel size; the STFT basis is 256 x 258.
double vad_weight_bytes(const std::vector<int32_t>& v, const std::vector<int32_t>& layers) {
    double bytes = 256.0 * 258 * 2 + 2.0 * v[VadField::FINAL_CONV_IN] + 4;
    for (size_t i = 0; i < static_cast<size_t>(VAD_ENCODER_LAYERS); ++i) {
        const double in = layers[3 * i];
        const double out = layers[3 * i + 1];
        bytes += 2 * in * out * layers[3 * i + 2] + 4 * out;
    }
    const double hidden = v[VadField::LSTM_HIDDEN];
    return bytes + 2 * (4 * hidden * hidden * 4 + 4 * hidden * 4);
}

// The mel filter bank must match the encoder's input and the FFT: whisper.cpp only asserts
// both, and release builds run over their buffers instead.
bool mel_filters_ok(ModelFile& f, int32_t n_mels) {
    int32_t n_mel = 0;
    int32_t n_fft = 0;
    return read_value(f, n_mel) && read_value(f, n_fft) && n_mel == n_mels &&
           n_fft == MEL_FFT_BINS &&
           skip(f, sizeof(float) * static_cast<uint64_t>(n_mel) * static_cast<uint64_t>(n_fft));
}

bool vocab_ok(ModelFile& f) {
    int32_t count = 0;
    if (!read_value(f, count)) return false;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!read_value(f, length) || !skip(f, length)) return false;
    }
    return true;
}

// The ftype's thousands count the quantization version, which the loader drops. Quantized
// rows must fill whole blocks, or ggml fails an assertion creating the weights.
bool speech_layout_ok(ModelFile& f) {
    std::vector<int32_t> h(SpeechField::COUNT);
    if (!magic_ok(f) || !read_values(f, h, 0, SpeechField::COUNT)) return false;
    const WeightType* weights =
        weight_type_where(&WeightType::ftype, h[SpeechField::FTYPE] % GGML_QNT_VERSION_FACTOR);
    if (weights == nullptr) return false;
    f.all_f32 = weights->ftype == GGML_FTYPE_ALL_F32;
    return fields_ok(h, SPEECH_RULES) &&
           h[SpeechField::N_AUDIO_STATE] % weights->block == 0 &&
           mel_filters_ok(f, h[SpeechField::N_MELS]) && vocab_ok(f) &&
           speech_weight_bytes(h, *weights) <= static_cast<double>(f.size) && tensors_ok(f);
}

// whisper.cpp pads each VAD window by 64 samples on both sides, runs its 256-tap STFT over it at
// the LSTM_INPUT stride and reads four frames of the result.
bool vad_window_ok(const std::vector<int32_t>& v) {
    int64_t usable = static_cast<int64_t>(v[VadField::WINDOW]) + 2 * 64 - 256;
    return usable >= 0 && usable / v[VadField::LSTM_INPUT] + 1 >= 4;
}

bool vad_layout_ok(ModelFile& f) {
    std::vector<int32_t> v(VadField::COUNT);
    int32_t type_length = 0;
    if (!magic_ok(f) || !read_value(f, type_length) || type_length < 0 ||
        !skip(f, static_cast<uint64_t>(type_length) + 3 * sizeof(int32_t)) ||
        !read_values(f, v, VadField::WINDOW, VadField::LSTM_INPUT)) {
        return false;
    }
    int32_t n_layers = v[VadField::N_ENCODER_LAYERS];
    if (n_layers < VAD_ENCODER_LAYERS ||
        3 * sizeof(int32_t) * static_cast<uint64_t>(n_layers) > remaining(f)) {
        return false;
    }
    std::vector<int32_t> layers(3 * static_cast<size_t>(n_layers));
    if (!read_values(f, layers, 0, layers.size()) ||
        !read_values(f, v, VadField::LSTM_INPUT, VadField::COUNT)) {
        return false;
    }
    bool sizes_positive = std::all_of(layers.begin(), layers.begin() + 3 * VAD_ENCODER_LAYERS,
                                      [](int32_t n) { return n >= 1; });
    return sizes_positive && fields_ok(v, VAD_RULES) && vad_window_ok(v) &&
           vad_weight_bytes(v, layers) <= static_cast<double>(f.size) && tensors_ok(f);
}

// A file that cannot be opened is left to the library, which fails to open it just as cleanly.
bool model_file_ok(ModelFile& f, const std::string& path, bool (*layout_ok)(ModelFile&)) {
    f.file.reset(std::fopen(path.c_str(), "rb"));
    if (!f.file) return true;
    bool ok = measure_model_file(f) && layout_ok(f);
    if (!ok) {
        std::string text = "voice-host: " + path + " is not a model file whisper.cpp loads safely\n";
        log_sink(GGML_LOG_LEVEL_ERROR, text.c_str(), nullptr);
    }
    return ok;
}

// Where a speech model may run. An all-F32 model keeps its convolution weights in F32 too, and
// this release's CPU im2col takes F16 kernels only: its first encode on the CPU would abort the
// process. The GPU backends take any kernel type there, and with a GPU device whisper.cpp keeps
// every weight, so every convolution, on that device.
enum class SpeechFile { REFUSED, ANY_DEVICE, GPU_ONLY };

SpeechFile check_speech_model_file(const std::string& path) {
    ModelFile f;
    if (!model_file_ok(f, path, speech_layout_ok)) return SpeechFile::REFUSED;
    return f.all_f32 ? SpeechFile::GPU_ONLY : SpeechFile::ANY_DEVICE;
}

bool vad_model_file_ok(const std::string& path) {
    ModelFile f;
    return model_file_ok(f, path, vad_layout_ok);
}

void log_cpu_refusal(const std::string& path) {
    std::string text = "voice-host: " + path + " cannot run on the CPU: its weights are all F32, and " +
                       "the CPU convolutions of whisper.cpp " + whisper_version() +
                       " take F16 weights only; load it on a GPU, or convert or quantize it to F16 "
                       "or a quantized type\n";
    log_sink(GGML_LOG_LEVEL_ERROR, text.c_str(), nullptr);
}

// The first device of GPU type in ggml's list is the one whisper.cpp takes by default.
ggml_backend_dev_t first_gpu_device() {
    for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
        ggml_backend_dev_t dev = ggml_backend_dev_get(i);
        enum ggml_backend_dev_type type = ggml_backend_dev_type(dev);
        if (type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU) return dev;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// The engine.

struct DecodedSegment {
    std::string text;
    int64_t t0_ms = 0;
    int64_t t1_ms = 0;
};

struct DecodeResult {
    bool ok = false;
    std::string text;
    int64_t t0_ms = 0;
    int64_t t1_ms = 0;
    double decode_ms = 0;
    std::vector<DecodedSegment> segments;
};

using VadSegments = std::vector<std::pair<float, float>>;

struct Host {
    whisper_context* ctx = nullptr;
    whisper_vad_context* vad_ctx = nullptr;
    whisper_vad_params vad_params{};
    std::string language = "en";
    std::string model_name;
    std::string backend_label = "cpu";
    bool gpu = false;
    std::string gpu_name;
    std::string audio_ctx_mode = "auto";
    double max_buffer_s = 30.0;
    int32_t threads = 4;
    int32_t idle_exit_s = 300;
    int32_t beam_size = 1;
    double partial_window_s = DEFAULT_PARTIAL_WINDOW_S;
    std::string prompt;
    std::string context;
    double partial_interval_ms = MIN_PARTIAL_INTERVAL_MS;
    bool configured = false;
    std::vector<float> audio;
    uint64_t dropped_samples = 0;  // since configure: the stream position of audio's first sample
    int32_t segment_count = 0;
    double last_partial_ms = 0.0;
    std::string last_partial_text;
    uint64_t samples_since_vad = 0;

    void configure(const json& cmd);
    bool bounded_audio_ctx() const;
    void append_audio(const json& cmd);
    void flush();
    void set_prompt(const std::string& text);
    std::string decode_prompt() const;
    void remember_context(const std::string& text);
    DecodeResult decode(uint64_t n, bool final);
    void emit_final_for(uint64_t n);
    bool commit_leading_segments(const DecodeResult& result);
    void tick();
    VadSegments vad_segments();
    bool soft_close(const VadSegments& segments, double buffer_s);
    void drop_front(uint64_t k);
    int64_t base_ms() const;
    int64_t stream_ms(int64_t buffer_ms) const;
    void reset();

    void load_speech_model(const std::string& path, bool want_gpu);
    void discover_gpu();
    double warm_up();
    void cut_at(double t);
    whisper_full_params decoder_params(bool beam) const;
};

// ---------------------------------------------------------------------------------------
// Stream clock.

// The stream time is truncated from the exact count of dropped samples, not drop by drop: a
// session of many cuts would otherwise fall behind the audio by up to a millisecond per cut.
void Host::drop_front(uint64_t k) {
    uint64_t n = audio.size();
    dropped_samples += std::min(k, n);
    if (k >= n) {
        audio.clear();
        return;
    }
    audio.erase(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(k));
}

int64_t Host::base_ms() const { return samples_to_whole_ms(dropped_samples); }

// A time in the buffer as stream time; base_ms is never negative, so only the top can overflow.
int64_t Host::stream_ms(int64_t buffer_ms) const {
    constexpr int64_t TOP = std::numeric_limits<int64_t>::max();
    int64_t base = base_ms();
    return buffer_ms > TOP - base ? TOP : base + buffer_ms;
}

void Host::reset() {
    drop_front(audio.size());
    last_partial_text.clear();
    context.clear();
    partial_interval_ms = MIN_PARTIAL_INTERVAL_MS;
}

// ---------------------------------------------------------------------------------------
// Prompt and context.

void Host::set_prompt(const std::string& text) { prompt = apply_prompt_rule(text); }

std::string Host::decode_prompt() const {
    if (prompt.empty()) return context;
    if (context.empty()) return prompt;
    return prompt + " " + context;
}

void Host::remember_context(const std::string& text) {
    size_t len = text.size();
    if (len == 0) return;
    if (len <= CONTEXT_LIMIT) {
        context = text;
        return;
    }
    size_t tail_start = len - CONTEXT_LIMIT;
    size_t space = text.find(' ', tail_start);
    if (space != std::string::npos && space + 1 < len) {
        context = text.substr(space + 1);
    } else {
        context = text.substr(tail_start);
    }
}

// ---------------------------------------------------------------------------------------
// Configuration.

bool Host::bounded_audio_ctx() const {
    if (audio_ctx_mode == "bounded") return true;
    if (audio_ctx_mode == "full") return false;
    if (!gpu) return true;
    return backend_label != "metal";
}

// ctx stays null, as after two failed attempts, wherever the library would only fail or crash:
// a file it cannot load safely, or a GPU-only one on any road that ends on the CPU.
void Host::load_speech_model(const std::string& path, bool want_gpu) {
    SpeechFile file = check_speech_model_file(path);
    if (file == SpeechFile::REFUSED) return;
    bool cpu_runs_it = file == SpeechFile::ANY_DEVICE;
    if (!cpu_runs_it && !(want_gpu && first_gpu_device() != nullptr)) {
        log_cpu_refusal(path);
        return;
    }
    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = want_gpu;
    ctx = whisper_init_from_file_with_params(path.c_str(), params);

    gpu = false;
    gpu_name.clear();
    backend_label = "cpu";
    if (want_gpu && ctx != nullptr) discover_gpu();

    if (ctx == nullptr && want_gpu) {
        if (!cpu_runs_it) {
            log_cpu_refusal(path);
            return;
        }
        params.use_gpu = false;
        ctx = whisper_init_from_file_with_params(path.c_str(), params);
        backend_label = "cpu-fallback";
    }
}

void Host::discover_gpu() {
    ggml_backend_dev_t dev = first_gpu_device();
    if (dev == nullptr) return;
    const char* description = ggml_backend_dev_description(dev);
    ggml_backend_reg_t reg = ggml_backend_dev_backend_reg(dev);
    gpu = true;
    gpu_name = description != nullptr ? description : "";
    backend_label = lower_ascii(reg != nullptr ? ggml_backend_reg_name(reg) : nullptr);
}

whisper_full_params Host::decoder_params(bool beam) const {
    whisper_full_params p =
        whisper_full_default_params(beam ? WHISPER_SAMPLING_BEAM_SEARCH : WHISPER_SAMPLING_GREEDY);
    if (beam) p.beam_search.beam_size = beam_size;
    p.n_threads = threads;
    p.no_context = true;
    p.translate = false;
    p.print_special = false;
    p.print_progress = false;
    p.print_realtime = false;
    p.print_timestamps = false;
    p.suppress_blank = true;
    p.language = (language.empty() || language == "auto") ? nullptr : language.c_str();
    return p;
}

// Returns the clock read at its end, before the silence and the prompt are released.
double Host::warm_up() {
    std::vector<float> silence(WARMUP_SAMPLES, 0.0f);
    std::string initial = decode_prompt();
    bool bounded = bounded_audio_ctx();

    // One short segment per strategy is enough to allocate the decoder's buffers.
    auto run = [&](bool beam, int bounded_ctx) {
        whisper_full_params p = decoder_params(beam);
        p.initial_prompt = initial.empty() ? nullptr : initial.c_str();
        p.single_segment = true;
        p.max_tokens = 4;
        p.audio_ctx = bounded ? bounded_ctx : 0;
        whisper_full(ctx, p, silence.data(), WARMUP_SAMPLES);
    };
    run(false, 512);
    if (beam_size > 1) run(true, 768);
    return now_ms();
}

void Host::configure(const json& cmd) {
    if (!check_keys(cmd, "configure", PROTOCOL_KEY)) return;
    if (read_int(cmd, "protocol", PROTOCOL_VERSION) != PROTOCOL_VERSION) {
        emit_error("protocol_mismatch", "host speaks protocol " + std::to_string(PROTOCOL_VERSION),
                   true);
        terminate_now(2);
    }
    if (!check_keys(cmd, "configure", MODEL_KEYS)) return;
    std::string model_path = read_text(cmd, "model", "");
    std::string vad_path = read_text(cmd, "vad_model", "");
    if (model_path.empty() || vad_path.empty()) {
        emit_error("bad_configure", "configure requires model and vad_model paths", true);
        terminate_now(2);
    }
    if (!check_keys(cmd, "configure", SETTING_KEYS)) return;

    language = read_text(cmd, "language", "en");
    threads = std::clamp(read_int(cmd, "threads", 4), 1, 8);
    idle_exit_s = read_int(cmd, "idle_exit_s", 300);
    std::string backend = read_text(cmd, "backend", "auto");
    beam_size = std::clamp(read_int(cmd, "beam_size", 1), 1, 8);
    partial_window_s =
        std::clamp(read_number(cmd, "partial_window_s", DEFAULT_PARTIAL_WINDOW_S), 4.0, 30.0);
    prompt = apply_prompt_rule(read_text(cmd, "prompt", ""));
    std::string mode = read_text(cmd, "audio_ctx", "auto");
    audio_ctx_mode = (mode == "bounded" || mode == "full") ? mode : "auto";

    if (ctx != nullptr) {
        whisper_free(ctx);
        ctx = nullptr;
    }
    if (vad_ctx != nullptr) {
        whisper_vad_free(vad_ctx);
        vad_ctx = nullptr;
    }

    double load_start = now_ms();
    load_speech_model(model_path, backend != "cpu");
    if (ctx == nullptr) {
        emit_error("model_load_failed", "could not load speech model", true);
        terminate_now(3);
    }

    if (gpu) {
        max_buffer_s = 30.0;
    } else {
        beam_size = std::min(beam_size, 2);
        partial_window_s = std::min(partial_window_s, 6.0);
        max_buffer_s = 20.0;
    }

    whisper_vad_context_params vad_ctx_params = whisper_vad_default_context_params();
    vad_ctx_params.n_threads = 2;
    vad_ctx_params.use_gpu = false;
    if (vad_model_file_ok(vad_path)) {
        vad_ctx = whisper_vad_init_from_file_with_params(vad_path.c_str(), vad_ctx_params);
    }
    if (vad_ctx == nullptr) {
        emit_error("vad_load_failed", "could not load VAD model", true);
        terminate_now(4);
    }

    vad_params.threshold = 0.5f;
    vad_params.min_speech_duration_ms = 200;
    vad_params.min_silence_duration_ms = gpu ? 550 : 300;
    vad_params.max_speech_duration_s = 28.0f;
    vad_params.speech_pad_ms = 150;
    vad_params.samples_overlap = 0.1f;

    model_name = file_name_of(model_path);
    configured = true;

    double warm_start = now_ms();
    double warm_end = warm_up();

    audio.clear();
    dropped_samples = 0;
    segment_count = 0;
    last_partial_text.clear();
    context.clear();
    partial_interval_ms = MIN_PARTIAL_INTERVAL_MS;
    samples_since_vad = 0;

    emit(json{{"ev", "ready"},
              {"protocol", PROTOCOL_VERSION},
              {"backend", backend_label},
              {"gpu", gpu},
              {"gpu_name", gpu_name},
              {"audio_ctx", bounded_audio_ctx() ? "bounded" : "full"},
              {"max_buffer_s", max_buffer_s},
              {"load_ms", to_int32(now_ms() - load_start)},
              {"model", model_name},
              {"version", whisper_version()},
              {"beam_size", beam_size},
              {"partial_window_s", partial_window_s},
              {"warm_ms", to_int32(warm_end - warm_start)}});
}

// ---------------------------------------------------------------------------------------
// Audio intake.

void Host::append_audio(const json& cmd) {
    if (!configured) {
        emit_error("bad_state", "audio before configure", false);
        return;
    }
    static constexpr KeyRule AUDIO_KEYS[] = {{"pcm", KeyKind::TEXT}};
    if (!check_keys(cmd, "audio", AUDIO_KEYS)) return;
    std::string pcm = read_text(cmd, "pcm", "");
    if (pcm.empty()) return;
    std::vector<uint8_t> bytes = decode_base64(pcm);
    if (bytes.size() < 2) return;
    size_t count = bytes.size() / 2;
    // resize grows the capacity geometrically; reserving the exact new size instead would
    // reallocate and copy the whole buffer for every chunk.
    size_t first = audio.size();
    audio.resize(first + count);
    for (size_t i = 0; i < count; ++i) {
        auto value = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i]) |
                                          static_cast<uint16_t>(bytes[2 * i + 1] << 8));
        audio[first + i] = static_cast<float>(value) / 32768.0f;
    }
    samples_since_vad += count;
}

// ---------------------------------------------------------------------------------------
// Decoding.

int bounded_ctx_for(uint64_t n, bool final) {
    uint64_t window = n / 320 + (final ? 512 : 256);
    if (window > 1280) return 0;
    return static_cast<int>((window + 255) / 256 * 256);
}

DecodeResult Host::decode(uint64_t n, bool final) {
    DecodeResult result;
    if (n < MIN_DECODE_SAMPLES || n > audio.size()) return result;

    bool beam = final && beam_size > 1;
    whisper_full_params params = decoder_params(beam);
    std::string initial = decode_prompt();
    params.initial_prompt = initial.empty() ? nullptr : initial.c_str();
    if (bounded_audio_ctx()) {
        params.audio_ctx = bounded_ctx_for(n, final);
        params.max_tokens = static_cast<int>(8 * (n / 16000) + 48);
    } else {
        params.audio_ctx = 0;
    }

    double start = now_ms();
    if (whisper_full(ctx, params, audio.data(), static_cast<int>(n)) != 0) {
        emit_error("decode_failed", "transcription failed", false);
        return result;
    }
    double decode_ms = now_ms() - start;

    std::string joined;
    int count = whisper_full_n_segments(ctx);
    for (int i = 0; i < count; ++i) {
        const char* text = whisper_full_get_segment_text(ctx, i);
        if (text == nullptr) continue;
        joined += text;
        joined += ' ';
        result.segments.push_back(DecodedSegment{collapse_spaces(text),
                                                 centiseconds_to_ms(whisper_full_get_segment_t0(ctx, i)),
                                                 centiseconds_to_ms(whisper_full_get_segment_t1(ctx, i))});
    }
    result.text = collapse_spaces(joined);
    if (is_noise_marker(result.text)) result.text.clear();
    if (count > 0) {
        result.t0_ms = centiseconds_to_ms(whisper_full_get_segment_t0(ctx, 0));
        result.t1_ms = centiseconds_to_ms(whisper_full_get_segment_t1(ctx, count - 1));
    }
    result.decode_ms = decode_ms;
    result.ok = true;

    emit(json{{"ev", "metrics"},
              {"kind", final ? "final" : "partial"},
              {"buffer_ms", static_cast<int32_t>(samples_to_whole_ms(audio.size()))},
              {"decode_ms", to_int32(decode_ms)},
              {"rtf", decode_ms / samples_to_ms(n)},
              {"rss_mb", static_cast<int32_t>(resident_bytes() >> 20)}});
    return result;
}

void Host::emit_final_for(uint64_t n) {
    DecodeResult result = decode(n, true);
    if (!result.ok || result.text.empty()) return;
    remember_context(result.text);
    ++segment_count;
    emit(json{{"ev", "final"},
              {"segment", segment_count},
              {"text", result.text},
              {"from_ms", stream_ms(result.t0_ms)},
              {"to_ms", stream_ms(result.t1_ms)}});
}

bool Host::commit_leading_segments(const DecodeResult& result) {
    const std::vector<DecodedSegment>& segs = result.segments;
    if (segs.size() < 2) return false;
    int64_t cut_end = segs[segs.size() - 2].t1_ms;
    if (cut_end < 1) return false;
    if (samples_to_ms(audio.size()) - static_cast<double>(cut_end) < COMMIT_DISTANCE_MS) {
        return false;
    }
    std::string joined;
    for (size_t i = 0; i + 1 < segs.size(); ++i) {
        joined += segs[i].text;
        joined += ' ';
    }
    std::string committed = collapse_spaces(joined);
    if (is_noise_marker(committed)) return false;

    remember_context(committed);
    ++segment_count;
    emit(json{{"ev", "final"},
              {"segment", segment_count},
              {"text", committed},
              {"from_ms", stream_ms(segs.front().t0_ms)},
              {"to_ms", stream_ms(cut_end)}});
    drop_front(ms_to_samples(static_cast<double>(cut_end), audio.size()));

    last_partial_text = segs.back().text;
    if (!is_noise_marker(last_partial_text)) {
        emit(json{{"ev", "partial"},
                  {"segment", static_cast<int64_t>(segment_count) + 1},
                  {"text", last_partial_text}});
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Streaming step.

VadSegments Host::vad_segments() {
    VadSegments out;
    if (!whisper_vad_detect_speech(vad_ctx, audio.data(), static_cast<int>(audio.size()))) {
        emit_error("vad_failed", "voice activity detection failed", false);
        return out;
    }
    whisper_vad_segments* list = whisper_vad_segments_from_probs(vad_ctx, vad_params);
    if (list == nullptr) return out;
    int count = whisper_vad_segments_n_segments(list);
    for (int i = 0; i < count; ++i) {
        out.emplace_back(whisper_vad_segments_get_segment_t0(list, i) / 100.0f,
                         whisper_vad_segments_get_segment_t1(list, i) / 100.0f);
    }
    whisper_vad_free_segments(list);
    samples_since_vad = 0;
    return out;
}

void Host::cut_at(double t) {
    uint64_t n = seconds_to_samples(t + CUT_MARGIN_S, audio.size());
    emit_final_for(n);
    drop_front(n);
    last_partial_text.clear();
}

bool Host::soft_close(const VadSegments& segments, double buffer_s) {
    if (!(buffer_s > partial_window_s) || segments.size() < 2) return false;
    for (size_t k = segments.size() - 1; k >= 1; --k) {
        if (buffer_s - static_cast<double>(segments[k].first) >= SOFT_CLOSE_AGE_S) {
            cut_at(segments[k - 1].second);
            return true;
        }
    }
    return false;
}

void Host::tick() {
    if (!configured || audio.empty() || samples_since_vad < VAD_GATE_SAMPLES) return;

    double buffer_s = samples_to_seconds(audio.size());
    VadSegments segments = vad_segments();
    if (segments.empty()) {
        if (buffer_s > SILENT_TRIM_S) {
            drop_front(audio.size() - TRIM_KEEP_SAMPLES);
            last_partial_text.clear();
        }
        return;
    }

    double last_end = segments.back().second;
    double gap = buffer_s - last_end;
    if (gap >= PAUSE_S || buffer_s > max_buffer_s) {
        bool keep_running = gap < PAUSE_S && segments.size() >= 2;
        cut_at(keep_running ? segments[segments.size() - 2].second : last_end);
        return;
    }
    if (soft_close(segments, buffer_s)) return;

    double now = now_ms();
    if (now - last_partial_ms < partial_interval_ms) return;
    last_partial_ms = now;

    DecodeResult result = decode(audio.size(), false);
    if (!result.ok) return;
    if (buffer_s > partial_window_s && commit_leading_segments(result)) return;

    partial_interval_ms =
        std::clamp(2.0 * result.decode_ms, MIN_PARTIAL_INTERVAL_MS, MAX_PARTIAL_INTERVAL_MS);
    if (!result.text.empty() && result.text != last_partial_text) {
        last_partial_text = result.text;
        emit(json{{"ev", "partial"},
                  {"segment", static_cast<int64_t>(segment_count) + 1},
                  {"text", result.text}});
    }
}

// ---------------------------------------------------------------------------------------
// Flush.

void Host::flush() {
    if (configured && audio.size() >= MIN_DECODE_SAMPLES) {
        if (!vad_segments().empty()) emit_final_for(audio.size());
    }
    drop_front(audio.size());
    last_partial_text.clear();
    emit(json{{"ev", "flushed"}});
}

// ---------------------------------------------------------------------------------------
// Input.

struct LineQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> lines;
    bool eof = false;

    void drain(std::vector<std::string>& out, int timeout_ms, bool& eof_out);
};

void LineQueue::drain(std::vector<std::string>& out, int timeout_ms, bool& eof_out) {
    std::unique_lock<std::mutex> lock(mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    cv.wait_until(lock, deadline, [this] { return !lines.empty() || eof; });
    while (!lines.empty()) {
        out.push_back(std::move(lines.front()));
        lines.pop_front();
    }
    eof_out = eof;
}

void read_stdin(LineQueue& queue) {
    std::string line;
    while (std::getline(std::cin, line)) {
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            queue.lines.push_back(std::move(line));
        }
        queue.cv.notify_one();
        line = std::string();
    }
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.eof = true;
    }
    queue.cv.notify_one();
}

// A line holds one JSON value and nothing else, but nlohmann/json stops reading at a NUL byte
// as if the input ended there: "{...}", a NUL and junk would run as the object before the NUL.
json parse_command(const std::string& line) {
    if (line.find('\0') != std::string::npos) return json(json::value_t::discarded);
    return json::parse(line, nullptr, false, false);
}

// Handles one input line; the idle clock moves for every line that is a JSON object.
void handle_line(Host& host, const std::string& line, double& last_command_ms) {
    if (line.empty()) return;
    json cmd = parse_command(line);
    if (!cmd.is_object()) {
        emit_error("bad_json", "unparseable command line", false);
        return;
    }
    auto op_it = cmd.find("op");
    last_command_ms = now_ms();
    if (op_it != cmd.end() && !op_it->is_string()) {
        emit_error("bad_command", "op must be a string", false);
        return;
    }
    std::string op = op_it != cmd.end() ? op_it->get<std::string>() : "";

    if (op == "configure") {
        host.configure(cmd);
    } else if (op == "audio") {
        host.append_audio(cmd);
    } else if (op == "flush") {
        host.flush();
    } else if (op == "reset") {
        host.reset();
    } else if (op == "prompt") {
        static constexpr KeyRule PROMPT_KEYS[] = {{"text", KeyKind::TEXT}};
        if (check_keys(cmd, "prompt", PROMPT_KEYS)) {
            host.set_prompt(read_text(cmd, "text", ""));
        }
    } else if (op == "shutdown") {
        terminate_now(0);
    } else {
        emit_error("bad_command", "unknown op: " + op, false);
    }
}

[[noreturn]] void run_command_loop(Host& host, LineQueue& queue, double last_command_ms) {
    std::vector<std::string> batch;
    for (;;) {
        batch.clear();
        bool eof = false;
        queue.drain(batch, host.audio.empty() ? 1000 : 150, eof);
        for (const std::string& line : batch) handle_line(host, line, last_command_ms);
        if (eof) terminate_now(0);
        host.tick();
        if (host.audio.empty() &&
            now_ms() - last_command_ms > static_cast<double>(host.idle_exit_s) * 1000.0) {
            terminate_now(0);
        }
    }
}

}  // namespace

void print_cpu_features() { emit(json{{"avx2", false}, {"fma", false}, {"f16c", false}}); }

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--cpu-features") == 0) {
        print_cpu_features();
        return 0;
    }
    whisper_log_set(log_sink, nullptr);
    ggml_log_set(log_sink, nullptr);

    // The reader thread owns std::cin; events go out through stdio. Untying keeps the reader
    // from flushing output behind the writer's back, and unsyncing gives it its own buffer.
    std::ios::sync_with_stdio(false);
    std::cin.tie(nullptr);

    Host host;
    double last_command_ms = now_ms();
    LineQueue queue;
    std::thread(read_stdin, std::ref(queue)).detach();
    run_command_loop(host, queue, last_command_ms);
}
