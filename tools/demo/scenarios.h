// The main job's scenarios: what happens to the simulated interface while the client uses it.
#pragma once

#include <string>
#include <vector>

#include "demo/session.h"

namespace demo {

struct Scenario {
  const char* name;
  const char* what;
  void (*run)(Session& session);
};

const std::vector<Scenario>& Scenarios();
const Scenario* FindScenario(const std::string& name);

// The built-in phrase: a chord, a melody, the chord released.
Bytes DefaultPhrase();

// Plays a Standard MIDI File through the direct-call Write (at the file's tempo with --realtime,
// as fast as the driver takes it otherwise), measuring each event's delay from its due time to its
// last byte on the wire.
void Play(Session& session, const std::string& file);

}  // namespace demo
