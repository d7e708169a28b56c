#include "demo/report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace demo {
namespace {

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char u[8];
          std::snprintf(u, sizeof u, "\\u%04x", c);
          out += u;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string List(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); i++) out += (i ? ", \"" : "\"") + Escaped(items[i]) + "\"";
  return out + "]";
}

// The power states visited, each change once: "D0 -> D2 -> D0".
std::string Path(const std::vector<std::string>& states) {
  std::string out;
  for (size_t i = 0; i < states.size(); i++) {
    if (i > 0 && states[i] == states[i - 1]) continue;
    out += (out.empty() ? "" : " -> ") + states[i];
  }
  return out.empty() ? "none" : out;
}

}  // namespace

void PrintSummary(const Options& options, const Stats& stats) {
  std::printf("\n== Summary\n");
  std::printf("  scenario          %s%s\n", options.scenario.c_str(), options.realtime ? " (real-time)" : "");
  std::printf("  bytes out         %zu MIDI bytes in %zu bulk-out transfers of 32\n", stats.bytesOut, stats.transfersOut);
  std::printf("  bytes in          %zu MIDI bytes read back\n", stats.bytesIn);
  if (stats.playedEvents != 0) std::printf("  played            %zu events, %zu bytes\n", stats.playedEvents, stats.playedBytes);
  if (!stats.latencyUs.empty()) {
    std::printf("  to the wire       p50 %.0f us, p99 %.0f us, max %.0f us over %zu sends (%s)\n",
                Percentile(stats.latencyUs, 0.5), Percentile(stats.latencyUs, 0.99),
                *std::max_element(stats.latencyUs.begin(), stats.latencyUs.end()), stats.latencyUs.size(),
                options.realtime ? "USB frame and cable timing" : "no device timing");
  }
  std::printf("  power states      %s\n", Path(stats.powerStates).c_str());
  if (!options.pcap.empty()) std::printf("  USB capture       %zu packets in %s\n", stats.capturedPackets, options.pcap.c_str());
  std::printf("  PnP requests      %zu\n", stats.pnpRequests);
  for (const std::string& f : stats.failures) std::printf("  FAILED            %s\n", f.c_str());
  std::printf("\n== Verifier report\n");
  std::printf("  violations: %zu\n", stats.violations.size());
  for (const std::string& v : stats.violations) std::printf("    %s\n", v.c_str());
  std::printf("  %s\n", stats.ok() ? "clean" : "VIOLATIONS OR FAILURES FOUND");
}

std::string Json(const Options& options, const Stats& stats) {
  std::ostringstream j;
  char product[8];
  std::snprintf(product, sizeof product, "%04X", options.product);
  j << "{\n";
  j << "  \"product\": \"" << product << "\",\n";
  j << "  \"scenario\": \"" << Escaped(options.scenario) << "\",\n";
  j << "  \"realtime\": " << (options.realtime ? "true" : "false") << ",\n";
  j << "  \"ok\": " << (stats.ok() ? "true" : "false") << ",\n";
  j << "  \"bytes_out\": " << stats.bytesOut << ",\n";
  j << "  \"transfers_out\": " << stats.transfersOut << ",\n";
  j << "  \"bytes_in\": " << stats.bytesIn << ",\n";
  j << "  \"played_events\": " << stats.playedEvents << ",\n";
  j << "  \"played_bytes\": " << stats.playedBytes << ",\n";
  j << "  \"latency_us\": {\"count\": " << stats.latencyUs.size() << ", \"p50\": " << Percentile(stats.latencyUs, 0.5)
    << ", \"p99\": " << Percentile(stats.latencyUs, 0.99) << ", \"max\": "
    << (stats.latencyUs.empty() ? 0.0 : *std::max_element(stats.latencyUs.begin(), stats.latencyUs.end())) << "},\n";
  j << "  \"power_states\": " << List(stats.powerStates) << ",\n";
  j << "  \"pnp_requests\": " << stats.pnpRequests << ",\n";
  j << "  \"pcap_packets\": " << stats.capturedPackets << ",\n";
  j << "  \"failures\": " << List(stats.failures) << ",\n";
  j << "  \"violations\": " << List(stats.violations) << "\n";
  j << "}\n";
  return j.str();
}

}  // namespace demo
