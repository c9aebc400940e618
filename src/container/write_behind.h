// A destination's writes made on a thread of their own, in the order they were
// queued, so that the copy reads and judges the next buffer meanwhile. A write
// that fails stops the rest: none queued after it reaches the file, as none
// would have had the copy written inline and stopped there.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/file.h"

namespace marlune::container {

class WriteBehind {
public:
    // The most writes queued at once; write() waits for room beyond that.
    static constexpr std::size_t queueSize = 8;
    static constexpr std::uint64_t noFailure = UINT64_MAX;

    // Starts the thread; without one (the system refused it), running() is false.
    explicit WriteBehind(platform::File& destination);
    // Makes no further write and waits for the thread.
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    bool running() const { return thread_.joinable(); }
    // Queues the write of `size` bytes at `bytes`, which stay as they are until
    // waitFor() has seen it made: its number, counted from 0.
    std::uint64_t write(const std::uint8_t* bytes, std::size_t size);
    // Waits until the first `count` writes queued are made (or passed over after a
    // failure): false when one of them failed. The file is the caller's again once
    // every queued write is.
    bool waitFor(std::uint64_t count);
    std::uint64_t queued() const { return queued_; }  // the queuing thread's own count
    // The number of the first write that failed, or noFailure; after waitFor.
    std::uint64_t failedWrite() const;

private:
    struct Job {
        const std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
    };
    void work();

    platform::File& destination_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Job jobs_[queueSize];
    std::uint64_t queued_ = 0;  // written by the queuing thread, under the mutex
    std::uint64_t made_ = 0;
    std::uint64_t failed_ = noFailure;
    bool stopping_ = false;
    std::thread thread_;  // last: started once the rest is ready
};

}  // namespace marlune::container
