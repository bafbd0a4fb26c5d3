#include "record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

double least(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

double ms_of(size_t samples) { return static_cast<double>(samples) / SAMPLE_RATE * 1000.0; }

// End of speech to final for each utterance of the real-time run, pairing finals with
// utterances in order, so that a host that falls behind still gets its late finals counted;
// -1 where none came.
std::vector<double> final_latencies(const StreamRun& run, const std::vector<Utterance>& utts) {
    std::vector<double> finals;
    for (const Event& e : run.events) {
        if (e.body.value("ev", "") == "final") finals.push_back(e.at_ms);
    }
    std::vector<double> out;
    size_t next = 0;
    for (const Utterance& u : utts) {
        double written = run.chunk_written_ms[(u.end - 1) / CHUNK_SAMPLES];
        while (next < finals.size() && finals[next] <= written) ++next;
        out.push_back(next < finals.size() ? finals[next++] - written : -1);
    }
    return out;
}

}  // namespace

int count_finals(const std::vector<Event>& events) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [](const Event& e) {
        return e.body.value("ev", "") == "final";
    }));
}

std::vector<float> to_float(const std::vector<int16_t>& pcm) {
    std::vector<float> out(pcm.size());
    for (size_t i = 0; i < pcm.size(); ++i) out[i] = static_cast<float>(pcm[i]) / 32768.0f;
    return out;
}

namespace {

struct Latency {
    std::vector<double> lat, floor, gap, gap_seen, decode, above, step_wait, pass;
    int missing = 0;
    size_t utterances = 0;
};

// What the host took, what the library alone needs at least (the pause showing in VAD run on
// ever longer prefixes, then the decode), and the split of the difference into the wait for
// the host's next VAD step and the pass that sees the pause.
Latency measure_latency(Library& lib, const StreamRun& run, const Replay& replay, const std::vector<int16_t>& speech,
                        const std::vector<Utterance>& utts) {
    std::vector<float> audio = to_float(speech);
    std::vector<double> latencies = final_latencies(run, utts);
    Latency l;
    l.utterances = utts.size();
    for (size_t i = 0; i < utts.size(); ++i) {
        if (latencies[i] < 0) {
            ++l.missing;
            continue;
        }
        const std::vector<Cut>& cuts = replay.cuts;
        auto cut = std::find_if(cuts.begin(), cuts.end(), [&](const Cut& c) { return c.pass_end > utts[i].end; });
        if (cut == cuts.end()) continue;
        size_t seen = pause_visible_at(lib, audio, cut->start, utts[i].end);
        if (seen == 0) continue;
        size_t written = std::min(speech.size(), ((utts[i].end - 1) / CHUNK_SAMPLES + 1) * CHUNK_SAMPLES);
        l.lat.push_back(latencies[i]);
        l.gap.push_back(ms_of(seen - written));
        l.floor.push_back(l.gap.back() + cut->decode_ms);
        l.gap_seen.push_back(ms_of(seen - utts[i].end));
        l.decode.push_back(cut->decode_ms);
        l.above.push_back(latencies[i] - l.floor.back());
        l.step_wait.push_back(ms_of(cut->pass_end - seen));
        l.pass.push_back(cut->vad_ms);
        std::fprintf(stderr, "bench: utterance %zu ends at %.2f s: final after %.0f ms, floor %.0f ms\n", i + 1,
                     static_cast<double>(utts[i].end) / SAMPLE_RATE, latencies[i], l.floor.back());
    }
    return l;
}

std::string utterance_count(const Latency& l) {
    std::string n = std::to_string(l.lat.size()) + " of " + std::to_string(l.utterances) + " utterances";
    if (l.missing > 0) n += ", " + std::to_string(l.missing) + " without a final";
    return n;
}

size_t worst_at(const Latency& l) {
    return static_cast<size_t>(std::max_element(l.lat.begin(), l.lat.end()) - l.lat.begin());
}

std::string met(bool ok) { return ok ? "met" : "missed"; }

std::string quoted_first_final(const StreamRun& run) {
    for (const Event& e : run.events) {
        if (e.body.value("ev", "") == "final") return "\"" + e.body.value("text", "") + "\"";
    }
    return "none";
}

// The host's decode times from its metrics, by kind, against the replay's of the same calls.
void decode_rows(Table& t, const std::string& id, const std::string& prefix, const StreamRun& run,
                 const Replay& replay) {
    for (bool final : {false, true}) {
        std::vector<double> host;
        for (const Event& e : run.events) {
            if (e.body.value("ev", "") != "metrics" || (e.body.value("kind", "") == "final") != final) continue;
            host.push_back(e.body.value("decode_ms", 0.0));
        }
        const std::vector<double>& lib = final ? replay.final_ms : replay.partial_ms;
        t.add({id, prefix + (final ? "final" : "partial") + " decode, host, median / worst",
               num(median(host), 0) + " / " + num(worst(host), 0), "ms",
               "library alone, same calls: " + num(median(lib), 0) + " / " + num(worst(lib), 0) + " ms; " +
                   std::to_string(host.size()) + " host decodes, " + std::to_string(lib.size()) + " replayed",
               ratio(median(host), median(lib)), ""});
    }
}

}  // namespace

