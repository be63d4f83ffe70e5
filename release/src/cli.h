// How the tool's commands end: a refusal (exit 1) or a wrong usage (exit 2),
// each with one line on stderr.
#pragma once

#include <string>

namespace orv {

int Fail(const std::string& command, const std::string& message);
int Usage(const std::string& message);

}  // namespace orv
