// The layout table: layout_list.h evaluated against whichever kernel headers the include path
// gives, stored as fixed-size records in the object's .laytab section. Nothing runs; the
// records are constants the compiler worked out, read back with objcopy by compare_layout.py.
//
// Built once per header set and compiler: the test bed's headers (host compiler, or i686
// mingw-w64) and the published DDK headers (mingw-w64, with the driver's own flags). It sees
// the headers exactly as the driver does, through driver/kernel.h.
#include "kernel.h"

#if defined(TB_EXTERN_C_BEGIN)
#define LAYOUT_HEADER_SET "testbed"
#else
#define LAYOUT_HEADER_SET "published"
#endif

namespace {

struct LayoutRecord {
  char kind[8];     // "set", "value" or "excuse"
  char name[120];
  char note[120];   // the header set, or an excuse's reason
  long long value;
};

template <typename T>
struct ObjectBytes {
  unsigned char b[sizeof(T)];
};

// First bit of a bit-field: set it alone and look for it in the object's bytes.
template <typename T, typename Set>
constexpr long long FirstBit(Set set) {
  T object{};
  set(object);
  ObjectBytes<T> bytes = __builtin_bit_cast(ObjectBytes<T>, object);
  for (unsigned i = 0; i < sizeof(T); i++) {
    for (int bit = 0; bit < 8; bit++) {
      if (bytes.b[i] & (1u << bit)) return static_cast<long long>(i) * 8 + bit;
    }
  }
  return -1;
}

constexpr long long CountBits(unsigned long long v) {
  long long n = 0;
  for (; v != 0; v >>= 1) n += static_cast<long long>(v & 1);
  return n;
}

#define L_RECORD(name, value) {"value", name, "", static_cast<long long>(value)},
#define L_TYPE(T) L_RECORD("sizeof(" #T ")", sizeof(T)) L_RECORD("alignof(" #T ")", alignof(T))
#define L_FIELD(T, m)                                    \
  L_RECORD("offsetof(" #T ", " #m ")", __builtin_offsetof(T, m)) \
  L_RECORD("sizeof(" #T "." #m ")", sizeof(static_cast<T*>(nullptr)->m))
#define L_BITS(T, m)                                                          \
  L_RECORD("bit(" #T "." #m ")", FirstBit<T>([](T& t) { t.m = 1; }))         \
  L_RECORD("width(" #T "." #m ")", ([] {                                      \
             T t{};                                                           \
             t.m = 0;                                                         \
             t.m = t.m - 1;                                                   \
             return CountBits(static_cast<unsigned long long>(t.m));          \
           }()))
#define L_VALUE(...) L_RECORD(#__VA_ARGS__, (__VA_ARGS__))
#define L_EXCUSE(record, reason) {"excuse", record, reason, 0},
#define L_SKIP(name, reason)

// constexpr: a record the compiler cannot work out is an error, never a run-time initializer.
__attribute__((section(".laytab"), used)) constexpr LayoutRecord kLayoutTable[] = {
    {"set", "headers", LAYOUT_HEADER_SET, 0},
    L_RECORD("sizeof(void*)", sizeof(void*))
#include "layout_list.h"
};

}  // namespace
