#include "real_session.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace real {

namespace {

Samples read_raw(const std::string& path) {
    const std::string bytes = read_file(path);
    Samples samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto lo = static_cast<uint8_t>(bytes[2 * i]);
        const auto hi = static_cast<uint8_t>(bytes[2 * i + 1]);
        samples[i] = static_cast<int16_t>(lo | (hi << 8));
    }
    return samples;
}

std::string audio_line(const Samples& audio, size_t from, size_t to) {
    return R"({"op":"audio","pcm":")" + pcm_base64(Samples(audio.begin() + from, audio.begin() + to)) +
           R"("})";
}

void record(std::vector<Seen>& seen, const std::vector<std::string>& lines, int64_t sent_ms) {
    for (const auto& line : lines) seen.push_back({sent_ms, parse_event(line)});
}

int speech_count = 0;

const Samples& utterance() {
    static const Samples spoken = speak("the quick brown fox jumps over the lazy dog");
    return spoken;
}

}  // namespace

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

std::string scratch_path(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string test =
        info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    return std::string(TEST_WORK_DIR) + "/real-" + test + "-" + name;
}

int64_t ms_of(size_t samples) { return static_cast<int64_t>(samples * 1000 / RATE); }

std::string missing_speech_tools() {
    for (const char* tool : {"espeak-ng", "sox"}) {
        const std::string probe = std::string("command -v ") + tool + " >/dev/null 2>&1";
        if (std::system(probe.c_str()) != 0)
            return std::string(tool) + " is not installed (scripts/setup.sh installs it)";
    }
    return "";
}

Samples speak(const std::string& text) {
    const std::string stem = scratch_path("speech" + std::to_string(++speech_count));
    run("espeak-ng -w " + quoted(stem + ".wav") + " " + quoted(text));
    // Trimming both ends makes the utterance bounds those of the voice itself.
    run("sox " + quoted(stem + ".wav") + " -t raw -r 16000 -c 1 -b 16 -e signed-integer -L " +
        quoted(stem + ".raw") + " silence 1 0.02 0.5% reverse silence 1 0.02 0.5% reverse");
    Samples samples = read_raw(stem + ".raw");
    if (samples.size() < RATE / 2) throw std::runtime_error("synthesized speech too short: " + text);
    return samples;
}

Recording lay_out(const std::vector<Samples>& utterances, double pause_s) {
    const Samples pause(static_cast<size_t>(pause_s * RATE), 0);
    Recording rec;
    rec.audio = pause;
    for (const auto& utterance : utterances) {
        const int64_t from = ms_of(rec.audio.size());
        rec.audio.insert(rec.audio.end(), utterance.begin(), utterance.end());
        rec.utterances.push_back({from, ms_of(rec.audio.size())});
        rec.audio.insert(rec.audio.end(), pause.begin(), pause.end());
    }
    return rec;
}

std::string configure_line(const std::string& model, const std::string& vad_model,
                           const nlohmann::json& extra) {
    nlohmann::json line = extra;
    line["op"] = "configure";
    line["model"] = model;
    line["vad_model"] = vad_model;
    return line.dump();
}

HostProcess start_real() { return start_host(VOICE_HOST_EXE, {}, {}, {"TELLVANE_VOICE_HOST_DEBUG"}); }

nlohmann::json configure(HostProcess& host, const std::string& model, const nlohmann::json& extra) {
    send_line(host, configure_line(model, test_vad_model(), extra));
    std::string line;
    if (!read_line(host, line, WAIT_MS)) throw std::runtime_error("no answer to configure");
    return parse_event(line);
}

HostProcess start_streaming() {
    HostProcess host = start_real();
    const nlohmann::json ready = configure(host, SYNTHETIC_MODEL, STREAM_SETTINGS);
    if (ready.value("ev", "") != "ready") throw std::runtime_error("configure answered " + ready.dump());
    return host;
}

bool host_takes_a_gpu() {
    static const bool taken = [] {
        HostProcess host = start_real();
        const nlohmann::json ready = configure(host, SYNTHETIC_MODEL, {{"threads", 1}});
        if (ready.value("ev", "") != "ready") throw std::runtime_error("configure answered " + ready.dump());
        return ready.at("gpu").get<bool>();
    }();
    return taken;
}

std::vector<Seen> stream_in_steps(HostProcess& host, const Samples& audio, int64_t start_ms) {
    std::vector<Seen> seen;
    for (size_t step = 0; step < audio.size(); step += STEP) {
        const size_t step_end = std::min(audio.size(), step + STEP);
        for (size_t at = step; at < step_end; at += CHUNK)
            send_line(host, audio_line(audio, at, std::min(step_end, at + CHUNK)));
        const int64_t sent_ms = start_ms + ms_of(step_end);
        // The step after the first barrier's batch has run once the second barrier is answered.
        record(seen, barrier(host, WAIT_MS), sent_ms);
        record(seen, barrier(host, WAIT_MS), sent_ms);
    }
    return seen;
}

std::vector<Seen> flush(HostProcess& host, int64_t sent_ms) {
    send_line(host, R"({"op":"flush"})");
    std::vector<Seen> seen;
    const auto lines = read_until(
        host, [](const std::string& line) { return parse_event(line)["ev"] == "flushed"; }, WAIT_MS);
    record(seen, lines, sent_ms);
    if (seen.empty() || seen.back().ev["ev"] != "flushed")
        throw std::runtime_error("no \"flushed\" after flush");
    return seen;
}

std::vector<Seen> stream_utterance(const std::string& model, const nlohmann::json& settings) {
    HostProcess host = start_real();
    const nlohmann::json ready = configure(host, model, settings);
    if (ready.value("ev", "") != "ready") throw std::runtime_error("configure answered " + ready.dump());
    // The pause after the voice is long enough for an endpoint, so the final comes while streaming.
    const Recording rec = lay_out({utterance()}, 1.5);
    std::vector<Seen> seen = stream_in_steps(host, rec.audio);
    const std::vector<Seen> flushed = flush(host, ms_of(rec.audio.size()));
    seen.insert(seen.end(), flushed.begin(), flushed.end());
    return seen;
}

void expect_phrase_once(const std::vector<Seen>& seen) {
    EXPECT_TRUE(events_named(seen, "error").empty()) << names_of(seen);
    const auto finals = events_named(seen, "final");
    ASSERT_EQ(finals.size(), 1u) << names_of(seen);
    EXPECT_EQ(finals[0].ev["text"], PHRASE);
    EXPECT_EQ(finals[0].ev["segment"], 1);
    for (const auto& partial : events_named(seen, "partial")) EXPECT_EQ(partial.ev["text"], PHRASE);
}

std::vector<Seen> events_named(const std::vector<Seen>& seen, const std::string& name) {
    std::vector<Seen> out;
    for (const auto& s : seen)
        if (s.ev.value("ev", "") == name) out.push_back(s);
    return out;
}

std::string names_of(const std::vector<Seen>& seen) {
    std::string out;
    for (const auto& s : seen) {
        if (!out.empty()) out += ", ";
        out += s.ev.value("ev", "?");
        if (s.ev.contains("kind")) out += " " + s.ev["kind"].get<std::string>();
        out += " @" + std::to_string(s.sent_ms);
    }
    return out;
}

void RealHost::SetUp() {
    const std::string problem = test_vad_model_problem();
    if (!problem.empty()) FAIL() << problem;
}

void RealSpeech::SetUp() {
    const std::string missing = missing_speech_tools();
    if (!missing.empty()) GTEST_SKIP() << "cannot synthesize speech: " << missing;
    RealHost::SetUp();
}

}  // namespace real
