#include "run/engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "boundary/api.h"
#include "run/job_policy.h"
#include "run/mirror.h"
#include "run/outcome.h"
#include "run/paths.h"

namespace marlune::run {
namespace {

// How often a waiting thread looks at a cancel, which a signal handler cannot announce.
constexpr std::chrono::milliseconds tick{20};

}  // namespace

Engine::~Engine() {
    cancel();
    for (std::thread& thread : threads_) thread.join();
}

std::int32_t Engine::add(const char* path, const char* place) {
    if (state_ != State::open) return MARLUNE_RUN_BAD_STATE;
    if (!path || !*path) return MARLUNE_NO_SOURCE_NAME;
    return planner_.add(path, place);
}

std::int32_t Engine::keep(const char* path) {
    if (state_ != State::open) return MARLUNE_RUN_BAD_STATE;
    if (!path || !*path) return MARLUNE_NO_SOURCE_NAME;
    return planner_.keep(path);
}

void Engine::note(std::int32_t status) {
    if (showsSourceError(status)) planner_.noteSourceError();
    if (status == MARLUNE_DISK_FULL) destinationFull_.store(true);
}

void Engine::noteResult(const marlune_run_result& result) {
    const auto text = [&result](const char* const marlune_run_result::*member) {
        return holds(result.size, member) && result.*member ? std::string(result.*member) : std::string();
    };
    if (!holds(result.size, &marlune_run_result::status)) return;
    const std::int32_t outcome = holds(result.size, &marlune_run_result::outcome) ? result.outcome : -1;
    marlune_report report{};
    if (holds(result.size, &marlune_run_result::report) && result.report) {
        std::memcpy(&report, result.report, std::min<std::size_t>(result.report->size, sizeof report));
    }
    std::lock_guard<std::mutex> lock(noted_);
    note(result.status);
    settle(result.status, outcome, report, text(&marlune_run_result::sha256), text(&marlune_run_result::destination),
           planner_.job().root);
    ++filesStarted_;
    ++filesDone_;
}

bool Engine::stopped() const {
    return cancelled_.load() || destinationFull_.load();
}

void Engine::waitForSteps() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!cancelled_.load() && stepsFinished_ < stepsTaken_) finished_.wait_for(lock, tick);
}

std::thread startThread(std::function<void()> work) {
    return std::thread(std::move(work));
}

std::int32_t Engine::checkManifestName() {
    const RootCheck name = planner_.checkManifestName();
    // A name refused before may have been mended meanwhile.
    manifestStatus_ = name.status;
    manifestError_ = name.systemError;
    return name.status;
}

std::int32_t Engine::start() {
    if (state_ != State::open) return MARLUNE_RUN_BAD_STATE;
    if (const std::int32_t refused = checkManifestName(); refused != MARLUNE_OK) return refused;
    // Running before any worker starts: a worker reads the state (makeStep).
    state_ = State::running;
    threads_.reserve(bounds_.workers);
    // The names added are looked at on the first worker, so that start returns at once.
    // A system that gives fewer threads than asked for (a process limit) leaves the run
    // with those it gave; with none, the run is not started.
    for (unsigned i = 0; i < bounds_.workers; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++running_;  // before the worker can end and count itself out
        }
        try {
            threads_.push_back(startThread_([this] { work(); }));
        } catch (const std::exception&) {
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
            break;
        }
    }
    if (threads_.empty()) {
        state_ = State::open;
        return MARLUNE_RUN_NO_WORKERS;
    }
    workersStarted_ = static_cast<unsigned>(threads_.size());
    return MARLUNE_OK;
}

