#include "container/write_behind.h"

#include <system_error>

namespace marlune::container {

WriteBehind::WriteBehind(platform::File& destination) : destination_(destination) {
    try {
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {  // no thread to be had: the caller writes inline
    }
}

WriteBehind::~WriteBehind() {
    if (!running()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::uint64_t WriteBehind::write(const std::uint8_t* bytes, std::size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queued_ - made_ < queueSize; });
    jobs_[queued_ % queueSize] = Job{bytes, size};
    const std::uint64_t number = queued_++;
    lock.unlock();
    changed_.notify_all();
    return number;
}

bool WriteBehind::waitFor(std::uint64_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this, count] { return made_ >= count; });
    return failed_ >= count;
}

std::uint64_t WriteBehind::failedWrite() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

void WriteBehind::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || made_ < queued_; });
        if (made_ == queued_) return;  // stopping, and nothing left
        const Job job = jobs_[made_ % queueSize];
        // Once one failed, or the copy has stopped, the rest are passed over.
        const bool make = failed_ == noFailure && !stopping_;
        lock.unlock();
        const bool written = !make || destination_.write(job.bytes, job.size);
        lock.lock();
        if (!written) failed_ = made_;
        ++made_;
        changed_.notify_all();
    }
}

}  // namespace marlune::container
