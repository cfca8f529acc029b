// Time of each annotation stage, for float and double, on scan paths written by bench/paths.py
// (raw little-endian float64: all of x, then all of y), beside a one-pass read/write floor.
//
//   stage_bench --path plain=FILE [--path noisy=FILE ...] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/annotate.hpp"
#include "annotation/passes/chunked_pass.hpp"
#include "annotation/passes/fused_pass.hpp"
#include "annotation/passes/pooled_ids.hpp"
#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"
#include "platform/pool.hpp"

namespace {

using namespace vorlane;

struct PathFile {
    std::string label;
    std::string file;
};

std::vector<double> read_doubles(const std::string& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot open " + file);
    const auto bytes = static_cast<std::size_t>(in.tellg());
    if (bytes % (2 * sizeof(double)) != 0) throw std::runtime_error(file + " is not a path file");
    std::vector<double> values(bytes / sizeof(double));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(bytes));
    return values;
}

struct FreeDeleter {
    void operator()(std::int32_t* p) const noexcept { std::free(p); }
};
using IdBuffer = std::unique_ptr<std::int32_t[], FreeDeleter>;

// The boundary hands the driver a fresh, untouched NumPy buffer, whose pages are first touched
// by the pass that writes the ids. NumPy asks for transparent huge pages from 4 MiB on, and
// page faults are a large part of a pass here, so the same is done for a fair comparison.
IdBuffer fresh_ids(std::uint64_t n) {
    const std::size_t bytes = std::max<std::size_t>(1, n * sizeof(std::int32_t));
    IdBuffer ids(static_cast<std::int32_t*>(std::malloc(bytes)));
    if (!ids) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes >= (std::size_t(4) << 20)) {
        const auto address = reinterpret_cast<std::uintptr_t>(ids.get());
        const std::uintptr_t page = 4096;
        const std::uintptr_t aligned = (address + page - 1) & ~(page - 1);
        madvise(reinterpret_cast<void*>(aligned), bytes - (aligned - address), MADV_HUGEPAGE);
    }
#endif
    return ids;
}

// Every stage's input, computed once so that each benchmark times one stage alone.
template <typename T>
struct StageInputs {
    std::vector<T> x;
    std::vector<T> y;
    CoordinateView<T> x_view;
    CoordinateView<T> y_view;
    FilteredList<T> a;
    FilteredList<T> b;
    TurningListPair<T> lists;
    TurningList<T> turns;
    T threshold{};

    explicit StageInputs(const std::string& file) {
        const std::vector<double> xy = read_doubles(file);
        const std::size_t n = xy.size() / 2;
        // The same rounding as NumPy's astype: nearest, ties to even.
        x.assign(xy.begin(), xy.begin() + static_cast<std::ptrdiff_t>(n));
        y.assign(xy.begin() + static_cast<std::ptrdiff_t>(n), xy.end());
        x_view = {x.data(), n, 1};
        y_view = {y.data(), n, 1};
        a = collapse_x(x_view, y_view);
        b = collapse_y(a);
        lists = find_turning_points(b);
        turns = order_turning_points(TurningListPair<T>(lists));
        threshold = compute_segment_threshold(turns);
    }

    std::uint64_t n() const { return x.size(); }
};

