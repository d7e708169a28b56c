// The run's closing summary, and the same as JSON for scripts and CI.
#pragma once

#include <string>

#include "demo/session.h"

namespace demo {

void PrintSummary(const Options& options, const Stats& stats);
// The report as one JSON object.
std::string Json(const Options& options, const Stats& stats);

}  // namespace demo
