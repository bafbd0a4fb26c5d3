// Writes a whisper.cpp model (legacy ggml layout) whose decoder always
// transcribes one fixed phrase, so tests can drive the real whisper loader and
// decoder without real weights. By default the model is as small as the phrase
// allows; --shape gives it the dimensions of an official Whisper model.
//
// The weights are hand-made rather than random: attention and the encoder are
// zeroed, so the output never depends on the audio or on earlier tokens, and
// the decoder MLP is a lookup table from the current token to the next one
// along  prompt -> <|0.00|> -> words... -> <|1.00|> -> eot,  where the prompt
// ends in <|sot|> (English-only) or <|transcribe|> (multilingual). Every logit
// margin is large enough that greedy, beam search and the temperature fallback
// all settle on that path on the first try.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Vocabulary sizes: whisper.cpp derives every special token id from n_vocab.
constexpr int N_VOCAB_ENGLISH = 51864;
constexpr int N_VOCAB_MULTILINGUAL = 51865;
constexpr int N_VOCAB_V3 = 51866;  // one more language, and 128 mel bins
constexpr int FIRST_WORD_TOKEN = 256;  // after the 256 single bytes
constexpr int ONE_SECOND = 50;         // timestamps step by 20 ms

// Full-size contexts: callers shrink audio_ctx, and 1500 must stay the whole window.
constexpr int N_AUDIO_CTX = 1500;
constexpr int N_TEXT_CTX = 448;
constexpr int N_MELS = 80;
constexpr int N_FFT_BINS = 201;
constexpr int HEAD_DIM = 64;
constexpr int FTYPE_F32 = 0;
constexpr int FTYPE_F16 = 1;
constexpr uint32_t GGML_MAGIC = 0x67676d6c;

// A decode window holds at most n_text_ctx/2 - 4 sampled tokens.
constexpr int MAX_WORDS = 200;

// Embedding length of the tokens on the path; 3 * sqrt(63) puts the wanted
// next token ~24 logits above every other path token (more at larger states).
constexpr float PATH_SCALE = 3.0f;
// Every other token sits this far below zero, which also keeps the
// no-speech token improbable so silence still yields the phrase.
constexpr float OFF_PATH_LOGIT = 10.0f;
// Lifts <|1.00|> above the other path tokens wherever it is not the target.
constexpr float CLOSING_BONUS = 3.0f;

const char *const DEFAULT_PHRASE = "hello from the synthetic model";

// The official model dimensions. Attention heads are 64 wide in all of them.
struct Shape {
    const char *name;
    int n_state;
    int n_audio_layer;
    int n_text_layer;
    int n_mels;
    int n_vocab;  // 0: English-only unless --multilingual
};

constexpr Shape SHAPES[] = {
    {"tiny", 384, 4, 4, N_MELS, 0},
    {"base", 512, 6, 6, N_MELS, 0},
    {"small", 768, 12, 12, N_MELS, 0},
    {"medium", 1024, 24, 24, N_MELS, 0},
    {"large-v3", 1280, 32, 32, 128, N_VOCAB_V3},
    {"large-v3-turbo", 1280, 32, 4, 128, N_VOCAB_V3},
};

struct Options {
    std::string out;
    std::string phrase = DEFAULT_PHRASE;
    const Shape *shape = nullptr;  // none: sized to the phrase
    bool multilingual = false;
    bool f32 = false;
};

struct Dims {
    int n_state = 0;
    int n_head = 0;
    int n_audio_layer = 1;
    int n_text_layer = 1;
    int n_mels = N_MELS;
};

// The special tokens as whisper.cpp numbers them for a vocabulary size.
struct Vocab {
    int n_vocab = N_VOCAB_ENGLISH;
    int eot = 50256;
    int sot = 50257;
    int transcribe = 50358;
    int beg = 50363;  // <|0.00|>
    bool multilingual = false;

    int lang_en() const { return sot + 1; }
    // The token the decoder sees last before it samples.
    int prompt_end() const { return multilingual ? transcribe : sot; }
};

// A weight in the model's type (F16 or F32 by --f32) or always F32. Only the
// few programmed entries are stored; every other element is `fill`, so even
// the large shapes cost little memory.
struct Tensor {
    std::string name;
    std::vector<int32_t> shape;  // ggml order: shape[0] varies fastest
    bool weight = false;
    float fill = 0.0f;
    std::map<size_t, float> values;
};

// Token ids in decode order plus the embedding dimension each one owns; the
// last dimension is reserved as the "off path" flag.
struct Path {
    std::vector<int> tokens;
    int flag_dim = 0;
};

