// Many calls, from many threads and in a long sequence: every result and every
// destination right, nothing stuck, and the process holding no more descriptors
// or memory afterwards than before.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/process_stats.h"

#if defined(__SANITIZE_ADDRESS__)
#define MARLUNE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MARLUNE_ADDRESS_SANITIZER 1
#endif
#endif

namespace marlune::testing {
namespace {

// Memory that the C library, the thread caches and the test's own bookkeeping may
// keep after the calls; a leak of even a few bytes per call exceeds it.
constexpr std::size_t residentTolerance = 4u << 20;

const Bytes good = KvrbBuilder().preamble(12).chunk(40).chunk(0).chunk(90).build();
const Bytes fixedSource = KvrbBuilder().lengthMode(-2).chunk(3, 330).build();
const Bytes fixedCopy = KvrbBuilder().lengthMode(-2).chunk(330).build();
const Bytes cut = prefix(good, good.size() - 5);
const Bytes cutCopy = KvrbBuilder().preamble(12).chunk(40).chunk(0).build();

// One call of a fixed mix, chosen by `step`, in the folder of one worker;
// returns an empty string when it went right, else what went wrong. Conversions
// flush to storage, so they are the slowest: one step in 10 x `conversionEvery`
// is one, alternately succeeding and failing.
std::string oneCall(const TempDir& dir, unsigned step, unsigned conversionEvery = 1) {
    const std::string in = dir.path("in.snd");
    const std::string out = dir.path("out.kv");
    const std::string convertIn = dir.path("take.snd");
    const std::string convertOut = dir.path("take.kv");
    const std::int32_t showErrors = 0;
    auto expect = [&](bool right, const char* what) { return right ? std::string() : std::string(what); };
    const bool convertNow = step / 10 % conversionEvery == 0;
    switch (step % 10 == 9 && !convertNow ? 7 : step % 10) {
        case 0:
            return expect(KVRBinfo(nullptr, out.c_str(), 0) == 0, "null source");
        case 1:
            return expect(KVRBinfo(dir.path("absent").c_str(), out.c_str(), 0) == 0, "missing source");
        case 2:
            writeFile(in, {'R', 'I', 'F', 'F'});
            return expect(KVRBinfo(in.c_str(), out.c_str(), 0) == 0 && readFile(out).empty(), "not a container");
        case 3:
            writeFile(in, good);
            return expect(KVRBinfo(in.c_str(), dir.path("no/folder.kv").c_str(), 0) == 0, "missing folder");
        case 4:
            return expect(IKVRBinfo(0, &showErrors, out.c_str()) == -1, "already converted");
        case 5:
        case 6:
            writeFile(in, good);
            return expect(KVRBinfo(in.c_str(), out.c_str(), 0) == 1 && readFile(out) == good, "variable copy");
        case 7:
            writeFile(in, fixedSource);
            return expect(KVRBinfo(in.c_str(), out.c_str(), 0) == 1 && readFile(out) == fixedCopy, "fixed copy");
        case 8:
            writeFile(in, cut);
            return expect(KVRBinfo(in.c_str(), out.c_str(), 0) == 0 && readFile(out) == cutCopy, "cut copy");
        default:
            if (step / 10 / conversionEvery % 2 == 0) {
                writeFile(convertIn, good);
                return expect(IKVRBinfo(0, &showErrors, convertIn.c_str()) == -1 && !fileExists(convertIn) &&
                                  readFile(convertOut) == good,
                              "conversion");
            }
            writeFile(convertIn, cut);
            // The earlier conversion, if any, stays as it was.
            return expect(IKVRBinfo(0, &showErrors, convertIn.c_str()) == 0 && readFile(convertIn) == cut &&
                              (!fileExists(convertOut) || readFile(convertOut) == good),
                          "failed conversion");
    }
}

// Runs `calls` calls of the mix on each of `threads` threads; the number of wrong
// calls, or fails the whole process when they do not finish within `limit`.
int runWorkers(int threads, unsigned calls, std::chrono::seconds limit) {
    std::vector<std::future<int>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.push_back(std::async(std::launch::async, [calls, t] {
            TempDir dir;
            int wrong = 0;
            for (unsigned i = 0; i < calls; ++i) {
                const std::string problem = oneCall(dir, i + static_cast<unsigned>(t));
                if (!problem.empty() && ++wrong <= 3)
                    std::fprintf(stderr, "thread %d call %u: %s\n", t, i, problem.c_str());
            }
            return wrong;
        }));
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int wrong = 0;
    for (auto& worker : workers) {
        if (worker.wait_until(deadline) != std::future_status::ready) {
            // A stuck thread cannot be joined: stop here rather than hang the suite.
            std::fprintf(stderr, "load: the calls did not finish within %lld s: deadlock?\n",
                         static_cast<long long>(limit.count()));
            std::_Exit(1);
        }
        wrong += worker.get();
    }
    return wrong;
}

// The soak is about what the library keeps, not about the disk: a folder in memory,
// where there is one, keeps a file system's flushing out of its time.
std::filesystem::path soakFolder() {
    std::error_code error;
    const std::filesystem::path memory = "/dev/shm";
    const auto status = std::filesystem::status(memory, error);
    if (!error && std::filesystem::is_directory(status) && access(memory.c_str(), W_OK) == 0) return memory;
    return std::filesystem::temp_directory_path();
}

struct ProcessUse {
    std::size_t descriptors = openDescriptors();
    std::size_t resident = residentBytes();
};

void expectNothingKept(const ProcessUse& before) {
    const ProcessUse after;
    std::printf("descriptors %zu -> %zu, resident memory %zu -> %zu KiB\n", before.descriptors, after.descriptors,
                before.resident >> 10, after.resident >> 10);
    EXPECT_EQ(after.descriptors, before.descriptors);
#ifdef MARLUNE_ADDRESS_SANITIZER
    std::printf("resident memory not compared: AddressSanitizer holds freed memory back; it reports leaks itself\n");
#else
    EXPECT_LE(after.resident, before.resident + residentTolerance)
        << "resident memory grew from " << before.resident << " to " << after.resident << " bytes";
#endif
}

TEST(Load, EightThreadsOfMixedCallsAreEachRight) {
    ASSERT_EQ(runWorkers(8, 20, std::chrono::seconds(60)), 0);  // thread stacks and caches settle
    const ProcessUse before;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runWorkers(8, 500, std::chrono::seconds(300)), 0);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    expectNothingKept(before);
    std::printf("load: %d calls on 8 threads in %.2f s\n", 8 * 500, took.count());
}

TEST(Load, ASoakOfSequentialCallsKeepsNothing) {
    // MARLUNE_SOAK_CALLS shortens or lengthens the soak; 100,000 by default.
    const char* configured = std::getenv("MARLUNE_SOAK_CALLS");
    const unsigned calls = configured ? static_cast<unsigned>(std::strtoul(configured, nullptr, 10)) : 100000;
    TempDir dir(soakFolder());
    for (unsigned i = 0; i < 100; ++i) ASSERT_EQ(oneCall(dir, i), "");
    const ProcessUse before;
    const auto start = std::chrono::steady_clock::now();
    int wrong = 0;
    for (unsigned i = 0; i < calls; ++i) {
        const std::string problem = oneCall(dir, i, 10);
        if (!problem.empty() && ++wrong <= 3) ADD_FAILURE() << "call " << i << ": " << problem;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(wrong, 0);
    expectNothingKept(before);
    std::printf("soak: %u calls in %.2f s\n", calls, took.count());
}

}  // namespace
}  // namespace marlune::testing