bool Engine::makeStep(Step& step) {
    static_cast<StepJob&>(step) = planner_.job();
    step.files.clear();
    // A few groups for each worker, so that at the end none waits long for another and a
    // cancel abandons little; each within what the process may hold open (two files a file).
    // (What comes next is known once the first file of the step is planned: its folder is listed.)
    const std::size_t opens = bounds_.openFiles > 64 ? (bounds_.openFiles - 64) / (2 * bounds_.workers) : 1;
    const std::size_t groups = 4 * std::size_t{bounds_.workers};
    std::size_t most = 1;
    std::uint64_t bytes = 0;
    while ((step.files.empty() || step.files.size() < most) && !stopped()) {
        StepFile file;
        // Deletions are decided once every copy before them has ended, and in a step of their own.
        if (!holding_ && planner_.deletionsNext()) {
            if (!step.files.empty()) break;
            if (state_ == State::running) {
                waitForSteps();
            } else if (!deletionsAwaited_) {
                break;
            }
            if (stopped()) break;
            planner_.releaseDeletions();
        }
        if (holding_) {
            file = std::move(held_);
            holding_ = false;
        } else if (!planner_.next(file)) {
            if (planner_.deletionsNext()) continue;
            break;
        } else {
            file.index = nextIndex_++;
        }
        // Deletions come after every copy, in steps of their own.
        const bool afterCopies = !step.files.empty() && file.remove && !step.files.front().remove;
        if (afterCopies ||
            (!step.files.empty() && bounds_.groupBytes != 0 && bytes + file.bytes > bounds_.groupBytes)) {
            held_ = std::move(file);
            holding_ = true;
            break;
        }
        bytes += file.bytes;
        step.files.push_back(std::move(file));
        if (step.files.size() == 1) {
            // What is known of the run so far: with one worker there is no other to wait for.
            const std::size_t known =
                static_cast<std::size_t>(planner_.filesPlanned.load()) + planner_.comingSoon() + (holding_ ? 1 : 0);
            const std::size_t spread = bounds_.workers == 1 ? bounds_.groupFiles : (known + groups - 1) / groups;
            most = std::max<std::size_t>(1, std::min({bounds_.groupFiles, spread, opens}));
        }
    }
    return !step.files.empty();
}