void latency_rows(Table& t, Library& lib, const Record& r, const std::vector<int16_t>& speech,
                  const std::vector<Utterance>& utts, std::vector<std::string>& problems) {
    Latency l = measure_latency(lib, r.speech, r.speech_replay, speech, utts);
    if (count_finals(r.speech.events) == 0) problems.push_back("no final in the real-time run");
    std::string target = "worst within " + num(FLOOR_TARGET_MS, 0) + " ms of floor";
    if (l.lat.empty()) {
        t.add({"1", "end of speech to final (" + utterance_count(l) + ")", "-", "ms", "", "", target});
        return;
    }
    size_t w = worst_at(l);
    bool ok = worst(l.above) <= FLOOR_TARGET_MS;
    t.add({"1", "end of speech to final, median (" + utterance_count(l) + ")", num(median(l.lat), 0), "ms",
           "floor " + num(median(l.floor), 0) + " ms", ratio(median(l.lat), median(l.floor)), ""});
    t.add({"1", "end of speech to final, worst", num(l.lat[w], 0), "ms", "floor " + num(l.floor[w], 0) + " ms",
           ratio(l.lat[w], l.floor[w]), ""});
    t.add({"1", "floor: 0.85 s pause visible to VAD, after the last speech chunk (median)", num(median(l.gap), 0),
           "ms", "pause seen " + num(median(l.gap_seen), 0) + " ms after the speech", "", ""});
    t.add({"1", "floor: decode of that final, library alone (median)", num(median(l.decode), 0), "ms", "", "", ""});
    t.add({"1", "above floor, median / worst", num(median(l.above), 0) + " / " + num(worst(l.above), 0), "ms", "",
           "", target + ": " + met(ok)});
    t.add({"1", "  of which waiting for the next 0.3 s VAD step, median / worst",
           num(median(l.step_wait), 0) + " / " + num(worst(l.step_wait), 0), "ms", "", "", ""});
    t.add({"1", "  of which the VAD pass that finds the pause, library alone (median)", num(median(l.pass), 0), "ms",
           "", "", ""});
    decode_rows(t, "1", "", r.speech, r.speech_replay);
}

