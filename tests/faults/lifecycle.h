// The whole life of one interface, from plug to unload, as a sequence of steps whose outcome the
// caller saw, for runs under a low-resources plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testbed.h"

namespace lifecycle {

struct Step {
  std::string name;
  bool succeeded = false;      // what the caller was told
  uint64_t injectedBefore = 0; // injected failures before the step began
  uint64_t injectedDuring = 0; // injected failures while it ran
  std::string note;
};

struct Outcome {
  std::vector<Step> steps;
  std::vector<std::string> violations;
  // Where the caller was told one thing and the device did another, or the run went wrong.
  std::vector<std::string> faults;
  uint64_t allocations = 0;
  uint64_t byKind[5] = {};
  uint64_t injected = 0;
  size_t poolLeft = 0;   // blocks outstanding after both drivers unloaded
  std::string Describe() const;
};

// Boots a fresh kernel, sets `plan` before the first driver loads, runs the lifecycle and shuts
// the kernel down again. Repeatable in one process.
Outcome Run(const tb::FaultPlan& plan);

}  // namespace lifecycle