void Engine::work() {
    std::call_once(begun_, [this] { planner_.begin(); });
    for (;;) {
        Done done;
        std::uint64_t id = 0;
        bool overlap = false;
        {
            std::unique_lock<std::mutex> plan(planMutex_);
            {
                std::unique_lock<std::mutex> lock(mutex_);
                while (!stopped() && !planEnded_ && stepsTaken_ >= stepsDelivered_ + bounds_.window) {
                    room_.wait_for(lock, tick);
                }
                if (stopped() || planEnded_) break;
            }
            const bool made = makeStep(done.step);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!made) {
                planEnded_ = true;
                break;
            }
            id = stepsTaken_++;
            overlap = stepsTaken_ - stepsFinished_ < bounds_.workers;
        }
        if (!done.step.files.empty() && done.step.files.front().remove) {
            // A mirror's deletions start once every copy of the run is in place.
            std::unique_lock<std::mutex> lock(mutex_);
            while (!stopped() && stepsFinished_ < id) finished_.wait_for(lock, tick);
        }
        if (!stopped()) {
            done.started = true;
            const StepProgress progress{&bytesDone_, &cancelled_, bounds_.os, &destinationFull_, overlap};
            done.answers = runStep(done.step, progress);
            for (std::size_t i = 0; i < done.answers.size(); ++i) {
                const FileAnswer& answer = done.answers[i];
                if (!answer.begun) continue;
                note(answer.status);
                ++filesStarted_;
                ++filesDone_;
                // What no longer needs room: all but a file that found none.
                if (answer.status != MARLUNE_DISK_FULL) bytesSettled_ += done.step.files[i].bytes;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        done_.emplace(id, std::move(done));
        ++stepsFinished_;
        finished_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    finished_.notify_all();
    room_.notify_all();
}

// A step's files that did not begin (the destination was full) are not delivered.
bool Engine::skipUnbegun() {
    while (currentAt_ < current_.step.files.size() && !current_.answers[currentAt_].begun) ++currentAt_;
    return currentAt_ < current_.step.files.size();
}

std::int32_t Engine::next(marlune_run_result& result, std::int32_t timeoutMs) {
    if (state_ != State::running) return MARLUNE_RUN_ENDED;
    if (hasCurrent_ && skipUnbegun()) {
        deliver(result);
        return MARLUNE_RUN_DELIVERED;
    }
    hasCurrent_ = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto found = done_.find(stepsDelivered_);
        if (found != done_.end()) {
            current_ = std::move(found->second);
            done_.erase(found);
            ++stepsDelivered_;
            room_.notify_all();
            if (!current_.started || current_.step.files.empty()) continue;  // cancelled before it began
            currentAt_ = 0;
            if (!skipUnbegun()) continue;
            hasCurrent_ = true;
            lock.unlock();
            deliver(result);
            return MARLUNE_RUN_DELIVERED;
        }
        // Steps are taken in order and each is stored before its worker ends.
        if (running_ == 0) {
            if (!ended_.exchange(true)) {
                keepFolders();
                endManifest();
            }
            return MARLUNE_RUN_ENDED;
        }
        const auto now = std::chrono::steady_clock::now();
        if (timeoutMs >= 0 && now >= deadline) return MARLUNE_RUN_WAITING;
        finished_.wait_for(lock,
                           timeoutMs < 0 ? tick : std::min<std::chrono::steady_clock::duration>(tick, deadline - now));
    }
}

void Engine::deliver(marlune_run_result& result) {
    const StepFile& file = current_.step.files[currentAt_];
    const FileAnswer& answer = current_.answers[currentAt_];
    ++currentAt_;
    if (holds(result.size, &marlune_run_result::status)) result.status = answer.status;
    if (holds(result.size, &marlune_run_result::index)) result.index = file.index;
    if (holds(result.size, &marlune_run_result::path)) result.path = file.source.c_str();
    if (holds(result.size, &marlune_run_result::destination)) {
        result.destination = file.destination.empty() ? nullptr : file.destination.c_str();
    }
    if (holds(result.size, &marlune_run_result::other))
        result.other = file.other.empty() ? nullptr : file.other.c_str();
    if (holds(result.size, &marlune_run_result::report)) handBackReport(result.report, answer.report);
    if (holds(result.size, &marlune_run_result::outcome)) result.outcome = answer.outcome;
    if (holds(result.size, &marlune_run_result::reason)) result.reason = answer.reason.c_str();
    if (holds(result.size, &marlune_run_result::sha256)) {
        result.sha256 = answer.sha256.empty() ? nullptr : answer.sha256.c_str();
    }
    settle(answer.status, answer.outcome, answer.report, answer.sha256, file.destination, current_.step.root);
}

void Engine::settle(std::int32_t status, std::int32_t outcome, const marlune_report& report, const std::string& sha256,
                    const std::string& destination, const std::string& root) {
    if (outcome >= 0 && outcome < MARLUNE_OUTCOME_COUNT) ++outcomes_[outcome];
    bytesRead_ += report.source_bytes;
    bytesWritten_ += report.bytes_written;  // 0 for a job that writes nothing
    const bool unfinished =
        outcome == MARLUNE_OUTCOME_FAILED || outcome == MARLUNE_OUTCOME_CANCELLED || outcome == MARLUNE_OUTCOME_COLLISION;
    if (unfinished && firstUnfinished_ == MARLUNE_OK) firstUnfinished_ = status != MARLUNE_OK ? status : MARLUNE_WRITE_ERROR;
    if (manifest_.wanted() && !sha256.empty() && manifestStatus_ == MARLUNE_OK && firstUnfinished_ == MARLUNE_OK) {
        std::string relative = destination.substr(std::min(root.size(), destination.size()));
        while (!relative.empty() && isSeparator(relative.front())) relative.erase(0, 1);
        if (!manifest_.add(sha256, relative)) {
            manifestError_ = manifest_.error();
            manifestStatus_ = writeFailureStatus(manifestError_);
        }
    }
}

// A mirror's folders take their sources' times once nothing more is written into them.
void Engine::keepFolders() {
    const Job& job = planner_.job();
    const JobPolicy policy = policyOf(job.job, job.flags);
    if (!policy.mirrors || !policy.writes || cancelled_.load() || os_.kindOfName(job.root) != platform::Kind::folder)
        return;
    std::string source;
    std::string copy;
    while (planner_.nextFolderWalked(source, copy)) keepFolder(os_, source, copy, job.root);
}

void Engine::endManifest() {
    if (!manifest_.wanted()) return;
    // A manifest vouches for the whole tree: one that lacks a file is never put in place.
    if (manifestStatus_ == MARLUNE_OK && destinationFull_.load()) {
        manifestStatus_ = MARLUNE_DISK_FULL;
    } else if (manifestStatus_ == MARLUNE_OK && (cancelled_.load() || !planner_.complete.load())) {
        manifestStatus_ = MARLUNE_CANCELLED;
    } else if (manifestStatus_ == MARLUNE_OK) {
        manifestStatus_ = firstUnfinished_;
    }
    if (manifestStatus_ != MARLUNE_OK) {
        manifest_.abandon();
        return;
    }
    if (!manifest_.finish(manifestError_)) manifestStatus_ = writeFailureStatus(manifestError_);
}

void Engine::counts(marlune_run_tally& tally) {
    marlune_run_tally counts{};
    counts.size = sizeof counts;
    counts.plan_complete = planner_.complete.load() ? 1 : 0;
    counts.files_planned = planner_.filesPlanned.load();
    counts.bytes_planned = planner_.bytesPlanned.load();
    counts.files_done = filesDone_.load();
    counts.bytes_done = bytesDone_.load();
    counts.links_not_followed = planner_.linksNotFollowed.load();
    const bool full = destinationFull_.load();
    // A planned run's steps ran elsewhere: what was not handed back by its stop never started.
    const bool over = ended_.load() || planned_.load();
    if (over && (cancelled_.load() || full)) counts.not_started = counts.files_planned - filesStarted_.load();
    if (full) {
        counts.stopped_by = MARLUNE_DISK_FULL;
        // Known of steps run here; those run elsewhere tell only their statuses.
        const std::uint64_t settled = bytesSettled_.load();
        if (workersStarted_.load() != 0 && counts.bytes_planned > settled) {
            counts.bytes_not_written = counts.bytes_planned - settled;
        }
    }
    for (std::size_t i = 0; i < MARLUNE_OUTCOME_COUNT; ++i) counts.outcomes[i] = outcomes_[i].load();
    counts.bytes_read = bytesRead_.load();
    counts.bytes_written = bytesWritten_.load();
    counts.workers_wanted = bounds_.workers;
    counts.workers_started = workersStarted_.load();
    const std::uint32_t size = tally.size;
    std::memcpy(&tally, &counts, std::min<std::size_t>(size, sizeof counts));
    tally.size = size;
}

std::int32_t Engine::planNext(char* bytes, std::uint32_t size, std::uint32_t& length) {
    if (state_ == State::running) return MARLUNE_RUN_BAD_STATE;
    if (state_ == State::open) {
        if (const std::int32_t refused = checkManifestName(); refused != MARLUNE_OK) return refused;
        state_ = State::planning;
        planned_.store(true);
        planner_.begin();
    }
    if (stepBytes_.empty()) {
        Step step;
        if (!makeStep(step)) {
            // Before the deletions the caller hands back the results of every step it was given.
            if (planner_.deletionsNext() && !deletionsAwaited_ && !cancelled_.load()) {
                deletionsAwaited_ = true;
                return MARLUNE_RUN_WAITING;
            }
            planEnded_ = true;
            return MARLUNE_RUN_ENDED;
        }
        stepBytes_ = encode(step);
    }
    length = static_cast<std::uint32_t>(stepBytes_.size());
    if (!bytes || size < stepBytes_.size()) return MARLUNE_RUN_TOO_SMALL;
    std::memcpy(bytes, stepBytes_.data(), stepBytes_.size());
    stepBytes_.clear();
    return MARLUNE_RUN_DELIVERED;
}

std::int32_t Engine::finishFolders() {
    if (state_ != State::planning || !planEnded_) return MARLUNE_RUN_BAD_STATE;
    if (!ended_.exchange(true)) {
        keepFolders();
        endManifest();
    }
    return MARLUNE_OK;
}

}  // namespace marlune::run
