// A run: the plan made in groups (steps) by library worker threads, each step
// run as soon as it is made, the results handed back in the run's order on the
// caller's thread, no step more than a window ahead of the oldest undelivered.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "marlune.h"
#include "run/manifest.h"
#include "run/plan.h"
#include "run/step.h"

namespace marlune::run {

struct Bounds {
    unsigned workers = 1;
    std::size_t window = 4;  // steps
    std::size_t groupFiles = 1;
    std::uint64_t groupBytes = 256u << 20;
    std::size_t openFiles = 1024;  // that the groups may hold together
    platform::Os* os = nullptr;    // what the run works through; null: the system (unicodeOs)
};

// Starts a thread that runs `work`; throws as std::thread does when the system gives
// none. Tests give their own, to see a run that gets fewer threads than it asks for.
using StartThread = std::thread (*)(std::function<void()> work);
std::thread startThread(std::function<void()> work);

class Engine {
public:
    Engine(Job job, Bounds bounds, StartThread startWith = &startThread)
        : os_(bounds.os ? *bounds.os : platform::unicodeOs()),
          manifest_(policyOf(job.job, job.flags).writesManifest ? job.manifest : std::string(), os_),
          planner_(std::move(job), os_),
          bounds_(bounds),
          startThread_(startWith) {}
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    std::int32_t add(const char* path, const char* place);
    std::int32_t keep(const char* path);
    // A result of a step run elsewhere (planNext's), handed back.
    void note(std::int32_t status);
    // ... whole: counted in the run's tally, and its digest in the manifest, as one delivered here.
    void noteResult(const marlune_run_result& result);
    std::int32_t start();
    std::int32_t next(marlune_run_result& result, std::int32_t timeoutMs);
    void counts(marlune_run_tally& tally);
    // One atomic store: safe in a signal handler.
    void cancel() { cancelled_.store(true); }
    std::int32_t planNext(char* bytes, std::uint32_t size, std::uint32_t& length);
    // A run planned to its end, whose steps have run elsewhere: what next() does at a run's end for its folders.
    std::int32_t finishFolders();
    // MARLUNE_OK once the run's manifest is in place (or none was asked for), else why not.
    std::int32_t manifestStatus(int& error) const {
        error = manifestError_;
        return manifestStatus_;
    }

private:
    struct Done {
        Step step;
        std::vector<FileAnswer> answers;
        bool started = false;
    };
    enum class State { open, running, planning };

    // The next group of the plan, as the bounds allow; false once the plan has ended.
    bool makeStep(Step& step);
    // Until every step taken has finished (or the run is cancelled).
    void waitForSteps();
    void work();
    void deliver(marlune_run_result& result);
    // Moves past the current step's files that did not begin; false when none is left.
    bool skipUnbegun();
    // Cancelled, or the destination found full: nothing more is planned or started.
    bool stopped() const;
    // A result delivered or noted: its counts, and its line in the manifest.
    void settle(std::int32_t status, std::int32_t outcome, const marlune_report& report, const std::string& sha256,
                const std::string& destination, const std::string& root);
    std::int32_t checkManifestName();

    void endManifest();
    void keepFolders();

    platform::Os& os_;
    Manifest manifest_;
    std::int32_t manifestStatus_ = MARLUNE_OK;
    std::int32_t firstUnfinished_ = MARLUNE_OK;  // the status of the run's first file not done
    int manifestError_ = 0;
    Planner planner_;
    Bounds bounds_;
    StartThread startThread_;
    State state_ = State::open;
    std::mutex planMutex_;  // the planner and what makeStep keeps
    StepFile held_;         // the file that did not fit the last group
    bool holding_ = false;
    std::uint64_t nextIndex_ = 0;

    std::mutex mutex_;
    std::mutex noted_;  // results handed back by callers on any thread
    std::condition_variable finished_;  // a step finished, or a worker ended
    std::condition_variable room_;      // the window moved
    std::map<std::uint64_t, Done> done_;
    std::uint64_t stepsTaken_ = 0;
    std::uint64_t stepsDelivered_ = 0;
    std::uint64_t stepsFinished_ = 0;
    bool planEnded_ = false;
    unsigned running_ = 0;  // workers started and not ended
    std::vector<std::thread> threads_;
    std::once_flag begun_;

    Done current_;  // the step being delivered, kept until the next call: results point into it
    std::size_t currentAt_ = 0;
    bool hasCurrent_ = false;
    std::string stepBytes_;          // planNext's step not yet taken
    bool deletionsAwaited_ = false;  // planNext told its caller to wait before the deletions

    static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler cancels");
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> destinationFull_{false};
    std::atomic<std::uint64_t> filesStarted_{0};
    std::atomic<std::uint64_t> bytesSettled_{0};  // planned bytes of the files begun, but those that found no room
    std::atomic<std::uint64_t> filesDone_{0};
    std::atomic<std::uint64_t> bytesDone_{0};
    std::atomic<bool> ended_{false};
    std::atomic<bool> planned_{false};  // its steps are run elsewhere (planNext)
    std::atomic<unsigned> workersStarted_{0};
    // Of the results delivered.
    std::atomic<std::uint64_t> outcomes_[MARLUNE_OUTCOME_COUNT] = {};
    std::atomic<std::uint64_t> bytesRead_{0};
    std::atomic<std::uint64_t> bytesWritten_{0};
};

}  // namespace marlune::run
