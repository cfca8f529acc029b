// CPU feature detection for `[[gnu::target_clones]]` resolvers in the zig build. zig's own
// runtime defines __cpu_model and __cpu_indicator_init only as weak stubs that report no
// features, so every multiversioned function would run its baseline clone; these strong
// definitions, linked into each module, report what the CPU and the OS really support.
// The layout and bit numbers are those the compiler's resolvers read (LLVM's and GCC's agree).
#if defined(__x86_64__)
#include <cpuid.h>

namespace {

enum Feature : unsigned {
    CMOV = 0,
    MMX = 1,
    POPCNT = 2,
    SSE = 3,
    SSE2 = 4,
    SSE3 = 5,
    SSSE3 = 6,
    SSE4_1 = 7,
    SSE4_2 = 8,
    AVX = 9,
    AVX2 = 10,
    FMA = 14,
    BMI = 16,
    BMI2 = 17,
};
enum Vendor : unsigned { INTEL = 1, AMD = 2, OTHER = 3 };

constexpr unsigned bit(unsigned value, unsigned position) { return (value >> position) & 1u; }

// The OS saves the YMM registers on a context switch only if it enabled them in XCR0.
bool os_saves_ymm() {
    unsigned eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (eax & 0x6u) == 0x6u;
}

}  // namespace

extern "C" {

struct ProcessorModel {
    unsigned vendor;
    unsigned type;
    unsigned subtype;
    unsigned features[1];
};

__attribute__((visibility("hidden"))) ProcessorModel __cpu_model = {0, 0, 0, {0}};
__attribute__((visibility("hidden"))) unsigned __cpu_features2[4] = {0, 0, 0, 0};

__attribute__((visibility("hidden"), constructor(101))) int __cpu_indicator_init() {
    if (__cpu_model.vendor != 0) return 0;
    unsigned max_leaf = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &max_leaf, &ebx, &ecx, &edx) || max_leaf < 1) {
        __cpu_model.vendor = OTHER;
        return -1;
    }
    const bool intel = ebx == 0x756e6547u && edx == 0x49656e69u && ecx == 0x6c65746eu;
    const bool amd = ebx == 0x68747541u && edx == 0x69746e65u && ecx == 0x444d4163u;
    unsigned eax1 = 0, ebx1 = 0, ecx1 = 0, edx1 = 0;
    __get_cpuid(1, &eax1, &ebx1, &ecx1, &edx1);
    unsigned f = 0;
    f |= bit(edx1, 15) << CMOV | bit(edx1, 23) << MMX | bit(edx1, 25) << SSE |
         bit(edx1, 26) << SSE2 | bit(ecx1, 0) << SSE3 | bit(ecx1, 9) << SSSE3 |
         bit(ecx1, 19) << SSE4_1 | bit(ecx1, 20) << SSE4_2 | bit(ecx1, 23) << POPCNT;
    const bool avx = bit(ecx1, 28) && bit(ecx1, 27) && os_saves_ymm();
    if (avx) f |= 1u << AVX | bit(ecx1, 12) << FMA;
    if (max_leaf >= 7) {
        unsigned eax7 = 0, ebx7 = 0, ecx7 = 0, edx7 = 0;
        __cpuid_count(7, 0, eax7, ebx7, ecx7, edx7);
        f |= bit(ebx7, 3) << BMI | bit(ebx7, 8) << BMI2;
        if (avx) f |= bit(ebx7, 5) << AVX2;
    }
    __cpu_model.features[0] = f;
    __cpu_model.vendor = intel ? INTEL : amd ? AMD : OTHER;
    return 0;
}

}  // extern "C"
#endif