// A real Whisper shape: the same real-time run, its floor, decode times and CPU.
void model_rows(Table& t, Library& lib, const ModelRun& m, const std::vector<int16_t>& speech,
                const std::vector<Utterance>& utts, std::vector<std::string>& problems) {
    std::string prefix = m.name + ": ";
    Latency l = measure_latency(lib, m.speech, m.replay, speech, utts);
    if (count_finals(m.speech.events) == 0) problems.push_back(m.name + ": no final in the real-time run");
    if (l.lat.empty()) {
        t.add({"7", prefix + "end of speech to final (" + utterance_count(l) + ")", "-", "ms", "", "", ""});
    } else {
        size_t w = worst_at(l);
        t.add({"7", prefix + "end of speech to final, median (" + utterance_count(l) + ")", num(median(l.lat), 0),
               "ms",
               "floor " + num(median(l.floor), 0) + " ms (pause visible " + num(median(l.gap), 0) + " + decode " +
                   num(median(l.decode), 0) + "); above floor " + num(median(l.above), 0) + " ms",
               ratio(median(l.lat), median(l.floor)), ""});
        t.add({"7", prefix + "end of speech to final, worst", num(l.lat[w], 0), "ms",
               "floor " + num(l.floor[w], 0) + " ms; above floor at worst " + num(worst(l.above), 0) +
                   " ms; first final " + quoted_first_final(m.speech),
               ratio(l.lat[w], l.floor[w]), ""});
    }
    decode_rows(t, "7", prefix, m.speech, m.replay);
    double host = m.speech.cpu_ms / 1000 / m.speech.audio_s;
    double alone = m.replay.cpu_ms / 1000 / m.speech.audio_s;
    t.add({"7", prefix + "CPU while listening to speech, real time", num(host, 3), "CPU s / audio s",
           "library alone, same pacing " + num(alone, 3) + "; " + std::to_string(m.replay.unmatched) + " of " +
               std::to_string(host_decodes(m.speech.events).size()) + " host decodes unpaired",
           ratio(host, alone), ""});
}

void share_rows(Table& t, const Record& r) {
    std::vector<double> shares, walls, libs;
    int unmatched = 0;
    for (const FastPair& p : r.fast) {
        double lib = p.library.vad_ms + p.library.decode_ms;
        walls.push_back(p.host.wall_ms);
        libs.push_back(lib);
        shares.push_back((p.host.wall_ms - lib) / p.host.wall_ms * 100);
        unmatched += p.library.unmatched;
    }
    const Replay& first = r.fast.front().library;
    std::string runs = std::to_string(r.fast.size()) + (r.fast.size() == 1 ? " run" : " runs, median");
    std::string detail = "library " + num(median(libs), 0) + " ms of " + num(median(walls), 0) + " ms wall (VAD " +
                         num(first.vad_ms, 0) + " ms in " + std::to_string(first.vad_passes) + " passes, decode " +
                         num(first.decode_ms, 0) + " ms in " + std::to_string(first.decodes) + ")";
    if (r.fast.size() > 1) detail += "; runs " + num(least(shares), 2) + " to " + num(worst(shares), 2) + " %";
    detail += "; " + std::to_string(unmatched) + " unpaired decodes";
    t.add({"2", "host share of the work (" + num(r.fast_audio_s, 0) + " s of speech, fast; " + runs + ")",
           num(median(shares), 2), "% of wall", detail, ratio(median(walls), median(libs)), "< 1 %"});
    t.add({"2", "  the same steps through the scripted host (library costs nothing)",
           num(r.scripted_fast.wall_ms / median(walls) * 100, 2), "% of wall",
           num(r.scripted_fast.wall_ms, 0) + " ms wall, the bench's pipe round trips included", "", "< 1 %"});
}

void intake_rows(Table& t, const Record& r) {
    for (size_t i = 0; i < r.intake.size(); ++i) {
        t.add({"3", "intake, scripted library: silence in 100 ms chunks, " + num(INTAKE_WRITES_S[i], 0) + " s a write",
               num(r.intake[i], 0), "x real time", "", "", "> 1000x"});
    }
}

