// What one benchmark run measured, and the table rows made from it.
#pragma once

#include "host_runs.h"
#include "library.h"
#include "table.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t CHUNK_SAMPLES = 1600;            // 100 ms, what a dictation app sends
constexpr double INTAKE_WRITES_S[] = {10, 60};    // audio per write: the host appends a batch at once
constexpr double VAD_LENGTHS_S[] = {1, 5, 10, 20};
constexpr double FLOOR_TARGET_MS = 150;           // worst end of speech to final, above its floor
constexpr double RESTED_VAD_TARGET = 2;           // a VAD pass after a rest, against back to back

struct Utterance {
    size_t begin = 0;
    size_t end = 0;  // one past its last loud sample
};

// One fast run of the real host and the library's replay of it, run right after it.
struct FastPair {
    FastRun host;
    Replay library;
};

// One more model through the real-time speech run, its library replay and its floors.
struct ModelRun {
    std::string name;  // the model's file name
    nlohmann::json ready;
    StreamRun speech;
    Replay replay;
};

struct Record {
    nlohmann::json ready;
    double idle_ms = 0;
    ProcSample idle;
    StreamRun speech, silence;
    Replay speech_replay, silence_replay;  // paced as the host's calls were
    std::vector<FastPair> fast;
    double fast_audio_s = 0;
    std::vector<double> rss_mb;            // after ready, then after every phase
    double library_growth_mb = 0;          // this process over the replay of the speech run
    FastRun scripted_fast;
    std::vector<double> intake;            // x real time, one per INTAKE_WRITES_S
};

void latency_rows(Table& t, Library& lib, const Record& r, const std::vector<int16_t>& speech,
                  const std::vector<Utterance>& utts, std::vector<std::string>& problems);
void model_rows(Table& t, Library& lib, const ModelRun& m, const std::vector<int16_t>& speech,
                const std::vector<Utterance>& utts, std::vector<std::string>& problems);
void share_rows(Table& t, const Record& r);
void intake_rows(Table& t, const Record& r);
void cost_rows(Table& t, const Record& r);
void vad_rows(Table& t, Library& lib, const std::vector<float>& speech, const Record& r, int reps);

int count_finals(const std::vector<Event>& events);
std::vector<float> to_float(const std::vector<int16_t>& pcm);
