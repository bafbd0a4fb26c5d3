// What the parent may rely on for every line the host writes, whatever it was sent: one
// complete, valid UTF-8, compact JSON object that is one of the documented events.
#pragma once

#include <string>

namespace storm {

bool is_valid_utf8(const std::string& bytes);

// Empty when the line is a well-formed documented event, else what is wrong with it.
std::string event_problem(const std::string& line);

// The exit status that must follow a fatal error of this code; 0 when the code is not fatal.
int fatal_status(const std::string& code);

}  // namespace storm
