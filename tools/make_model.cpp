// Writes a tiny whisper.cpp model (legacy ggml layout) whose decoder always
// transcribes one fixed phrase, so tests can drive the real whisper loader and
// decoder without real weights.
//
// The weights are hand-made rather than random: attention and the encoder are
// zeroed, so the output never depends on the audio or on earlier tokens, and
// the decoder MLP is a lookup table from the current token to the next one
// along  sot -> <|0.00|> -> words... -> <|1.00|> -> eot.  Every logit margin
// is large enough that greedy, beam search and the temperature fallback all
// settle on that path on the first try.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// English-only vocabulary: whisper.cpp derives every special token id from n_vocab.
constexpr int N_VOCAB = 51864;
constexpr int TOKEN_EOT = 50256;
constexpr int TOKEN_SOT = 50257;
constexpr int TOKEN_LANG_EN = 50258;
constexpr int TOKEN_BEG = 50363;  // <|0.00|>; each further timestamp adds 20 ms
constexpr int TOKEN_ONE_SECOND = TOKEN_BEG + 50;
constexpr int FIRST_WORD_TOKEN = 256;  // after the 256 single bytes

// Full-size contexts: callers shrink audio_ctx, and 1500 must stay the whole window.
constexpr int N_AUDIO_CTX = 1500;
constexpr int N_TEXT_CTX = 448;
constexpr int N_MELS = 80;
constexpr int N_FFT_BINS = 201;
constexpr int HEAD_DIM = 64;
constexpr int FTYPE_F16 = 1;
constexpr uint32_t GGML_MAGIC = 0x67676d6c;

// A decode window holds at most n_text_ctx/2 - 4 sampled tokens.
constexpr int MAX_WORDS = 200;

// Embedding length of the tokens on the path; 3 * sqrt(63) puts the wanted
// next token ~24 logits above every other path token.
constexpr float PATH_SCALE = 3.0f;
// Every other token sits this far below zero, which also keeps the
// no-speech token improbable so silence still yields the phrase.
constexpr float OFF_PATH_LOGIT = 10.0f;
// Lifts <|1.00|> above the other path tokens wherever it is not the target.
constexpr float CLOSING_BONUS = 3.0f;

const char *const DEFAULT_PHRASE = "hello from the synthetic model";

struct Options {
    std::string out;
    std::string phrase = DEFAULT_PHRASE;
};

struct Dims {
    int n_state = 0;
    int n_head = 0;
};

struct Tensor {
    std::string name;
    std::vector<int32_t> shape;  // ggml order: shape[0] varies fastest
    bool half = false;
    std::vector<float> data;
};

// Token ids in decode order plus the embedding dimension each one owns; the
// last dimension is reserved as the "off path" flag.
struct Path {
    std::vector<int> tokens;
    int flag_dim = 0;
};

bool parse_args(int argc, char **argv, Options &options, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--out" && arg != "--phrase") {
            error = "unknown argument: " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            error = arg + " needs a value";
            return false;
        }
        (arg == "--out" ? options.out : options.phrase) = argv[++i];
    }
    if (options.out.empty()) {
        error = "--out PATH is required";
        return false;
    }
    return true;
}

// Each word becomes one token with whisper's leading space. An empty phrase
// still needs a text token between the timestamps, otherwise whisper treats
// the window as failed on long audio; an empty string adds no segment.
std::vector<std::string> phrase_tokens(const std::string &phrase) {
    std::vector<std::string> tokens;
    std::istringstream words(phrase);
    for (std::string word; words >> word;) {
        tokens.push_back(" " + word);
    }
    if (tokens.empty()) {
        tokens.push_back("");
    }
    return tokens;
}

// Single bytes first so any prompt tokenizes; the specials beyond eot are left
// for the loader to name, as it does for converted models.
std::vector<std::string> make_vocab(const std::vector<std::string> &words) {
    std::vector<std::string> vocab;
    vocab.reserve(TOKEN_EOT);
    for (int b = 0; b < FIRST_WORD_TOKEN; ++b) {
        vocab.emplace_back(1, static_cast<char>(b));
    }
    vocab.insert(vocab.end(), words.begin(), words.end());
    while (static_cast<int>(vocab.size()) < TOKEN_EOT) {
        vocab.push_back("<unused" + std::to_string(vocab.size()) + ">");
    }
    return vocab;
}

