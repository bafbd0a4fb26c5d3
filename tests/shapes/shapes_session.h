// The real host with synthetic models of the official Whisper shapes: one spoken utterance
// streamed through them must come out as the generated phrase, as with the small default model.
#pragma once

#include <string>

#include "real_session.h"

namespace shapes {

// A model file made by a test, removed again when the test is done with it: the larger shapes
// run to gigabytes.
struct ScratchModel {
    std::string path;

    explicit ScratchModel(const std::string& name);
    ~ScratchModel();
    ScratchModel(const ScratchModel&) = delete;
    ScratchModel& operator=(const ScratchModel&) = delete;
};

// Runs tools/make_model with these arguments into `model`.
void make_model(const ScratchModel& model, const std::string& args);

}  // namespace shapes
