#include "groups.h"

#include <algorithm>

#include "console.h"

namespace marlune::cli {
namespace {

constexpr std::size_t groupsPerWorker = 4;

// What a worker's group may keep open, leaving room for the log, the list and the system's own.
std::size_t filesPerGroup(unsigned workers) {
    const std::size_t allowed = openFilesAllowed();
    return allowed > 64 ? (allowed - 64) / (2 * workers) : 1;
}

}  // namespace

// A few groups for each worker, so that at the end none waits long for another
// and Ctrl-C abandons a small part of the list.
std::vector<Group> groupsOf(const FileList& list, const Grouping& grouping, unsigned workers) {
    const std::size_t files = list.files.size();
    const std::size_t perWorker = (files + groupsPerWorker * workers - 1) / (groupsPerWorker * workers);
    const std::size_t most = std::max<std::size_t>(1, std::min({grouping.files, perWorker, filesPerGroup(workers)}));
    const auto bytesOf = [&list](std::size_t i) { return i < list.sizes.size() ? list.sizes[i] : 0; };
    std::vector<Group> groups;
    for (std::size_t first = 0; first < files;) {
        std::size_t end = first + 1;
        std::uint64_t bytes = bytesOf(first);
        for (; end < files && end - first < most; ++end) {
            if (grouping.bytes != 0 && bytes + bytesOf(end) > grouping.bytes) break;
            bytes += bytesOf(end);
        }
        groups.push_back({first, end - first});
        first = end;
    }
    return groups;
}

marlune_options JobProgress::options() {
    marlune_options options{};
    options.size = sizeof options;
    options.replace = 1;
    options.placement = MARLUNE_BESIDE;
    options.progress = &JobProgress::onProgress;
    options.progress_context = this;
    return options;
}

std::int32_t MARLUNE_CALL JobProgress::onProgress(std::uint64_t done, std::uint64_t, void* context) {
    auto* self = static_cast<JobProgress*>(context);
    if (done < self->fileSeen_) self->fileSeen_ = 0;  // the group's next file
    self->bytes_.fetch_add(done - self->fileSeen_);
    self->counted_ += done - self->fileSeen_;
    self->fileSeen_ = done;
    return stopping() ? 1 : 0;
}

void JobProgress::finish(std::uint64_t sourceBytes) {
    if (sourceBytes > counted_) bytes_.fetch_add(sourceBytes - counted_);
    counted_ = sourceBytes;
}

void Batch::add(std::size_t i, const std::string& source, const char* destination) {
    files_.push_back({sizeof(marlune_batch_file), 0, source.c_str(), destination, &reports_[i]});
    added_.push_back(i);
}

void Batch::run(Call call, const marlune_options& options, const Answer& answer) {
    call(files_.data(), static_cast<std::uint32_t>(files_.size()), &options);
    for (std::size_t k = 0; k < files_.size(); ++k) answer(added_[k], files_[k].status, reports_[added_[k]]);
}

}  // namespace marlune::cli
