// Names for reports: routines and variables from the executable's full symbol table (the
// dynamic one lacks static functions), the callers of a kernel call, and objects by name.
#include "kernel/internal.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tb {
namespace {

struct Symbol {
  uintptr_t address;
  size_t size;
  const char* name;  // raw, in the mapped string table
  bool function;
};

// The executable's .symtab, read once and kept mapped.
class SymbolTable {
 public:
  static const SymbolTable& Get() {
    static const SymbolTable* table = new SymbolTable();
    return *table;
  }

  const Symbol* Find(uintptr_t address) const {
    auto it = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                               [](uintptr_t a, const Symbol& s) { return a < s.address; });
    // Zero-sized labels may sit inside a function: look a few symbols further back.
    for (int budget = 8; it != symbols_.begin() && budget > 0; budget--) {
      --it;
      if (address < it->address + std::max<size_t>(it->size, 1)) return &*it;
    }
    return nullptr;
  }

 private:
  SymbolTable() {
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
      close(fd);
      return;
    }
    void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return;
    const auto* base = static_cast<const unsigned char*>(map);
    size_t length = static_cast<size_t>(st.st_size);
    const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(base);
    if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64 ||
        eh->e_shoff == 0 || eh->e_shoff + size_t(eh->e_shnum) * sizeof(Elf64_Shdr) > length) {
      return;
    }
    uintptr_t bias = eh->e_type == ET_DYN ? LoadBias() : 0;
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; i++) {
      const Elf64_Shdr& sh = sections[i];
      if (sh.sh_type != SHT_SYMTAB || sh.sh_link >= eh->e_shnum) continue;
      const Elf64_Shdr& strings = sections[sh.sh_link];
      if (sh.sh_offset + sh.sh_size > length || strings.sh_offset + strings.sh_size > length) continue;
      const auto* syms = reinterpret_cast<const Elf64_Sym*>(base + sh.sh_offset);
      const char* names = reinterpret_cast<const char*>(base + strings.sh_offset);
      size_t count = sh.sh_size / sizeof(Elf64_Sym);
      for (size_t k = 0; k < count; k++) {
        const Elf64_Sym& s = syms[k];
        int type = ELF64_ST_TYPE(s.st_info);
        if ((type != STT_FUNC && type != STT_OBJECT) || s.st_shndx == SHN_UNDEF || s.st_value == 0 ||
            s.st_name >= strings.sh_size || names[s.st_name] == '\0') {
          continue;
        }
        symbols_.push_back(Symbol{bias + s.st_value, s.st_size, names + s.st_name, type == STT_FUNC});
      }
    }
    // Larger symbols first among those at one address, so that Find prefers the one covering it.
    std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) {
      return a.address != b.address ? a.address < b.address : a.size < b.size;
    });
  }

  static uintptr_t LoadBias() {
    uintptr_t bias = 0;
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* out) {
          *static_cast<uintptr_t*>(out) = info->dlpi_addr;
          return 1;  // the first object is the executable
        },
        &bias);
    return bias;
  }

  std::vector<Symbol> symbols_;
};

std::string Demangle(const char* raw) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled != nullptr) ? demangled : raw;
  std::free(demangled);
  return name;
}

// "long tb::RunDriverRoutine<...>(void const*, ...)" -> "tb::RunDriverRoutine<...>": the
// parameters and a template's return type go, lambdas and namespaces stay.
std::string ShortName(std::string name) {
  const std::string anonymous = "(anonymous namespace)::";
  for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  int angle = 0;
  int brace = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); i++) {
    char c = name[i];
    if (c == '<') angle++;
    if (c == '>' && angle > 0) angle--;
    if (c == '{') brace++;
    if (c == '}' && brace > 0) brace--;
    if (angle == 0 && brace == 0) {
      if (c == ' ') start = i + 1;
      if (c == '(') {
        name = name.substr(start, i - start);
        break;
      }
    }
  }
  return name;
}

// Where the executable (the test bed, the driver and the tests) is loaded.
const void* ExecutableBase() {
  static const void* base = [] {
    Dl_info info{};
    return dladdr(reinterpret_cast<const void*>(&Hex), &info) != 0 ? info.dli_fbase : nullptr;
  }();
  return base;
}

struct Resolved {
  std::string name;   // short name, empty when unknown
  bool fromTable;     // our symbol table, which knows where each symbol ends
  bool inExecutable;  // not a shared library
  bool cLinkage;      // not a C++ mangled name
  uintptr_t offset;   // into the symbol
};

std::string Offset(uintptr_t offset) {
  char text[32];
  std::snprintf(text, sizeof text, "+0x%zx", static_cast<size_t>(offset));
  return text;
}

// The dynamic symbol table knows no sizes: an address past an exported symbol's start may be in
// a static function after it, so the name says how far it is ("SendBytes+0x4c"), as a
// debugger would.
std::string Display(const Resolved& r) {
  return r.fromTable || r.offset == 0 ? r.name : r.name + Offset(r.offset);
}

