#include "demo/options.h"

#include <cctype>

namespace demo {
namespace {

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// The whitespace-separated word of `text` that holds position `at`, for an error message.
std::string WordAt(const std::string& text, size_t at) {
  size_t start = at, end = at;
  while (start > 0 && !std::isspace(static_cast<unsigned char>(text[start - 1]))) start--;
  while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) end++;
  return text.substr(start, end - start);
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text, std::string* error) {
  std::vector<uint8_t> bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[i]))) {
      i++;
      continue;
    }
    // A byte is exactly two hex digits; "3" before a space or a "3G" is nobody's byte.
    if (i + 1 >= text.size() || !IsHex(text[i]) || !IsHex(text[i + 1])) {
      *error = "'" + WordAt(text, i) + "' is not a byte in hex (two digits, 00 to FF)";
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
    i += 2;
  }
  if (bytes.empty()) {
    *error = "no bytes given";
    return std::nullopt;
  }
  return bytes;
}

std::optional<Options> Parse(const std::vector<std::string>& args, std::string* error) {
  Options o;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> std::optional<std::string> {
      if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) {
        *error = a + ": " + what + " expected";
        return std::nullopt;
      }
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--break-a-rule") {
      o.breakARule = true;
    } else if (a == "--realtime") {
      o.realtime = true;
    } else if (a == "--list-scenarios") {
      o.listScenarios = true;
    } else if (a == "--product") {
      auto v = value("a product ID in hex");
      if (!v) return std::nullopt;
      std::string digits = v->rfind("0x", 0) == 0 || v->rfind("0X", 0) == 0 ? v->substr(2) : *v;
      bool hex = !digits.empty() && digits.size() <= 4;
      for (char c : digits) hex = hex && IsHex(c);
      if (!hex) {
        *error = "--product: '" + *v + "' is not a product ID in hex (0000 to FFFF)";
        return std::nullopt;
      }
      o.product = static_cast<uint16_t>(std::stoul(digits, nullptr, 16));
    } else if (a == "--send") {
      auto v = value("bytes in hex");
      if (!v) return std::nullopt;
      std::string why;
      auto bytes = ParseHexBytes(*v, &why);
      if (!bytes) {
        *error = "--send: " + why;
        return std::nullopt;
      }
      o.send = *bytes;
    } else if (a == "--play") {
      o.play = true;
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) o.playFile = args[++i];
    } else if (a == "--scenario") {
      auto v = value("a scenario name (see --list-scenarios)");
      if (!v) return std::nullopt;
      o.scenario = *v;
    } else if (a == "--pcap") {
      auto v = value("a file name");
      if (!v) return std::nullopt;
      o.pcap = *v;
    } else if (a == "--json") {
      auto v = value("a file name");
      if (!v) return std::nullopt;
      o.json = *v;
    } else {
      *error = "unknown option '" + a + "' (see --help)";
      return std::nullopt;
    }
  }
  return o;
}

std::string HelpText() {
  return R"(usage: usbmidi-demo [options]

Loads the driver into the test bed, plugs in a simulated USB MIDI interface and runs a client on
it from open to close, with the verifier on throughout. Exits non-zero on any verifier violation,
or when the bytes sent did not all come back.

  --product ID        the interface's USB product ID in hex (default 0001; 0003 is the second
                      product, anything else an unsupported device)
  --send "90 3C 64"   the bytes the client sends, as amidi writes them (hex pairs, spaces optional)
  --play [FILE.mid]   play a Standard MIDI File through the direct-call interface (default: the
                      shipped example, tools/smf/phrase.mid)
  --scenario NAME     what happens to the device (default: client; see --list-scenarios)
  --list-scenarios    list the scenarios and what each shows
  --pcap FILE         write the USB traffic as a USBPcap capture (Wireshark, tshark)
  --realtime          USB full-speed frame timing and a device that plays MIDI at the cable's
                      3,125 bytes a second; playback at the file's tempo
  --json FILE         the run's report as JSON
  --quiet             the summary only
  --help              this text
)";
}

}  // namespace demo
