// Seeded source of command lines for the bad-input storm: valid commands mixed with every kind
// of damage a confused or hostile parent could write. The same seed always gives the same lines.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace storm {

// Paths the storm's script makes the scripted loaders refuse.
constexpr const char* FAILING_MODEL = "/storm/refused-model.bin";
constexpr const char* FAILING_VAD = "/storm/refused-vad.bin";

// The host checks model files before loading them, so valid commands name real ones.
struct LineSource {
    std::mt19937_64 rng;
    std::string model;
    std::string vad_model;
};

// One line without its line feed; it never contains a line feed byte.
std::string next_line(LineSource& source);
// 1 to 40 lines, now and then preceded by a valid "configure".
std::vector<std::string> next_burst(LineSource& source);
// A valid "configure" with random but acceptable optional keys.
std::string valid_configure(LineSource& source);

}  // namespace storm
