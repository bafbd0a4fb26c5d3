// The real host (whisper.cpp on the CPU) with the generated synthetic speech model, which hears
// any audio as one segment [0, 1000 ms] saying PHRASE, and the real Silero VAD model, fed speech
// that espeak-ng and sox synthesize at test time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "host_driver.h"
#include "test_vad_model.h"

namespace real {

constexpr int RATE = 16000;
constexpr size_t CHUNK = 1600;  // one "audio" command: 100 ms
constexpr size_t STEP = 4800;   // audio between two streaming steps, as from a live microphone
constexpr int WAIT_MS = 60000;  // generous: other suites may share the machine's cores
constexpr double MAX_BUFFER_S = 20.0;
constexpr const char* PHRASE = "hello from the synthetic model";

using Samples = std::vector<int16_t>;

struct Span {
    int64_t from_ms = 0;
    int64_t to_ms = 0;
};

// Speech laid out between pauses, and where each utterance lies in it.
struct Recording {
    Samples audio;
    std::vector<Span> utterances;
};

// One event and how much audio had been sent when it came.
struct Seen {
    int64_t sent_ms = 0;
    nlohmann::json ev;
};

// A shell word for `text`, and a shell command that must succeed (else it throws).
std::string quoted(const std::string& text);
void run(const std::string& command);

std::string scratch_path(const std::string& name);  // unique per test
int64_t ms_of(size_t samples);

// Empty when espeak-ng and sox can run; otherwise why not.
std::string missing_speech_tools();
// One utterance, with the synthesizer's own leading and trailing silence cut off.
Samples speak(const std::string& text);
Recording lay_out(const std::vector<Samples>& utterances, double pause_s);

std::string configure_line(const std::string& model, const std::string& vad_model,
                           const nlohmann::json& extra = nlohmann::json::object());
HostProcess start_real();
// Configures the host and returns the line it answered with.
nlohmann::json configure(HostProcess& host, const std::string& model,
                         const nlohmann::json& extra = nlohmann::json::object());

// Sends the audio in STEP pieces of CHUNK commands, waiting after each piece until the host has
// run the streaming step over it; sent_ms counts from start_ms.
std::vector<Seen> stream_in_steps(HostProcess& host, const Samples& audio, int64_t start_ms = 0);
// The events of a "flush", "flushed" last.
std::vector<Seen> flush(HostProcess& host, int64_t sent_ms);

// Configures a host with the model (expecting "ready"), streams one utterance between pauses and
// flushes; returns every event after "ready".
std::vector<Seen> stream_utterance(const std::string& model, const nlohmann::json& settings);

// The utterance became exactly one final saying the phrase, announced by partials that say it too.
void expect_phrase_once(const std::vector<Seen>& seen);

std::vector<Seen> events_named(const std::vector<Seen>& seen, const std::string& name);
std::string names_of(const std::vector<Seen>& seen);

// Decoding on one thread: the synthetic model gains nothing from more, and spinning worker
// threads slow down badly when other suites share the cores.
const nlohmann::json STREAM_SETTINGS = {{"backend", "cpu"}, {"threads", 1}};

// A host configured with the synthetic model, the real VAD and STREAM_SETTINGS.
HostProcess start_streaming();

// Whether the host runs on a GPU on this machine when "configure" leaves the backend alone: the
// "gpu" of its "ready" for the synthetic model, asked once.
bool host_takes_a_gpu();

// Fails the test when the VAD model cannot be read.
struct RealHost : ::testing::Test {
    void SetUp() override;
};

// The same, for tests that also synthesize speech.
struct RealSpeech : RealHost {
    void SetUp() override;
};

}  // namespace real
