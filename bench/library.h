// The baseline: whisper.cpp driven directly, with the settings the host uses on a CPU, so the
// host's runs can be set against what the library alone costs for the same calls.
#pragma once

#include <whisper.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr double SAMPLE_RATE = 16000.0;
constexpr size_t VAD_STEP_SAMPLES = 4800;  // the host's VAD pass cadence: 0.3 s of new audio

struct Library {
    whisper_context* ctx = nullptr;
    whisper_vad_context* vad = nullptr;         // 2 threads, as the host runs it
    whisper_vad_context* vad_single = nullptr;  // 1 thread, for comparison
    whisper_vad_params vad_params{};
    int threads = 4;
};

// A decode the host reported in "metrics", in the order it reported them.
struct HostDecode {
    bool final = false;
    int buffer_ms = 0;
};

// One final the replay cut: the VAD pass that found the pause (vad_ms long) ended at stream
// sample pass_end, over a buffer that began at stream sample start; n samples were decoded.
struct Cut {
    size_t pass_end = 0;
    size_t start = 0;
    size_t n = 0;
    double vad_ms = 0;
    double decode_ms = 0;
};

struct Replay {
    double vad_ms = 0;
    double decode_ms = 0;
    double cpu_ms = 0;
    int vad_passes = 0;
    int decodes = 0;
    std::vector<double> pass_ms;  // each VAD pass
    std::vector<double> partial_ms, final_ms;  // each decode, by kind
    double longest_buffer_s = 0;
    int unmatched = 0;  // host decodes the replay could not pair with one of its own
    std::vector<Cut> cuts;
};

Library open_library(const std::string& model, const std::string& vad_model, int threads);
void close_library(Library& lib);

// Wall ms of one VAD pass over n samples, as the host runs it (detection and segmentation),
// or with the single-threaded VAD context.
double vad_pass_ms(Library& lib, const float* samples, size_t n,
                   std::vector<std::pair<float, float>>* segments = nullptr, bool single = false);

// Replays the host's streaming step over audio streamed from its first sample, one VAD pass
// per VAD_STEP_SAMPLES, taking partial decodes from the host's own reports (their timing is
// the host's pacing) and timing every library call. With pass_due_ms, pass k starts no
// earlier than pass_due_ms[k] after the replay's start, as the host's did at real time:
// calls that come after a rest cost more CPU than calls back to back.
Replay replay_stream(Library& lib, const std::vector<float>& audio,
                     const std::vector<HostDecode>& host_decodes,
                     const std::vector<double>& pass_due_ms = {});

// Stream sample at which a VAD pass over audio[start, end) first shows the 0.85 s pause after
// speech_end, trying ends 10 ms apart; 0 when none does within 3 s.
size_t pause_visible_at(Library& lib, const std::vector<float>& audio, size_t start,
                        size_t speech_end);
