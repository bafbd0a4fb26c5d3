// tiny and base shapes, English-only and multilingual, through the real decoder: the special
// token ids that the path follows move with the vocabulary, and every extra layer must stay an
// identity, or the phrase does not come out.
#include "shapes_session.h"

namespace {

using namespace real;
using nlohmann::json;

struct ShapeCase {
    const char* name;
    const char* model;
    json settings;
};

TEST_F(RealSpeech, WhisperShapedModelsSayTheirPhrase) {
    const json multilingual_auto = {
        {"backend", "cpu"}, {"threads", 1}, {"language", "auto"}, {"beam_size", 2}};
    const std::vector<ShapeCase> cases = {
        {"tiny, English-only", TINY_EN_MODEL, STREAM_SETTINGS},
        {"base, multilingual, English asked", BASE_MODEL, STREAM_SETTINGS},
        {"base, multilingual, language detected, beam search", BASE_MODEL, multilingual_auto},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_phrase_once(stream_utterance(c.model, c.settings));
    }
}

}  // namespace