Path make_path(int n_words, const Dims &dims) {
    Path path;
    path.tokens = {TOKEN_SOT, TOKEN_BEG};
    for (int i = 0; i < n_words; ++i) {
        path.tokens.push_back(FIRST_WORD_TOKEN + i);
    }
    path.tokens.push_back(TOKEN_ONE_SECOND);
    path.tokens.push_back(TOKEN_EOT);
    path.flag_dim = dims.n_state - 1;
    return path;
}

Dims dims_for(int n_words) {
    const int needed = n_words + 4 + 1;  // path tokens plus the flag
    Dims dims;
    dims.n_state = HEAD_DIM * ((needed + HEAD_DIM - 1) / HEAD_DIM);
    dims.n_head = dims.n_state / HEAD_DIM;
    return dims;
}

float gelu(float x) {
    return 0.5f * x * (1.0f + std::tanh(0.7978845608f * (x + 0.044715f * x * x * x)));
}

uint16_t float_to_half(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t sign = (bits >> 16) & 0x8000u;
    const int exponent = static_cast<int>((bits >> 23) & 0xff) - 127 + 15;
    uint32_t mantissa = bits & 0x7fffffu;
    if (exponent >= 31) {
        return static_cast<uint16_t>(sign | 0x7c00u);
    }
    if (exponent <= 0) {
        if (exponent < -10) {
            return static_cast<uint16_t>(sign);
        }
        mantissa |= 0x800000u;
        const int shift = 14 - exponent;
        uint32_t half = mantissa >> shift;
        const uint32_t rest = mantissa & ((1u << shift) - 1);
        const uint32_t midpoint = 1u << (shift - 1);
        if (rest > midpoint || (rest == midpoint && (half & 1u))) {
            ++half;
        }
        return static_cast<uint16_t>(sign | half);
    }
    uint32_t half = (static_cast<uint32_t>(exponent) << 10) | (mantissa >> 13);
    const uint32_t rest = mantissa & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) {
        ++half;  // a carry into the exponent is still the correct rounding
    }
    return static_cast<uint16_t>(sign | half);
}

Tensor filled(const std::string &name, std::vector<int32_t> shape, bool half, float value = 0.0f) {
    size_t count = 1;
    for (int32_t n : shape) {
        count *= static_cast<size_t>(n);
    }
    return Tensor{name, std::move(shape), half, std::vector<float>(count, value)};
}

// Norm weights are one so every norm stays a plain normalisation; everything
// else starts at zero, which makes the block an identity on its residual
// stream (the decoder MLP is filled in afterwards).
void add_block(std::vector<Tensor> &tensors, const std::string &prefix, int n) {
    const auto add_norm = [&](const std::string &name) {
        tensors.push_back(filled(prefix + name + ".weight", {n}, false, 1.0f));
        tensors.push_back(filled(prefix + name + ".bias", {n}, false));
    };
    const auto add_attention = [&](const std::string &name) {
        for (const char *part : {".query", ".value", ".out"}) {
            tensors.push_back(filled(prefix + name + part + ".weight", {n, n}, true));
            tensors.push_back(filled(prefix + name + part + ".bias", {n}, false));
        }
        tensors.push_back(filled(prefix + name + ".key.weight", {n, n}, true));
    };
    add_norm("attn_ln");
    add_attention("attn");
    add_norm("mlp_ln");
    tensors.push_back(filled(prefix + "mlp.0.weight", {n, 4 * n}, true));
    tensors.push_back(filled(prefix + "mlp.0.bias", {4 * n}, false));
    tensors.push_back(filled(prefix + "mlp.2.weight", {4 * n, n}, true));
    tensors.push_back(filled(prefix + "mlp.2.bias", {n}, false));
    if (prefix.rfind("decoder.", 0) == 0) {
        add_norm("cross_attn_ln");
        add_attention("cross_attn");
    }
}

