// Loads the driver into the test bed, shows what it did, and prints the verifier's report.
// Exits non-zero when the verifier saw a violation.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/driver.h"
#include "testbed.h"

namespace {

const char* MajorName(int major) {
  switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return nullptr;
  }
}

void Usage() {
  std::printf("usage: usbmidi-demo [--quiet]\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else {
      Usage();
      return 2;
    }
  }
  tb::ResetKernel();
  int violations = 0;
  tb::SetViolationHandler([&](const tb::Violation& v) {
    violations++;
    std::printf("%s\n", v.ToString().c_str());
  });

  std::printf("== Loading the driver\n");
  PDRIVER_OBJECT driver = tb::LoadDriver(DriverEntry, u"usbmidi");
  for (const std::string& line : tb::DebugOutput()) std::printf("debug output: \"%s\"\n", line.c_str());

  if (!quiet) {
    std::printf("\n== Dispatch table\n");
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
      const char* name = MajorName(major);
      if (name == nullptr) continue;
      std::printf("  %-32s -> %s\n", name, tb::SymbolName(reinterpret_cast<const void*>(driver->MajorFunction[major])).c_str());
    }
    std::printf("  %-32s -> %s\n", "AddDevice",
                tb::SymbolName(reinterpret_cast<const void*>(driver->DriverExtension->AddDevice)).c_str());
    std::printf("  %-32s -> %s\n", "DriverUnload", tb::SymbolName(reinterpret_cast<const void*>(driver->DriverUnload)).c_str());
  }

  std::printf("\n== Unloading the driver\n");
  tb::UnloadDriver(driver);
  size_t pool = tb::OutstandingPool().size();
  tb::ShutdownKernel();

  std::printf("\n== Verifier report\n");
  std::printf("  violations: %d\n  pool blocks left: %zu\n", violations, pool);
  std::printf("  %s\n", violations == 0 ? "clean" : "VIOLATIONS FOUND");
  return violations == 0 ? 0 : 1;
}
