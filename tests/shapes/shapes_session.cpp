#include "shapes_session.h"

#include <cstdio>
#include <stdexcept>

namespace shapes {

using namespace real;

ScratchModel::ScratchModel(const std::string& name) : path(scratch_path(name)) { std::remove(path.c_str()); }

ScratchModel::~ScratchModel() { std::remove(path.c_str()); }

void make_model(const ScratchModel& model, const std::string& args) {
    run(quoted(MAKE_MODEL_EXE) + " --out " + quoted(model.path) + " " + args);
}

}  // namespace shapes