void add_encoder(std::vector<Tensor> &tensors, int n) {
    tensors.push_back(filled("encoder.positional_embedding", {n, N_AUDIO_CTX}, false));
    tensors.push_back(filled("encoder.conv1.weight", {3, N_MELS, n}, true));
    tensors.push_back(filled("encoder.conv1.bias", {1, n}, false));
    tensors.push_back(filled("encoder.conv2.weight", {3, n, n}, true));
    tensors.push_back(filled("encoder.conv2.bias", {1, n}, false));
    tensors.push_back(filled("encoder.ln_post.weight", {n}, false, 1.0f));
    tensors.push_back(filled("encoder.ln_post.bias", {n}, false));
    add_block(tensors, "encoder.blocks.0.", n);
}

// Path token k is PATH_SCALE along dimension k. The flag dimension acts as a
// per-token logit bias (see add_decoder): off-path tokens sit far below, and
// <|1.00|> a little above the rest, so when whisper masks the wanted text
// token (max_tokens reached) the segment closes the same way every time
// instead of on a float tie. Language detection likewise always picks English.
Tensor token_embedding(const Path &path, int n) {
    Tensor embedding = filled("decoder.token_embedding.weight", {n, N_VOCAB}, true);
    for (int token = 0; token < N_VOCAB; ++token) {
        embedding.data[static_cast<size_t>(token) * n + path.flag_dim] = -OFF_PATH_LOGIT;
    }
    embedding.data[static_cast<size_t>(TOKEN_LANG_EN) * n + path.flag_dim] += 1.0f;
    for (size_t k = 0; k < path.tokens.size(); ++k) {
        float *row = &embedding.data[static_cast<size_t>(path.tokens[k]) * n];
        row[path.flag_dim] = path.tokens[k] == TOKEN_ONE_SECOND ? CLOSING_BONUS : 0.0f;
        row[k] = PATH_SCALE;
    }
    return embedding;
}

std::vector<float> layer_norm(const std::vector<float> &x) {
    double mean = 0.0, var = 0.0;
    for (float v : x) {
        mean += v;
    }
    mean /= x.size();
    for (float v : x) {
        var += (v - mean) * (v - mean);
    }
    var /= x.size();
    std::vector<float> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        out[i] = static_cast<float>((x[i] - mean) / std::sqrt(var + 1e-5));
    }
    return out;
}

struct Mlp {
    Tensor &up;
    Tensor &up_bias;
    Tensor &down;
    int n;
};

// One hidden unit per transition. After mlp_ln the input it listens to reads
// well above sqrt(n-1)/2 on read_dim and every other input reads near zero or
// below, so the unit is either on or numerically off. When on it cancels its
// input and adds the next token's code, leaving exactly that code as the final
// hidden state.
void add_transition(Mlp &mlp, int unit, const std::vector<float> &from, int read_dim, float read_sign,
                    const std::vector<float> &to) {
    const int n = mlp.n;
    const float threshold = std::sqrt(static_cast<float>(n - 1)) / 2.0f;
    const float active = gelu(read_sign * layer_norm(from)[read_dim] - threshold);
    mlp.up.data[static_cast<size_t>(unit) * n + read_dim] = read_sign;
    mlp.up_bias.data[unit] = -threshold;
    for (int i = 0; i < n; ++i) {
        mlp.down.data[static_cast<size_t>(i) * 4 * n + unit] = (to[i] - from[i]) / active;
    }
}

Tensor &find(std::vector<Tensor> &tensors, const std::string &name) {
    for (Tensor &t : tensors) {
        if (t.name == name) {
            return t;
        }
    }
    throw std::logic_error("missing tensor " + name);
}

void program_decoder_mlp(std::vector<Tensor> &tensors, const Path &path, const Tensor &embedding, int n) {
    Mlp mlp{find(tensors, "decoder.blocks.0.mlp.0.weight"), find(tensors, "decoder.blocks.0.mlp.0.bias"),
            find(tensors, "decoder.blocks.0.mlp.2.weight"), n};
    const auto code = [&](int token) {
        const float *row = &embedding.data[static_cast<size_t>(token) * n];
        return std::vector<float>(row, row + n);
    };
    const int n_steps = static_cast<int>(path.tokens.size()) - 1;
    for (int k = 0; k < n_steps; ++k) {
        add_transition(mlp, k, code(path.tokens[k]), k, 1.0f, code(path.tokens[k + 1]));
    }
    // Prompt tokens and stray beam candidates end the segment at once, so no
    // decoder wanders until the window's token limit. All off-path tokens
    // share one code; byte 0 stands for them.
    add_transition(mlp, n_steps, code(0), path.flag_dim, -1.0f, code(TOKEN_EOT));
}