template <typename T>
void set_per_sample(benchmark::State& state, const StageInputs<T>& in, double records) {
    // Seconds per sample, shown with an SI prefix (for instance 8.8ns).
    state.counters["per_sample"] = benchmark::Counter(
        static_cast<double>(in.n()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["records"] = records;
}

template <typename T>
void register_path(const PathFile& path) {
    // Shared by the stages of this path and type; read on first use, kept to the end.
    auto inputs = std::make_shared<std::unique_ptr<StageInputs<T>>>();
    auto get = [inputs, file = path.file]() -> const StageInputs<T>& {
        if (!*inputs) *inputs = std::make_unique<StageInputs<T>>(file);
        return **inputs;
    };
    const std::string type = sizeof(T) == 4 ? "float" : "double";
    auto add = [&](const std::string& stage, auto body) {
        benchmark::RegisterBenchmark((stage + "/" + type + "/" + path.label).c_str(),
                                     [get, body](benchmark::State& state) { body(state, get()); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };

    add("floor", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) {
            auto ids = fresh_ids(in.n());
            for (std::uint64_t i = 0; i < in.n(); ++i) ids[i] = in.x[i] > in.y[i];
            benchmark::DoNotOptimize(ids.get());
            benchmark::ClobberMemory();
        }
        set_per_sample(state, in, 0);
    });
    add("collapse_x", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) benchmark::DoNotOptimize(collapse_x(in.x_view, in.y_view));
        set_per_sample(state, in, static_cast<double>(in.a.size()));
    });
    add("collapse_x_parallel", [](benchmark::State& state, const StageInputs<T>& in) {
        const std::size_t p = pool_size();
        for (auto _ : state) {
            benchmark::DoNotOptimize(collapse_x_parallel(in.x_view, in.y_view, p));
        }
        set_per_sample(state, in, static_cast<double>(in.a.size()));
        state.counters["threads"] = static_cast<double>(p);
    });
    add("collapse_y", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) benchmark::DoNotOptimize(collapse_y(in.a));
        set_per_sample(state, in, static_cast<double>(in.b.size()));
    });
    add("collapse_y_parallel", [](benchmark::State& state, const StageInputs<T>& in) {
        const std::size_t p = pool_size();
        for (auto _ : state) benchmark::DoNotOptimize(collapse_y_parallel(in.a, p));
        set_per_sample(state, in, static_cast<double>(in.b.size()));
        state.counters["threads"] = static_cast<double>(p);
    });
    add("find_turning_points", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) benchmark::DoNotOptimize(find_turning_points(in.b));
        set_per_sample(state, in, static_cast<double>(in.turns.size()));
    });
    // The driver's sequential path: the three rules above in one pass, A and B never stored.
    add("fused_collapse_and_turns", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) {
            benchmark::DoNotOptimize(collapse_and_find_turning_points(in.x_view, in.y_view));
        }
        set_per_sample(state, in, static_cast<double>(in.turns.size()));
    });
    // The driver's path with two or more threads: the chunked stages and the turn rule walked
    // one chunk per pool thread, in one read of the samples or, where that cannot settle a
    // seam, in two.
    const auto add_chunked = [&](const std::string& name, auto form) {
        add(name, [form](benchmark::State& state, const StageInputs<T>& in) {
            ChunkPlan plan;
            plan.x_threads = plan.y_threads = pool_size();
            for (auto _ : state) {
                auto turns = form(in.x_view, in.y_view, plan);
                if (!turns) state.SkipWithError("the form gave up on a seam");
                benchmark::DoNotOptimize(turns);
            }
            set_per_sample(state, in, static_cast<double>(in.turns.size()));
            state.counters["threads"] = static_cast<double>(plan.x_threads);
        });
    };
    add_chunked("chunked_turns_one_read", chunked_turns_one_read<T>);
    add_chunked("chunked_turns_two_reads", chunked_turns_two_reads<T>);
    add("order_turning_points", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) {
            state.PauseTiming();
            TurningListPair<T> lists = in.lists;
            state.ResumeTiming();
            benchmark::DoNotOptimize(order_turning_points(std::move(lists)));
        }
        set_per_sample(state, in, static_cast<double>(in.turns.size()));
    });
    add("compute_segment_threshold", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) benchmark::DoNotOptimize(compute_segment_threshold(in.turns));
        set_per_sample(state, in, static_cast<double>(in.turns.size()));
    });
    add("assign_scanline_ids", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) {
            auto ids = fresh_ids(in.n());
            assign_scanline_ids_into(std::span<std::int32_t>(ids.get(), in.n()), in.turns,
                                     in.threshold);
            benchmark::DoNotOptimize(ids.get());
            benchmark::ClobberMemory();
        }
        set_per_sample(state, in, static_cast<double>(in.turns.size()));
    });
    add("assign_scanline_ids_pooled", [](benchmark::State& state, const StageInputs<T>& in) {
        const std::uint64_t p = pool_size();
        for (auto _ : state) {
            auto ids = fresh_ids(in.n());
            assign_scanline_ids_pooled(std::span<std::int32_t>(ids.get(), in.n()), in.turns,
                                       in.threshold, p);
            benchmark::DoNotOptimize(ids.get());
            benchmark::ClobberMemory();
        }
        set_per_sample(state, in, static_cast<double>(in.turns.size()));
        state.counters["threads"] = static_cast<double>(p);
    });
    add("annotate_scanlines", [](benchmark::State& state, const StageInputs<T>& in) {
        for (auto _ : state) {
            IdBuffer ids;
            auto error = annotate_scanlines_into<T>(in.x_view, in.y_view, [&ids](std::uint64_t n) {
                ids = fresh_ids(n);
                return std::span<std::int32_t>(ids.get(), n);
            });
            if (error) state.SkipWithError(error->message.c_str());
            benchmark::DoNotOptimize(ids.get());
            benchmark::ClobberMemory();
        }
        set_per_sample(state, in, 0);
        state.counters["threads"] = static_cast<double>(pool_size());
    });
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<PathFile> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string value;
        if (arg.starts_with("--path=")) {
            value = arg.substr(7);
        } else if (arg == "--path" && i + 1 < argc) {
            value = argv[++i];
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
        const auto eq = value.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "--path wants LABEL=FILE, got %s\n", value.c_str());
            return 2;
        }
        paths.push_back({value.substr(0, eq), value.substr(eq + 1)});
    }
    if (paths.empty()) {
        std::fprintf(stderr, "usage: %s --path LABEL=FILE [...] [benchmark flags]\n", argv[0]);
        return 2;
    }
    benchmark::AddCustomContext("pool_threads", std::to_string(pool_size()));
    for (const PathFile& path : paths) {
        register_path<double>(path);
        register_path<float>(path);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
