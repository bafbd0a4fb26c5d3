// Runs voice-host-scripted with a script of its own and reads back both sides of the story:
// the events on stdout and the calls that reached the scripted speech library.
#pragma once

#include "host_driver.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace scripted {

using json = nlohmann::json;

constexpr int WAIT_MS = 20000;

struct ScriptedHost {
    HostProcess process;
    std::string log_path;
};

// A run of constant samples; level L means the value 1000 * L (0 is silence), which the
// scripted library hears as a segment named " w<L>".
struct Stretch {
    int level;
    size_t samples;
};

// The script's device list with one Metal-style GPU behind the CPU.
json gpu_devices(const char* reg = "MTL", const char* description = "Apple M2");
json gpu_script();

// Each host gets its own script and log file, named after the running test and the tag.
ScriptedHost start_scripted(const json& script = json::object(), const std::string& tag = "");

// A "configure" command with both model paths; extra keys are added or replace the defaults.
json configure_command(const json& extra = json::object());
// Sends the command and returns the lines up to and including "ready" or an "error".
std::vector<std::string> send_configure(ScriptedHost& host, const json& command);
// Configures and returns the "ready" event; throws when the host answers anything else.
json configure(ScriptedHost& host, const json& extra = json::object());

std::vector<int16_t> tone(std::initializer_list<Stretch> stretches);
std::vector<int16_t> tone(int level, size_t samples);
std::string audio_command(const std::string& pcm);
void send_audio(ScriptedHost& host, const std::vector<int16_t>& samples);

// Two barriers: the second answer proves the streaming step after the earlier lines has run.
std::vector<std::string> sync(ScriptedHost& host);
// Sends "flush" and returns the lines before "flushed"; throws when "flushed" does not come.
std::vector<std::string> flush(ScriptedHost& host);
// Sends the audio, lets the streaming step see it, then flushes: the lines of the flush.
std::vector<std::string> say(ScriptedHost& host, const std::vector<int16_t>& samples);

std::vector<json> events(const std::vector<std::string>& lines, const std::string& ev = "");

std::vector<json> calls(const ScriptedHost& host, const std::string& fn);
// whisper_full calls of the warm-up (single segment) and of the stream, in call order.
std::vector<json> warm_ups(const ScriptedHost& host);
std::vector<json> decodes(const ScriptedHost& host);
json last_decode(const ScriptedHost& host);

// Names each test of a table after its row's "name".
struct CaseName {
    template <class Info>
    std::string operator()(const Info& info) const {
        return std::string(info.param.name);
    }
};
inline constexpr CaseName case_name{};

std::string error_line(const std::string& code, const std::string& message, bool fatal);

}  // namespace scripted