void cost_rows(Table& t, const Record& r) {
    double host_speech = r.speech.cpu_ms / 1000 / r.speech.audio_s;
    double lib_speech = r.speech_replay.cpu_ms / 1000 / r.speech.audio_s;
    t.add({"4", "CPU while listening to speech, real time", num(host_speech, 3), "CPU s / audio s",
           "library alone, same pacing " + num(lib_speech, 3) + "; " + std::to_string(r.speech_replay.unmatched) +
               " of " + std::to_string(host_decodes(r.speech.events).size()) + " host decodes unpaired",
           ratio(host_speech, lib_speech), ""});
    double host_silence = r.silence.cpu_ms / 1000 / r.silence.audio_s;
    double lib_silence = r.silence_replay.cpu_ms / 1000 / r.silence.audio_s;
    t.add({"4", "CPU while listening to silence, real time", num(host_silence, 3), "CPU s / audio s",
           "library alone, same pacing " + num(lib_silence, 3), ratio(host_silence, lib_silence), ""});
    double host_fast = 0, lib_fast = 0;
    for (const FastPair& p : r.fast) {
        host_fast += p.host.cpu_ms / 1000 / r.fast_audio_s / static_cast<double>(r.fast.size());
        lib_fast += p.library.cpu_ms / 1000 / r.fast_audio_s / static_cast<double>(r.fast.size());
    }
    t.add({"4", "CPU as fast as the host takes speech", num(host_fast, 3), "CPU s / audio s",
           "library alone " + num(lib_fast, 3), ratio(host_fast, lib_fast), ""});
    double per_10s = 10000.0 / r.idle_ms;
    t.add({"4", "CPU while idle (configured, nothing sent, " + num(r.idle_ms / 1000, 0) + " s)",
           num(r.idle.cpu_ms * per_10s, 0), "CPU ms / 10 s",
           num(r.idle.cpu_ms, 0) + " ms measured in 10 ms ticks; " +
               num(static_cast<double>(r.idle.wakeups) * per_10s, 0) + " wake-ups / 10 s", "", "< 20 ms"});
    const std::vector<double>& m = r.rss_mb;
    std::string steps;
    for (double mb : m) steps += (steps.empty() ? "" : " ") + num(mb, 1);
    t.add({"5", "resident size after ready", num(m.front(), 1), "MB", "", "", ""});
    t.add({"5", "resident growth over the run (idle, speech, silence, fast)", num(m.back() - m.front(), 1), "MB",
           "MB after ready, idle, speech, silence, each fast run: " + steps + "; library alone grew " +
               num(r.library_growth_mb, 1) + " MB over the speech run", "", "none"});
}

// Back to back, as in a fast run, and after a rest of one VAD step, as at real time, where
// the library's worker threads have gone to sleep; with the host's 2 threads and with one.
void vad_rows(Table& t, Library& lib, const std::vector<float>& speech, const Record& r, int reps) {
    double first = 0;
    auto pass = [&](double seconds, bool rest, bool single) {
        std::vector<double> ms;
        for (int i = 0; i < reps; ++i) {
            if (rest) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ms.push_back(vad_pass_ms(lib, speech.data(), static_cast<size_t>(seconds * SAMPLE_RATE), nullptr, single));
        }
        return median(ms);
    };
    for (double seconds : VAD_LENGTHS_S) {
        double m = pass(seconds, false, false);
        double rested = pass(seconds, true, false);
        if (first == 0) first = m;
        std::string size = num(seconds, 0) + " s buffer";
        t.add({"6", "VAD pass over a " + size + ", library alone, back to back", num(m, 1), "ms",
               num(m / seconds, 2) + " ms per buffered s; 1 thread " + num(pass(seconds, false, true), 1) +
                   " ms, rested " + num(pass(seconds, true, true), 1) + " ms",
               ratio(m, first) + " of 1 s", ""});
        t.add({"6", "VAD pass over a " + size + ", library alone, after a 0.3 s rest", num(rested, 1), "ms",
               "back to back " + num(m, 1) + " ms", ratio(rested, m),
               "within " + num(RESTED_VAD_TARGET, 0) + "x back to back: " + met(rested <= RESTED_VAD_TARGET * m)});
    }
    const std::vector<double>& paced = r.speech_replay.pass_ms;
    t.add({"6", "VAD pass at real-time pacing (replay of the speech run), median / worst",
           num(median(paced), 0) + " / " + num(worst(paced), 0), "ms",
           std::to_string(paced.size()) + " passes over buffers of up to " + num(r.speech_replay.longest_buffer_s, 1) + " s", "", ""});
}
