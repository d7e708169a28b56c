// Debug output, the run-time library's string routines, settings and the kernel's lifetime.
#include "internal.h"

#include <cstdarg>
#include <cstdio>

namespace tb {
namespace {
std::mutex gDebugLock;
std::vector<std::string> gDebug;
Settings gSettings;
}  // namespace

Settings& GetSettings() { return gSettings; }

std::vector<std::string> DebugOutput() {
  KernelLock guard(gDebugLock);
  return gDebug;
}

void ClearDebugOutput() {
  KernelLock guard(gDebugLock);
  gDebug.clear();
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += (c < 128) ? static_cast<char>(c) : '?';
  return out;
}

std::u16string Widen(const std::string& s) {
  std::u16string out;
  for (unsigned char c : s) out += static_cast<char16_t>(c);
  return out;
}

void ResetKernel() {
  StartWatchdog();
  ResetForcePending();
  JoinSystemThreads(gSettings.hangLimitMs);
  StopPowerWorker();
  ResetIo();
  ResetObjects();
  ResetPool();
  ResetThreads();
  ResetPower();
  ResetGuarded();
  ResetIrql();
  ResetVerifier();
  ClearFaults();
  ClearDebugOutput();
  ThreadState& ts = Current();
  ts.irql = PASSIVE_LEVEL;
  {
    KernelLock guard(ts.watch);
    ts.held.clear();
  }
  ts.frames.clear();
}

void ShutdownKernel() {
  ShutdownForcePending();
  JoinSystemThreads(gSettings.hangLimitMs);
  CheckHandleLeaks("kernel shutdown");
  // A leak no unload or removal has reported yet still belongs to this test, not the next.
  CheckNewPoolLeaks("kernel shutdown");
  // Release what the kernel still holds (quarantined IRPs, deleted devices, leaked pool) so that
  // the host's own leak checker sees only the test bed's real leaks. The verifier's log stays.
  StopPowerWorker();
  ResetIo();
  ResetObjects();
  ResetPool();
  ResetThreads();
  ResetPower();
  ResetGuarded();
}

}  // namespace tb

using namespace tb;

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, Format);
  int n = std::vsnprintf(buffer, sizeof buffer, Format, args);
  va_end(args);
  {
    KernelLock guard(gDebugLock);
    gDebug.emplace_back(buffer);
  }
  if (gSettings.echoDebugPrint) std::fprintf(stderr, "%s\n", buffer);
  return n < 0 ? 0 : static_cast<ULONG>(n);
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t n = 0;
  if (SourceString != nullptr) {
    while (SourceString[n] != 0) n++;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? (n + 1) * sizeof(WCHAR) : 0);
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                    : DestinationString->MaximumLength;
  std::memcpy(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

}  // extern "C"
