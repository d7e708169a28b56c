// The main job: the driver in the test bed on a simulated USB MIDI interface, with a client at
// work on it and the verifier on throughout. See --help.
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "demo/options.h"
#include "demo/report.h"
#include "demo/scenarios.h"
#include "demo/session.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  std::optional<demo::Options> parsed = demo::Parse(args, &error);
  if (!parsed) {
    std::fprintf(stderr, "usbmidi-demo: %s\n", error.c_str());
    return 2;
  }
  const demo::Options& options = *parsed;
  if (options.help) {
    std::printf("%s", demo::HelpText().c_str());
    return 0;
  }
  if (options.listScenarios) {
    for (const demo::Scenario& s : demo::Scenarios()) std::printf("  %-18s %s\n", s.name, s.what);
    return 0;
  }
  const demo::Scenario* scenario = demo::FindScenario(options.scenario);
  if (scenario == nullptr) {
    std::fprintf(stderr, "usbmidi-demo: no scenario '%s' (see --list-scenarios)\n", options.scenario.c_str());
    return 2;
  }
  if (options.play && !options.playFile.empty()) {
    std::ifstream probe(options.playFile, std::ios::binary);
    if (!probe) {
      std::fprintf(stderr, "usbmidi-demo: --play: cannot read '%s'\n", options.playFile.c_str());
      return 2;
    }
  }
  std::unique_ptr<capture::UsbCapture> capture;
  if (!options.pcap.empty()) {
    std::string reason;
    capture = capture::UsbCapture::Create(options.pcap, &reason);
    if (!capture) {
      std::fprintf(stderr, "usbmidi-demo: --pcap: cannot write '%s': %s\n", options.pcap.c_str(), reason.c_str());
      return 2;
    }
  }
  demo::Stats stats;
  {
    demo::Session session(options, capture.get());
    scenario->run(session);
    session.Finish();
    stats = session.stats();
  }
  demo::PrintSummary(options, stats);
  if (!options.json.empty()) {
    std::ofstream out(options.json);
    out << demo::Json(options, stats);
    if (!out) {
      std::fprintf(stderr, "usbmidi-demo: --json: cannot write '%s'\n", options.json.c_str());
      return 2;
    }
  }
  return stats.ok() ? 0 : 1;
}