Resolved Resolve(const void* address, bool functionsOnly) {
  auto a = reinterpret_cast<uintptr_t>(address);
  if (const Symbol* s = SymbolTable::Get().Find(a); s != nullptr && (s->function || !functionsOnly)) {
    bool mangled = std::strncmp(s->name, "_Z", 2) == 0;
    return Resolved{ShortName(Demangle(s->name)), true, true, !mangled, a - s->address};
  }
  // Without a symbol table (a stripped executable) the dynamic one still names what is exported.
  Dl_info info{};
  if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
    bool mangled = std::strncmp(info.dli_sname, "_Z", 2) == 0;
    return Resolved{ShortName(Demangle(info.dli_sname)), false, info.dli_fbase == ExecutableBase(), !mangled,
                    a - reinterpret_cast<uintptr_t>(info.dli_saddr)};
  }
  return Resolved{"", false, false, false, 0};
}

// The platform's exported routines: Ke..., Io..., USBD_... and the test bed's Tb... helpers.
bool IsPlatformName(const std::string& name) {
  static const char* const prefixes[] = {"Dbg", "Ex", "Hal", "Io", "Ke", "Kf", "Mm", "Nt", "Ob",
                                         "Po",  "Ps", "Rtl", "Se", "Tb", "Wmi", "Zw"};
  if (name.rfind("USBD_", 0) == 0) return true;
  for (const char* p : prefixes) {
    size_t n = std::strlen(p);
    if (name.size() > n && name.compare(0, n, p) == 0) {
      // Iof..., Obf..., Exf...: an optional lower-case 'f' before the capital.
      size_t next = n;
      if (name[next] == 'f' && name.size() > next + 1) next++;
      if (name[next] >= 'A' && name[next] <= 'Z') return true;
    }
  }
  return false;
}

enum class FrameKind { Kernel, Plumbing, Stop, Caller };

FrameKind Classify(const Resolved& r) {
  if (r.name.empty()) return FrameKind::Stop;
  if (r.name.rfind("tb::", 0) == 0) return FrameKind::Kernel;
  // An exported routine, or a lambda inside one ("IofCallDriver::{lambda()#1}").
  size_t scope = r.name.find("::");
  if ((r.cLinkage || scope != std::string::npos) && IsPlatformName(r.name.substr(0, scope))) return FrameKind::Kernel;
  if (r.name.rfind("std::", 0) == 0 || r.name.rfind("__gnu_cxx::", 0) == 0) return FrameKind::Plumbing;
  if (r.name.rfind("testing::", 0) == 0 || !r.inExecutable || r.name == "main") return FrameKind::Stop;
  return FrameKind::Caller;
}

ExtensionFieldNamer gNamer;
std::mutex gNamerLock;

}  // namespace

std::string Hex(const void* p) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", p);
  return buffer;
}

std::string SymbolName(const void* address) {
  if (address == nullptr) return "(null)";
  Resolved r = Resolve(address, true);
  return r.name.empty() ? Hex(address) : Display(r);
}

CallSite CaptureCallSite() {
  CallSite site;
  site.count = backtrace(site.pcs, static_cast<int>(sizeof site.pcs / sizeof site.pcs[0]));
  return site;
}

std::string CallerChain(const CallSite& site) {
  std::string chain;
  int callers = 0;
  bool leftKernel = false;
  for (int i = 0; i < site.count && callers < 5; i++) {
    // A return address is one past the call: step back into the calling instruction.
    const void* pc = static_cast<const char*>(site.pcs[i]) - (i == 0 ? 0 : 1);
    Resolved r = Resolve(pc, true);
    FrameKind kind = Classify(r);
    if (kind == FrameKind::Plumbing) continue;
    if (!leftKernel) {
      // A sanitizer's interceptor of backtrace itself comes first, outside the executable.
      if (kind == FrameKind::Kernel || !r.inExecutable) continue;
      leftKernel = true;
    }
    if (kind != FrameKind::Caller) break;
    if (!chain.empty()) chain += " <- ";
    chain += Display(r);
    callers++;
  }
  return chain;
}

void SetExtensionFieldNamer(ExtensionFieldNamer namer) {
  KernelLock guard(gNamerLock);
  gNamer = std::move(namer);
}

std::string ObjectName(const void* address) {
  if (address == nullptr) return "(null)";
  if (address == CancelLock()) return "the cancel spin lock";
  size_t offset = 0;
  if (PDEVICE_OBJECT device = ExtensionOwner(address, &offset); device != nullptr) {
    ExtensionFieldNamer namer;
    {
      KernelLock guard(gNamerLock);
      namer = gNamer;
    }
    std::string field = namer ? namer(device, offset) : std::string();
    if (field.empty()) {
      field = "extension" + Offset(offset);
    }
    std::string name = Narrow(DeviceName(device));
    return field + " of device " + Hex(device) + (name.empty() ? "" : " " + name);
  }
  if (std::string thread = ThreadObjectName(address); !thread.empty()) return thread;
  if (std::string block = PoolBlockName(address); !block.empty()) return block;
  Resolved r = Resolve(address, false);
  if (!r.name.empty() && r.inExecutable) return r.offset == 0 ? r.name : r.name + Offset(r.offset);
  return Hex(address);
}

}  // namespace tb
