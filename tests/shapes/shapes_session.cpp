#include "shapes_session.h"

#include <cstdio>
#include <stdexcept>

namespace shapes {

using namespace real;

namespace {

const Samples& utterance() {
    static const Samples spoken = speak("the quick brown fox jumps over the lazy dog");
    return spoken;
}

}  // namespace

ScratchModel::ScratchModel(const std::string& name) : path(scratch_path(name)) { std::remove(path.c_str()); }

ScratchModel::~ScratchModel() { std::remove(path.c_str()); }

void make_model(const ScratchModel& model, const std::string& args) {
    run(quoted(MAKE_MODEL_EXE) + " --out " + quoted(model.path) + " " + args);
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

}  // namespace shapes
