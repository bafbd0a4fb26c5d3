#include "storm_lines.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>

namespace storm {
namespace {

constexpr size_t SAMPLES_PER_S = 16000;

// Written as raw JSON text so that the exact literal (exponent, sign of zero, digits past the
// 64-bit range) reaches the host's parser unchanged.
const char* const ODD_VALUES[] = {
    "null", "true", "false", "0", "-0", "-0.0", "1", "-1", "2", "7", "2.9", "-2.9", "0.5",
    "1e308", "-1e308", "1e-308", "4.9e-324", "1e400", "-1e400", "2147483647", "2147483648",
    "-2147483648", "-2147483649", "4294967297", "9223372036854775807", "9223372036854775808",
    "-9223372036854775809", "18446744073709551615", "18446744073709551616",
    "123456789012345678901234567890", "\"\"", "\"x\"", "\"1\"", "\"cpu\"", "\"\\u0000\"",
    "\"\\ud83d\\ude00\"", "[]", "[1,\"a\",null]", "{}", "{\"a\":[{}]}", "[[[[[[[[[[]]]]]]]]]]",
};

const char* const CONFIGURE_KEYS[] = {
    "protocol", "model", "vad_model", "language", "threads", "idle_exit_s", "backend",
    "beam_size", "partial_window_s", "prompt", "audio_ctx", "Model", "unknown",
};

const char* const VALID_OPS[] = {"configure", "audio", "flush", "reset", "prompt", "shutdown"};

const char* const ODD_OPS[] = {
    "Configure", "AUDIO", "Flush", " flush", "flush ", "flush\\u0000", "", "\\u0066lush",
    "shutdown ", "SHUTDOWN", "shut down", "r\\u00e9set", "\\ufb02ush", "prompt\\t", "audio\\n",
    "barrier", "ready", "final", "\\u0000", "op",
};

// Sequences the JSON parser must refuse inside a string.
const char* const BAD_UTF8[] = {
    "\xC3\x28", "\xA0\xA1", "\xE2\x28\xA1", "\xE2\x82", "\xF0\x90\x28\xBC", "\xC0\x80",
    "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80",
    "\xF8\x88\x80\x80\x80", "\xFE", "\xFF", "\x80", "\x01", "\t", "\\ud800", "\\udc00x",
    "\\ud800\\u0041", "\\x41", "\\u12G", "\\",
};

const char* const PROMPTS[] = {
    "", "Names: Ada, Grace.", "  spaced \t out \r words  ", "caf\xC3\xA9 \xE6\xBC\xA2\xE5\xAD\x97",
    "[noise]", "(laughs)", "\xF0\x9F\x98\x80 emoji",
};

size_t pick(LineSource& s, size_t n) { return static_cast<size_t>(s.rng() % n); }

bool chance(LineSource& s, int percent) { return static_cast<int>(s.rng() % 100) < percent; }

template <typename T, size_t N>
const T& pick_from(LineSource& s, const T (&items)[N]) {
    return items[pick(s, N)];
}

std::string quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            const char* hex = "0123456789abcdef";
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

using Members = std::vector<std::pair<std::string, std::string>>;

// Members are raw JSON texts, kept in the given order (duplicates included).
std::string object(const Members& members) {
    std::string out = "{";
    for (size_t i = 0; i < members.size(); ++i) {
        if (i > 0) out += ',';
        out += quote(members[i].first) + ':' + members[i].second;
    }
    return out + "}";
}

std::string op_only(const std::string& op) { return object({{"op", quote(op)}}); }

std::string base64(const std::string& bytes) {
    static const char* ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v =
            (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += ALPHABET[(v >> k) & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        if (rest == 2) v |= uint8_t(bytes[i + 1]) << 8;
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += rest == 2 ? ALPHABET[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

void append_samples(std::string& pcm, size_t count, const std::function<int16_t()>& sample) {
    for (size_t i = 0; i < count; ++i) {
        auto v = static_cast<uint16_t>(sample());
        pcm += static_cast<char>(v & 0xFF);
        pcm += static_cast<char>(v >> 8);
    }
}

// Little-endian PCM of up to three stretches: silence, a constant level the scripted library
// hears as one word, or full-scale noise.
std::string pcm_bytes(LineSource& s) {
    std::string pcm;
    size_t stretches = 1 + pick(s, 2);
    for (size_t k = 0; k < stretches; ++k) {
        size_t count = SAMPLES_PER_S * (1 + pick(s, 60)) / 100;
        if (pick(s, 200) == 0) count = SAMPLES_PER_S * (5 + pick(s, 20));
        switch (pick(s, 5)) {
            case 0:
            case 1: append_samples(pcm, count, [] { return int16_t(0); }); break;
            case 2: {
                auto level = static_cast<int16_t>(1000 * (1 + pick(s, 9)));
                append_samples(pcm, count, [level] { return level; });
                break;
            }
            case 3: {
                auto level = static_cast<int16_t>(-1000 * (1 + pick(s, 9)));
                append_samples(pcm, count, [level] { return level; });
                break;
            }
            default: append_samples(pcm, count, [&s] { return static_cast<int16_t>(s.rng()); });
        }
    }
    return pcm;
}

std::string audio_line(const std::string& pcm_text) {
    return object({{"op", "\"audio\""}, {"pcm", quote(pcm_text)}});
}

std::string valid_audio(LineSource& s) { return audio_line(base64(pcm_bytes(s))); }

std::string random_text(LineSource& s, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) out += static_cast<char>(' ' + pick(s, 95));
    return out;
}

std::string odd_value(LineSource& s) {
    if (chance(s, 5)) return quote(random_text(s, 1000 + pick(s, 100000)));
    if (chance(s, 3)) return std::string(200, '[') + std::string(200, ']');
    return pick_from(s, ODD_VALUES);
}

std::string mutated_configure(LineSource& s) {
    Members m = {{"op", "\"configure\""}, {"model", quote(s.model)},
                 {"vad_model", quote(s.vad_model)}};
    switch (pick(s, 24)) {
        case 0: m[1].second = quote(FAILING_MODEL); return object(m);
        case 1: m[2].second = quote(FAILING_VAD); return object(m);
        case 2: m.erase(m.begin() + 1 + static_cast<std::ptrdiff_t>(pick(s, 2))); return object(m);
        case 3: m.push_back({"protocol", pick(s, 2) ? "2" : "\"1\""}); return object(m);
        default: break;
    }
    size_t count = 1 + pick(s, 3);
    for (size_t i = 0; i < count; ++i) {
        std::string key = pick_from(s, CONFIGURE_KEYS);
        // Damaging a path or the protocol ends the host; keep those rarer than the others.
        if ((key == "model" || key == "vad_model" || key == "protocol") && !chance(s, 25)) {
            key = "threads";
        }
        m.push_back({key, odd_value(s)});
    }
    return object(m);
}

std::string stray_base64(LineSource& s) {
    std::string clean = base64(pcm_bytes(s));
    static const char* const STRAYS[] = {" ", "=", "==", "\\n", "\\r\\n", "\\t", "-", "_", "%",
                                         ".", "\xC3\xA9", "\\u0000", "*", "~", "\\\\"};
    std::string out;
    for (char c : clean) {
        out += c;
        if (chance(s, 2)) out += pick_from(s, STRAYS);
    }
    // The quoting below must not escape what was already escaped above.
    return object({{"op", "\"audio\""}, {"pcm", "\"" + out + "\""}});
}

std::string mutated_audio(LineSource& s) {
    switch (pick(s, 9)) {
        case 0: return object({{"op", "\"audio\""}, {"pcm", odd_value(s)}});
        case 1: return stray_base64(s);
        case 2: {
            std::string bytes = pcm_bytes(s);
            bytes.resize(1 + 2 * pick(s, bytes.size() / 2));  // an odd number of bytes
            return audio_line(base64(bytes));
        }
        case 3: return audio_line(std::string(1 + pick(s, 7), "AB+/="[pick(s, 5)]));
        case 4: return audio_line("");
        case 5: return op_only("audio");
        case 6: return audio_line(base64(std::string(2 * (1 + pick(s, 4000)), '\x80')));
        case 7: {
            std::string b = base64(pcm_bytes(s));
            return object({{"op", "\"audio\""}, {"pcm", quote(b)}, {"pcm", odd_value(s)}});
        }
        default: return audio_line("AAAA====AAAA" + base64(pcm_bytes(s)) + "=");
    }
}

std::string valid_prompt(LineSource& s) {
    return object({{"op", "\"prompt\""}, {"text", quote(pick_from(s, PROMPTS))}});
}

std::string mutated_prompt(LineSource& s) {
    switch (pick(s, 4)) {
        case 0: return object({{"op", "\"prompt\""}, {"text", odd_value(s)}});
        case 1:
            return object({{"op", "\"prompt\""},
                           {"text", quote(random_text(s, 500 + pick(s, 300000)))}});
        case 2:  // a multi-byte character across the prompt's byte limit
            return object({{"op", "\"prompt\""},
                           {"text", quote(std::string(599, 'a') + "\xE6\xBC\xA2\xE5\xAD\x97")}});
        default: return op_only("prompt");
    }
}

std::string mutated_op(LineSource& s) {
    switch (pick(s, 5)) {
        case 0: return object({{"op", "\"" + std::string(pick_from(s, ODD_OPS)) + "\""}});
        case 1: return object({{"op", odd_value(s)}});
        case 2: return object({{"text", "\"flush\""}});
        case 3: return object({{"op", "\"flush\""}, {"op", "\"unknown\""}});
        default: {
            size_t length = 1 + pick(s, chance(s, 10) ? 200000 : 40);
            return object({{"op", quote(random_text(s, length))}});
        }
    }
}

std::string garbage(LineSource& s) {
    std::string out;
    size_t length = 1 + pick(s, chance(s, 5) ? 100000 : 200);
    for (size_t i = 0; i < length; ++i) {
        char c = static_cast<char>(s.rng());
        out += c == '\n' ? '\0' : c;
    }
    return out;
}

std::string broken_json(LineSource& s) {
    std::string whole = chance(s, 50) ? op_only(pick_from(s, VALID_OPS)) : valid_audio(s);
    switch (pick(s, 12)) {
        case 0: return whole.substr(0, pick(s, whole.size()));
        case 1: return whole + "x";
        case 2: return whole + "}";
        case 3: return whole + " " + whole;
        case 4: return whole + "//c";
        case 5: return "/*c*/" + whole;
        case 6: return "\xEF\xBB\xBF" + op_only("flush");  // a byte-order mark is skipped
        case 7: return op_only("flush") + "\r";             // so is a trailing carriage return
        case 8: return "{'op':'flush'}";
        case 9: return "{\"op\":\"flush\",}";
        case 10: return "{op:\"flush\"}";
        default: return "{\"op\":\"configure\",\"threads\":NaN,\"beam_size\":Infinity}";
    }
}

std::string not_an_object(LineSource& s) {
    static const char* const VALUES[] = {"[]", "[{\"op\":\"flush\"}]", "\"flush\"", "1", "null",
                                         "true", " ", "\r", "\t \r", "\"\"", "-0", "{}{}"};
    return pick_from(s, VALUES);
}

std::string bad_utf8(LineSource& s) {
    std::string bad = pick_from(s, BAD_UTF8);
    switch (pick(s, 4)) {
        case 0: return "{\"op\":\"prompt\",\"text\":\"ab" + bad + "cd\"}";
        case 1: return "{\"op\":\"" + bad + "\"}";
        case 2: return "{\"op\":\"configure\",\"model\":\"" + bad + "\",\"vad_model\":\"v\"}";
        default: return "{\"op" + bad + "\":\"flush\"}";
    }
}

std::string deep_nesting(LineSource& s) {
    size_t depth = chance(s, 50) ? 100000 : 1000 + pick(s, 20000);
    switch (pick(s, 4)) {
        case 0: return std::string(depth, '[');
        case 1:
            return "{\"op\":\"flush\",\"x\":" + std::string(depth, '[') +
                   std::string(depth, ']') + "}";
        case 2: {
            std::string open, close;
            for (size_t i = 0; i < depth; ++i) {
                open += "{\"a\":";
                close += "}";
            }
            return "{\"op\":\"audio\",\"pcm\":" + open + "1" + close + "}";
        }
        default: {
            std::string open;
            for (size_t i = 0; i < depth; ++i) open += "{\"a\":[";
            return open;
        }
    }
}

std::string valid_command(LineSource& s) {
    switch (pick(s, 20)) {
        case 0: return valid_configure(s);
        case 1:
        case 2: return op_only("flush");
        case 3: return op_only("reset");
        case 4: return valid_prompt(s);
        default: return valid_audio(s);
    }
}

}  // namespace

std::string valid_configure(LineSource& s) {
    Members m = {{"op", "\"configure\""}, {"model", quote(s.model)},
                 {"vad_model", quote(s.vad_model)}};
    if (chance(s, 30)) m.push_back({"language", pick(s, 2) ? "\"auto\"" : "\"de\""});
    if (chance(s, 30)) m.push_back({"threads", std::to_string(1 + pick(s, 8))});
    if (chance(s, 30)) m.push_back({"beam_size", std::to_string(1 + pick(s, 5))});
    if (chance(s, 30)) m.push_back({"partial_window_s", std::to_string(4 + pick(s, 27)) + ".5"});
    if (chance(s, 30)) m.push_back({"backend", pick(s, 2) ? "\"cpu\"" : "\"auto\""});
    if (chance(s, 30)) m.push_back({"audio_ctx", pick(s, 2) ? "\"full\"" : "\"bounded\""});
    if (chance(s, 30)) m.push_back({"prompt", quote(pick_from(s, PROMPTS))});
    if (chance(s, 10)) m.push_back({"protocol", "1"});
    return object(m);
}

std::string next_line(LineSource& s) {
    int roll = static_cast<int>(pick(s, 1000));
    if (roll < 450) return valid_command(s);
    if (roll < 500) return mutated_configure(s);
    if (roll < 580) return mutated_audio(s);
    if (roll < 620) return mutated_prompt(s);
    if (roll < 690) return mutated_op(s);
    if (roll < 760) return garbage(s);
    if (roll < 830) return broken_json(s);
    if (roll < 870) return not_an_object(s);
    if (roll < 930) return bad_utf8(s);
    if (roll < 935) return deep_nesting(s);
    if (roll < 937) return op_only("shutdown");
    return "";
}

std::vector<std::string> next_burst(LineSource& s) {
    std::vector<std::string> lines;
    if (chance(s, 10)) lines.push_back(valid_configure(s));
    size_t count = 1 + pick(s, 40);
    while (lines.size() < count) lines.push_back(next_line(s));
    return lines;
}

}  // namespace storm
