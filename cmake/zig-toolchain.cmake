# Cross-compiles with `zig c++` (clang and a static libc++) for an old glibc, so that one wheel
# loads on every Linux of that glibc or newer. scripts/build_wheels.sh writes the wrappers.
#   VORLANE_ZIG_WRAPPERS  folder holding c++, ar and ranlib wrappers for one target
#   VORLANE_ZIG_ARCH      x86_64 or aarch64
# Both come from the environment so that CMake's try_compile projects see them too.
if(NOT DEFINED ENV{VORLANE_ZIG_WRAPPERS} OR NOT DEFINED ENV{VORLANE_ZIG_ARCH})
  message(FATAL_ERROR "zig-toolchain.cmake needs VORLANE_ZIG_WRAPPERS and VORLANE_ZIG_ARCH; use scripts/build_wheels.sh")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{VORLANE_ZIG_ARCH})
set(CMAKE_CXX_COMPILER $ENV{VORLANE_ZIG_WRAPPERS}/c++)
set(CMAKE_AR $ENV{VORLANE_ZIG_WRAPPERS}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB $ENV{VORLANE_ZIG_WRAPPERS}/ranlib CACHE FILEPATH "" FORCE)
# The interpreter and headers found are the build machine's; an abi3 module on Linux needs only
# the headers, which are the same for every architecture.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# zig c++ turns frame pointers on for every build; GCC's release builds leave them off, and the
# hot loops want the register. -O3 here as well as in the Release flags makes CMake's own probe
# links use the same optimised libc++ build as the module, which zig then builds once, not twice.
# clang's inliner, at its default threshold, leaves the per-sample steps of the path walk (the
# turn detector's push) as calls that GCC inlines: the higher threshold takes a short call's
# instruction count from 1.21 to 1.13 times the GCC build's, and changes no floating-point
# operation. (zig hands -O3 to clang as -O2; passing -O3 on with -Xclang gained under 1 % there
# and cost the float32 scan of quiet stretches 7 %, so it is not done.)
set(CMAKE_CXX_FLAGS_INIT "-fomit-frame-pointer -O3 -mllvm -inline-threshold=1000")
# libc++ is linked in statically and leaves operator new and delete with default visibility:
# an extension module exports only its PyInit_ function, so that no other code in the process
# binds to its runtime and its calls into the runtime need no interposable PLT slot.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/module-exports.map")
# zig's runtime answers every CPU feature query with "none", so each [[gnu::target_clones]]
# function would run its baseline clone (the AVX2 scans at SSE2 speed). scripts/build_wheels.sh
# compiles zig-cpu-model.cpp, which answers truly, and every module and library links it in.
if(DEFINED ENV{VORLANE_ZIG_CPU_MODEL})
  string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " $ENV{VORLANE_ZIG_CPU_MODEL}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "$ENV{VORLANE_ZIG_CPU_MODEL}")
endif()
