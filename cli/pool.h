// Workers that know nothing of what they run: jobs 0 .. count-1 on a few
// threads, their results handed on in the jobs' order on the calling thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace marlune::cli {

struct PoolHooks {
    // True once no further job may start (Ctrl-C, an output gone); read often.
    std::function<bool()> stop = [] { return false; };
    // Called on the calling thread after each round of results, and at least every tick.
    std::function<void()> idle = [] {};
    std::chrono::milliseconds tick{200};
};

// Runs work(i) for every job on up to `workers` threads and hands each result to
// deliver(i, result) in the order of i. No job starts more than `window` places
// ahead of the results taken for delivery, so that what waits behind a slow job
// or a slow reader stays within two windows. Jobs running when stop() turns true are finished
// (and delivered); no other starts. Returns how many jobs were started.
template <class Result>
std::size_t runInOrder(std::size_t count, unsigned workers, std::size_t window,
                       const std::function<Result(std::size_t)>& work,
                       const std::function<void(std::size_t, Result&)>& deliver, const PoolHooks& hooks = {}) {
    std::mutex mutex;
    std::condition_variable finished;  // a job ended, or a worker
    std::condition_variable room;      // results were delivered: the window moved
    std::map<std::size_t, Result> pending;
    std::size_t next = 0;
    std::size_t delivered = 0;
    const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(workers, count));
    unsigned running = threads;
    window = std::max<std::size_t>(window, 1);

    const auto worker = [&] {
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                while (!hooks.stop() && next < count && next >= delivered + window) room.wait_for(lock, hooks.tick);
                if (hooks.stop() || next >= count) break;
                index = next++;
            }
            Result result = work(index);
            std::lock_guard<std::mutex> lock(mutex);
            pending.emplace(index, std::move(result));
            finished.notify_one();
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_one();
    };
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < threads; ++i) pool.emplace_back(worker);

    for (bool done = false; !done;) {
        std::vector<std::pair<std::size_t, Result>> ready;
        {
            std::unique_lock<std::mutex> lock(mutex);
            const auto frontReady = [&] { return !pending.empty() && pending.begin()->first == delivered; };
            finished.wait_for(lock, hooks.tick, [&] { return frontReady() || running == 0; });
            for (; frontReady(); ++delivered) {
                ready.emplace_back(delivered, std::move(pending.begin()->second));
                pending.erase(pending.begin());
            }
            // Jobs start in order and each one ends: once no worker runs, all are here.
            done = running == 0 && pending.empty();
        }
        if (!ready.empty()) room.notify_all();
        for (auto& [index, result] : ready) deliver(index, result);
        hooks.idle();
    }
    for (std::thread& thread : pool) thread.join();
    return next;
}

}  // namespace marlune::cli
