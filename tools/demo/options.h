// The main job's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace demo {

struct Options {
  uint16_t product = 0x0001;
  std::vector<uint8_t> send;     // --send: bytes to send through every client path
  bool play = false;             // --play [FILE]
  std::string playFile;          // empty: the shipped example
  std::string scenario = "client";
  bool listScenarios = false;
  std::string pcap;              // --pcap FILE
  bool realtime = false;
  std::string json;              // --json FILE
  bool quiet = false;
  bool breakARule = false;       // leaves a pool block behind: shows the report failing the run
  bool help = false;
};

// Parses the arguments; on bad input returns nothing and sets `error` to one line naming it.
std::optional<Options> Parse(const std::vector<std::string>& args, std::string* error);
// Bytes written as amidi writes them: hex pairs, spaces optional ("90 3C 64", "903C64").
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text, std::string* error);
std::string HelpText();

}  // namespace demo
