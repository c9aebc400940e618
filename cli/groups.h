// Jobs of one file or of a group of files: how groups are made, what a job hands
// the library, and one batch call for a group.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "files.h"
#include "marlune.h"
#include "statuses.h"

namespace marlune::cli {

// What a job hands the library so that its bytes show in the progress line and Ctrl-C stops it.
// A job may be a group of files: a batch call reports each file's bytes from 0 again.
class JobProgress {
public:
    explicit JobProgress(std::atomic<std::uint64_t>& bytes) : bytes_(bytes) {}
    marlune_options options();               // replace 1, beside, the progress callback set
    void finish(std::uint64_t sourceBytes);  // the job's files held this many bytes

private:
    static std::int32_t MARLUNE_CALL onProgress(std::uint64_t done, std::uint64_t total, void* context);
    std::atomic<std::uint64_t>& bytes_;
    std::uint64_t fileSeen_ = 0;  // of the file in progress
    std::uint64_t counted_ = 0;   // of the job, told to bytes_
};

// How many files one job takes: one, or a group put on stable storage together.
// A group is bounded so that its results and the progress line come often, and
// Ctrl-C (which abandons the group in progress, every source kept) costs little.
struct Grouping {
    std::size_t files = 1;
    std::uint64_t bytes = 0;  // 0: no bound
};

// The files of a group that go through one marlune_convert_batch or marlune_copy_batch call.
class Batch {
public:
    explicit Batch(std::size_t groupFiles) : reports_(groupFiles, emptyReport()) {}
    // File i of the group. The names must stay as they are until run() returns.
    void add(std::size_t i, const std::string& source, const char* destination = nullptr);
    using Call = std::int32_t(MARLUNE_CALL*)(marlune_batch_file*, std::uint32_t, const marlune_options*);
    using Answer = std::function<void(std::size_t i, std::int32_t status, const marlune_report& report)>;
    // Makes the call, then hands each file added its status and report.
    void run(Call call, const marlune_options& options, const Answer& answer);

private:
    std::vector<marlune_report> reports_;
    std::vector<marlune_batch_file> files_;
    std::vector<std::size_t> added_;
};

// Files first .. first+count-1 of the list.
struct Group {
    std::size_t first;
    std::size_t count;
};

// Consecutive files, as many as the grouping allows, a few groups for each worker.
std::vector<Group> groupsOf(const FileList& list, const Grouping& grouping, unsigned workers);

}  // namespace marlune::cli
