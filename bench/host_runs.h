// The host's side of the benchmark: a host process driven over its pipes the way the desktop
// application drives it, with its CPU time, wake-ups and resident size read from /proc.
#pragma once

#include "host_driver.h"
#include "library.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

struct Event {
    double at_ms = 0;
    nlohmann::json body;
};

struct ProcSample {
    double cpu_ms = 0;  // utime + stime, in clock ticks of 10 ms
    double rss_mb = 0;
    long wakeups = 0;   // context switches of all its threads
};

struct StreamRun {
    std::vector<double> chunk_written_ms;  // when each chunk's write returned
    std::vector<Event> events;              // everything up to and including "flushed"
    double cpu_ms = 0;                      // host CPU over the streaming, before the flush
    double audio_s = 0;
};

struct FastRun {
    double wall_ms = 0;
    double cpu_ms = 0;
    std::vector<Event> events;
    double rss_mid_mb = 0;
};

ProcSample sample_proc(pid_t pid);

// Starts a host and configures it; throws unless it answers "ready".
HostProcess start_configured(const std::string& exe, const std::string& model,
                             const std::string& vad_model, nlohmann::json& ready);

// Real-time pacing: each chunk is written when its last sample would have been recorded, as
// a microphone delivers it; then "flush".
StreamRun stream_real_time(HostProcess& host, const std::vector<int16_t>& pcm, size_t chunk);

// As fast as the host takes it: one VAD step of audio, then a barrier, again and again.
FastRun stream_fast(HostProcess& host, const std::vector<int16_t>& pcm);

// Seconds of silence the host takes in per wall second, in 100 ms chunks, write_s of them per
// write and barrier; stops after audio_s of audio or budget_ms of wall time, whichever first.
double intake_speed(HostProcess& host, double write_s, double audio_s, double budget_ms);

// Sends nothing for ms and reports what the host used meanwhile; any event it writes is kept.
ProcSample stay_idle(HostProcess& host, double ms, std::vector<Event>& events);

std::vector<HostDecode> host_decodes(const std::vector<Event>& events);
double wall_ms();