const char *const USAGE =
    "usage: make_model --out PATH [--phrase TEXT] [--shape NAME] [--multilingual] [--f32]\n"
    "  --shape: tiny, base, small, medium, large-v3, large-v3-turbo (large-v3* are multilingual)\n"
    "  --f32:   every weight F32 (ftype 0), the convolutions too";

const Shape *shape_named(const std::string &name) {
    for (const Shape &shape : SHAPES) {
        if (name == shape.name) {
            return &shape;
        }
    }
    return nullptr;
}

bool parse_args(int argc, char **argv, Options &options, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--multilingual" || arg == "--f32") {
            (arg == "--f32" ? options.f32 : options.multilingual) = true;
            continue;
        }
        if (arg != "--out" && arg != "--phrase" && arg != "--shape") {
            error = "unknown argument: " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            error = arg + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--shape") {
            options.shape = shape_named(value);
            if (options.shape == nullptr) {
                error = "unknown shape: " + value;
                return false;
            }
        } else {
            (arg == "--out" ? options.out : options.phrase) = value;
        }
    }
    if (options.out.empty()) {
        error = "--out PATH is required";
        return false;
    }
    return true;
}

// Mirrors whisper.cpp's vocabulary loader: a multilingual vocabulary moves
// eot and sot up by one, and every language beyond 99 moves the task and
// timestamp tokens up by one more.
Vocab vocab_for(int n_vocab) {
    Vocab vocab;
    vocab.n_vocab = n_vocab;
    vocab.multilingual = n_vocab >= N_VOCAB_MULTILINGUAL;
    if (vocab.multilingual) {
        const int n_languages = n_vocab - 51765 - 1;
        const int shift = n_languages - 98;
        ++vocab.eot;
        ++vocab.sot;
        vocab.transcribe += shift;
        vocab.beg += shift;
    }
    return vocab;
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

// Single bytes first so any prompt tokenizes; the specials from eot on are
// left for the loader to name, as it does for converted models.
std::vector<std::string> make_vocab(const std::vector<std::string> &words, const Vocab &v) {
    std::vector<std::string> vocab;
    vocab.reserve(v.eot);
    for (int b = 0; b < FIRST_WORD_TOKEN; ++b) {
        vocab.emplace_back(1, static_cast<char>(b));
    }
    vocab.insert(vocab.end(), words.begin(), words.end());
    while (static_cast<int>(vocab.size()) < v.eot) {
        vocab.push_back("<unused" + std::to_string(vocab.size()) + ">");
    }
    return vocab;
}

Path make_path(int n_words, const Dims &dims, const Vocab &v) {
    Path path;
    path.tokens = {v.prompt_end(), v.beg};
    for (int i = 0; i < n_words; ++i) {
        path.tokens.push_back(FIRST_WORD_TOKEN + i);
    }
    path.tokens.push_back(v.beg + ONE_SECOND);
    path.tokens.push_back(v.eot);
    path.flag_dim = dims.n_state - 1;
    return path;
}

int path_dims_needed(int n_words) { return n_words + 4 + 1; }  // path tokens plus the flag

Dims dims_for(int n_words) {
    const int needed = path_dims_needed(n_words);
    Dims dims;
    dims.n_state = HEAD_DIM * ((needed + HEAD_DIM - 1) / HEAD_DIM);
    dims.n_head = dims.n_state / HEAD_DIM;
    return dims;
}

Dims dims_of(const Shape &shape) {
    return Dims{shape.n_state, shape.n_state / HEAD_DIM, shape.n_audio_layer, shape.n_text_layer,
                shape.n_mels};
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

Tensor filled(const std::string &name, std::vector<int32_t> shape, bool weight, float value = 0.0f) {
    return Tensor{name, std::move(shape), weight, value, {}};
}

float value_at(const Tensor &t, size_t index) {
    const auto it = t.values.find(index);
    return it == t.values.end() ? t.fill : it->second;
}

// Norm weights are one so every norm stays a plain normalisation; everything
// else starts at zero, which makes the block an identity on its residual
// stream (the decoder MLP of block 0 is filled in afterwards).
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

void add_blocks(std::vector<Tensor> &tensors, const std::string &stack, int n_layers, int n) {
    for (int layer = 0; layer < n_layers; ++layer) {
        add_block(tensors, stack + ".blocks." + std::to_string(layer) + ".", n);
    }
}

void add_encoder(std::vector<Tensor> &tensors, const Dims &dims) {
    const int n = dims.n_state;
    tensors.push_back(filled("encoder.positional_embedding", {n, N_AUDIO_CTX}, false));
    tensors.push_back(filled("encoder.conv1.weight", {3, dims.n_mels, n}, true));
    tensors.push_back(filled("encoder.conv1.bias", {1, n}, false));
    tensors.push_back(filled("encoder.conv2.weight", {3, n, n}, true));
    tensors.push_back(filled("encoder.conv2.bias", {1, n}, false));
    tensors.push_back(filled("encoder.ln_post.weight", {n}, false, 1.0f));
    tensors.push_back(filled("encoder.ln_post.bias", {n}, false));
    add_blocks(tensors, "encoder", dims.n_audio_layer, n);
}

// Path token k is PATH_SCALE along dimension k. The flag dimension acts as a
// per-token logit bias (see add_decoder): off-path tokens sit far below, and
// <|1.00|> a little above the rest, so when whisper masks the wanted text
// token (max_tokens reached) the segment closes the same way every time
// instead of on a float tie. Language detection likewise always picks English.
Tensor token_embedding(const Path &path, const Vocab &v, int n) {
    Tensor embedding = filled("decoder.token_embedding.weight", {n, v.n_vocab}, true);
    for (int token = 0; token < v.n_vocab; ++token) {
        embedding.values[static_cast<size_t>(token) * n + path.flag_dim] = -OFF_PATH_LOGIT;
    }
    embedding.values[static_cast<size_t>(v.lang_en()) * n + path.flag_dim] += 1.0f;
    for (size_t k = 0; k < path.tokens.size(); ++k) {
        const size_t row = static_cast<size_t>(path.tokens[k]) * n;
        embedding.values[row + path.flag_dim] = path.tokens[k] == v.beg + ONE_SECOND ? CLOSING_BONUS : 0.0f;
        embedding.values[row + k] = PATH_SCALE;
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
// hidden state. The threshold grows with sqrt(n) as the normalised input does,
// so the margins hold at every state size.
void add_transition(Mlp &mlp, int unit, const std::vector<float> &from, int read_dim, float read_sign,
                    const std::vector<float> &to) {
    const int n = mlp.n;
    const float threshold = std::sqrt(static_cast<float>(n - 1)) / 2.0f;
    const float active = gelu(read_sign * layer_norm(from)[read_dim] - threshold);
    mlp.up.values[static_cast<size_t>(unit) * n + read_dim] = read_sign;
    mlp.up_bias.values[unit] = -threshold;
    for (int i = 0; i < n; ++i) {
        const float change = (to[i] - from[i]) / active;
        if (change != 0.0f) {
            mlp.down.values[static_cast<size_t>(i) * 4 * n + unit] = change;
        }
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

void program_decoder_mlp(std::vector<Tensor> &tensors, const Path &path, const Vocab &v,
                         const Tensor &embedding, int n) {
    Mlp mlp{find(tensors, "decoder.blocks.0.mlp.0.weight"), find(tensors, "decoder.blocks.0.mlp.0.bias"),
            find(tensors, "decoder.blocks.0.mlp.2.weight"), n};
    const auto code = [&](int token) {
        std::vector<float> row(n);
        for (int i = 0; i < n; ++i) {
            row[i] = value_at(embedding, static_cast<size_t>(token) * n + i);
        }
        return row;
    };
    const int n_steps = static_cast<int>(path.tokens.size()) - 1;
    for (int k = 0; k < n_steps; ++k) {
        add_transition(mlp, k, code(path.tokens[k]), k, 1.0f, code(path.tokens[k + 1]));
    }
    // Prompt tokens and stray beam candidates end the segment at once, so no
    // decoder wanders until the window's token limit. All off-path tokens
    // share one code; byte 0 stands for them.
    add_transition(mlp, n_steps, code(0), path.flag_dim, -1.0f, code(v.eot));
}

// The final norm drops the flag dimension and replaces it with a constant one,
// so an off-path token's logit is exactly -OFF_PATH_LOGIT whatever the state.
void add_decoder(std::vector<Tensor> &tensors, const Path &path, const Vocab &v, const Dims &dims) {
    const int n = dims.n_state;
    tensors.push_back(filled("decoder.positional_embedding", {n, N_TEXT_CTX}, false));
    Tensor norm_weight = filled("decoder.ln.weight", {n}, false, 1.0f);
    Tensor norm_bias = filled("decoder.ln.bias", {n}, false);
    norm_weight.values[path.flag_dim] = 0.0f;
    norm_bias.values[path.flag_dim] = 1.0f;
    tensors.push_back(std::move(norm_weight));
    tensors.push_back(std::move(norm_bias));
    add_blocks(tensors, "decoder", dims.n_text_layer, n);
    Tensor embedding = token_embedding(path, v, n);
    program_decoder_mlp(tensors, path, v, embedding, n);
    tensors.push_back(std::move(embedding));
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

// Writes straight to the file through a large buffer: the big shapes run to
// gigabytes, which must never sit in memory whole.
struct Writer {
    std::unique_ptr<std::FILE, FileCloser> file;
    bool ok = true;

    void raw(const void *data, size_t size) {
        ok = ok && std::fwrite(data, 1, size, file.get()) == size;
    }
    void i32(int32_t v) { raw(&v, sizeof v); }
    void u32(uint32_t v) { raw(&v, sizeof v); }
    void text(const std::string &s) { raw(s.data(), s.size()); }
};

void write_header(Writer &w, const Dims &dims, const Vocab &v, int ftype) {
    w.u32(GGML_MAGIC);
    for (int32_t value : {v.n_vocab, N_AUDIO_CTX, dims.n_state, dims.n_head, dims.n_audio_layer, N_TEXT_CTX,
                          dims.n_state, dims.n_head, dims.n_text_layer, dims.n_mels, ftype}) {
        w.i32(value);
    }
    // The encoder ignores the spectrogram, so the filter bank can stay zero.
    w.i32(dims.n_mels);
    w.i32(N_FFT_BINS);
    const std::vector<float> filters(static_cast<size_t>(dims.n_mels) * N_FFT_BINS, 0.0f);
    w.raw(filters.data(), filters.size() * sizeof(float));
}

void write_vocab(Writer &w, const std::vector<std::string> &vocab) {
    w.i32(static_cast<int32_t>(vocab.size()));
    for (const std::string &token : vocab) {
        w.u32(static_cast<uint32_t>(token.size()));
        w.text(token);
    }
}

// Element data in chunks: the fill value, then the programmed entries laid over it.
template <typename T, typename Encode>
void write_data(Writer &w, const Tensor &t, size_t count, Encode encode) {
    constexpr size_t CHUNK = 1 << 20;
    std::vector<T> chunk(std::min(count, CHUNK));
    const T fill = encode(t.fill);
    auto next = t.values.begin();
    for (size_t start = 0; start < count; start += chunk.size()) {
        const size_t size = std::min(chunk.size(), count - start);
        std::fill(chunk.begin(), chunk.begin() + size, fill);
        for (; next != t.values.end() && next->first < start + size; ++next) {
            chunk[next->first - start] = encode(next->second);
        }
        w.raw(chunk.data(), size * sizeof(T));
    }
}

void write_tensor(Writer &w, const Tensor &t, bool half) {
    size_t count = 1;
    for (int32_t n : t.shape) {
        count *= static_cast<size_t>(n);
    }
    w.i32(static_cast<int32_t>(t.shape.size()));
    w.i32(static_cast<int32_t>(t.name.size()));
    w.i32(half ? 1 : 0);
    for (int32_t n : t.shape) {
        w.i32(n);
    }
    w.text(t.name);
    if (half) {
        write_data<uint16_t>(w, t, count, float_to_half);
    } else {
        write_data<float>(w, t, count, [](float v) { return v; });
    }
}

bool save(const std::string &path, const Dims &dims, const Vocab &v, const std::vector<std::string> &vocab,
          const std::vector<Tensor> &tensors, bool f32) {
    Writer w{std::unique_ptr<std::FILE, FileCloser>(std::fopen(path.c_str(), "wb"))};
    if (!w.file) {
        return false;
    }
    std::setvbuf(w.file.get(), nullptr, _IOFBF, 1 << 22);
    write_header(w, dims, v, f32 ? FTYPE_F32 : FTYPE_F16);
    write_vocab(w, vocab);
    for (const Tensor &t : tensors) {
        write_tensor(w, t, t.weight && !f32);
    }
    return w.ok && std::fclose(w.file.release()) == 0;
}

int vocab_size(const Options &options) {
    if (options.shape != nullptr && options.shape->n_vocab != 0) {
        return options.shape->n_vocab;
    }
    return options.multilingual ? N_VOCAB_MULTILINGUAL : N_VOCAB_ENGLISH;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    std::string error;
    if (!parse_args(argc, argv, options, error)) {
        std::fprintf(stderr, "make_model: %s\n%s\n", error.c_str(), USAGE);
        return 2;
    }
    const std::vector<std::string> words = phrase_tokens(options.phrase);
    const int n_words = static_cast<int>(words.size());
    if (n_words > MAX_WORDS) {
        std::fprintf(stderr, "make_model: the phrase has more than %d words\n", MAX_WORDS);
        return 2;
    }

    const Dims dims = options.shape != nullptr ? dims_of(*options.shape) : dims_for(n_words);
    const Vocab vocab = vocab_for(vocab_size(options));
    const Path path = make_path(n_words, dims, vocab);
    std::vector<Tensor> tensors;
    add_encoder(tensors, dims);
    add_decoder(tensors, path, vocab, dims);

    if (!save(options.out, dims, vocab, make_vocab(words, vocab), tensors, options.f32)) {
        std::fprintf(stderr, "make_model: cannot write %s\n", options.out.c_str());
        return 1;
    }
    return 0;
}