// The final norm drops the flag dimension and replaces it with a constant one,
// so an off-path token's logit is exactly -OFF_PATH_LOGIT whatever the state.
void add_decoder(std::vector<Tensor> &tensors, const Path &path, int n) {
    tensors.push_back(filled("decoder.positional_embedding", {n, N_TEXT_CTX}, false));
    Tensor norm_weight = filled("decoder.ln.weight", {n}, false, 1.0f);
    Tensor norm_bias = filled("decoder.ln.bias", {n}, false);
    norm_weight.data[path.flag_dim] = 0.0f;
    norm_bias.data[path.flag_dim] = 1.0f;
    tensors.push_back(std::move(norm_weight));
    tensors.push_back(std::move(norm_bias));
    add_block(tensors, "decoder.blocks.0.", n);
    Tensor embedding = token_embedding(path, n);
    program_decoder_mlp(tensors, path, embedding, n);
    tensors.push_back(std::move(embedding));
}

struct Writer {
    std::string bytes;

    void i32(int32_t v) { bytes.append(reinterpret_cast<const char *>(&v), sizeof v); }
    void u32(uint32_t v) { bytes.append(reinterpret_cast<const char *>(&v), sizeof v); }
    void f32(float v) { bytes.append(reinterpret_cast<const char *>(&v), sizeof v); }
    void f16(float v) {
        const uint16_t h = float_to_half(v);
        bytes.append(reinterpret_cast<const char *>(&h), sizeof h);
    }
    void text(const std::string &s) { bytes.append(s); }
};

void write_header(Writer &w, const Dims &dims) {
    w.u32(GGML_MAGIC);
    for (int32_t v : {N_VOCAB, N_AUDIO_CTX, dims.n_state, dims.n_head, 1, N_TEXT_CTX, dims.n_state,
                      dims.n_head, 1, N_MELS, FTYPE_F16}) {
        w.i32(v);
    }
    // The encoder ignores the spectrogram, so the filter bank can stay zero.
    w.i32(N_MELS);
    w.i32(N_FFT_BINS);
    for (int i = 0; i < N_MELS * N_FFT_BINS; ++i) {
        w.f32(0.0f);
    }
}

void write_vocab(Writer &w, const std::vector<std::string> &vocab) {
    w.i32(static_cast<int32_t>(vocab.size()));
    for (const std::string &token : vocab) {
        w.u32(static_cast<uint32_t>(token.size()));
        w.text(token);
    }
}

void write_tensor(Writer &w, const Tensor &t) {
    w.i32(static_cast<int32_t>(t.shape.size()));
    w.i32(static_cast<int32_t>(t.name.size()));
    w.i32(t.half ? 1 : 0);
    for (int32_t n : t.shape) {
        w.i32(n);
    }
    w.text(t.name);
    for (float v : t.data) {
        t.half ? w.f16(v) : w.f32(v);
    }
}

bool save(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    std::string error;
    if (!parse_args(argc, argv, options, error)) {
        std::fprintf(stderr, "make_model: %s\nusage: make_model --out PATH [--phrase TEXT]\n", error.c_str());
        return 2;
    }
    const std::vector<std::string> words = phrase_tokens(options.phrase);
    if (static_cast<int>(words.size()) > MAX_WORDS) {
        std::fprintf(stderr, "make_model: the phrase has more than %d words\n", MAX_WORDS);
        return 2;
    }

    const Dims dims = dims_for(static_cast<int>(words.size()));
    const Path path = make_path(static_cast<int>(words.size()), dims);
    std::vector<Tensor> tensors;
    add_encoder(tensors, dims.n_state);
    add_decoder(tensors, path, dims.n_state);

    Writer writer;
    write_header(writer, dims);
    write_vocab(writer, make_vocab(words));
    for (const Tensor &t : tensors) {
        write_tensor(writer, t);
    }
    if (!save(options.out, writer.bytes)) {
        std::fprintf(stderr, "make_model: cannot write %s\n", options.out.c_str());
        return 1;
    }
    return 0;
}
