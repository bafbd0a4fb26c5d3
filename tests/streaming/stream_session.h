// A scripted host configured on the CPU (max_buffer_s 20, partial_window_s 6), fed audio made of
// constant runs: the scripted library hears a run of level L (samples of 1000*L) as one speech
// segment whose text is "wL", so the positions of the runs decide every cut.
//
// Events are compared as short strings:
//   "metrics final" / "metrics partial", "partial <segment> <text>",
//   "final <segment> <text> <from_ms>..<to_ms>", "error <code>", "flushed".
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host_driver.h"

namespace streaming {

using Events = std::vector<std::string>;  // described as above
using Sizes = std::vector<int64_t>;       // sample counts handed to the library

struct Stretch {
    size_t samples = 0;
    int level = 0;  // 0: silence
};

Stretch speech(int ms, int level = 1);
Stretch silence(int ms);

struct Session {
    HostProcess host;
    std::string log_path;
    size_t warm_up_decodes = 0;
};

// Starts and configures a host; script keys are the scripted library's, words may map levels.
Session start_session(const nlohmann::json& script = nlohmann::json::object());

std::string audio_line(const std::vector<Stretch>& stretches);
std::string describe(const nlohmann::json& event);
Events describe_all(const std::vector<std::string>& lines);

// Sends one command line and returns the events up to the end of the streaming step that follows
// it: the second barrier is only handled after the step of the first barrier's batch.
Events command(Session& s, const std::string& line);
Events step(Session& s, const std::vector<Stretch>& stretches);
Events flush(Session& s);

// Appends a quarter second of level 9 ("w9") and flushes; returns the flush's final, whose
// from_ms shows the stream time at which the marker landed, or "" when there was none.
std::string probe_final(Session& s);

std::vector<nlohmann::json> decodes(const Session& s);  // whisper_full calls after the warm-up
Sizes decode_sizes(const Session& s);
Sizes vad_sizes(const Session& s);  // whisper_vad_detect_speech calls
// Waits until the scripted library has logged `count` calls of `fn`; throws after 10 s.
void wait_for_calls(const Session& s, const std::string& fn, size_t count);

using Clock = std::chrono::steady_clock;
void sleep_until(Clock::time_point when);
void sleep_ms(int ms);

// Names a parameterised case after the "name" of its row.
constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };

// Lets the next partial decode pass the minimum pacing interval of 500 ms.
inline void wait_for_pacing() { sleep_ms(600); }

}  // namespace streaming
