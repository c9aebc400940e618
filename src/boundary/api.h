// What the exported functions of the interface for programs share: options read
// as far as their size says, and reports handed back as far as theirs, with
// nothing thrown past the boundary.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "boundary/operations.h"
#include "marlune.h"

namespace marlune {

// Whether the first `size` bytes of a caller's struct hold all of `member`: a
// struct of an older version is shorter, and what lies past its end is not read.
template <typename Struct, typename Field>
bool holds(std::uint32_t size, Field Struct::*member) {
    const Struct probe{};
    const auto offset = reinterpret_cast<const char*>(&(probe.*member)) - reinterpret_cast<const char*>(&probe);
    return static_cast<std::size_t>(offset) + sizeof(Field) <= size;
}

// The caller's options as far as its `size` says; a field not wholly inside it, and
// a null pointer, take the defaults. Values no option has count as the safest one.
marlune_options settingsFrom(const marlune_options* options);

// A request over `os` as `settings` say; `settings` must outlive it (its progress
// callback goes through them).
CopyRequest requestFrom(platform::Os& os, const marlune_options& settings, const char* source,
                        const char* destination);

// Copies `report` into the caller's (when there is one) as far as its `size` says;
// a report whose size is below 8 is left alone.
inline void handBackReport(marlune_report* caller, const marlune_report& report) {
    if (!caller || caller->size < 8) return;
    const std::uint32_t size = caller->size;
    std::memcpy(caller, &report, std::min<std::size_t>(size, sizeof report));
    caller->size = size;
}

// Runs `work` on a report of the full size, and hands the caller as much of it as
// its `size` asks for. Nothing is thrown past the boundary.
template <typename Work>
std::int32_t reported(marlune_report* caller, Work work) {
    marlune_report report{};
    report.size = sizeof report;
    try {
        report.status = work(report);
    } catch (...) {  // no memory for a path or a name
        report = marlune_report{};
        report.size = sizeof report;
        report.status = MARLUNE_OUT_OF_MEMORY;
    }
    handBackReport(caller, report);
    return report.status;
}


// marlune_copy, marlune_convert, marlune_judge_convert, marlune_examine and
// marlune_remove_partial over `os` (the exported functions give the system's), so
// that tests can run them over their own.
std::int32_t copyThrough(platform::Os& os, const char* source, const char* destination,
                         const marlune_options* options, marlune_report* report);
std::int32_t convertThrough(platform::Os& os, const char* path, const marlune_options* options,
                            marlune_report* report);
std::int32_t judgeConvertThrough(platform::Os& os, const char* path, const marlune_options* options,
                                 marlune_report* report);
std::int32_t examineThrough(platform::Os& os, const char* path, marlune_report* report);
std::int32_t removePartialThrough(platform::Os& os, const char* path, marlune_report* report);
// A run's batch gives `destinationFull` (the run's): the first file that finds the
// destination full sets it, and once it is set no file of the batch begins. Each
// left answers `notBegun`, nothing of it read or written; never handed to a caller.
// With `overlapWrites`, a large copy writes on a thread of its own (CopyRequest).
inline constexpr std::int32_t notBegun = -1;
// marlune_copy_stream, for the library's own reader and writer: with
// `overlapWrites`, a large copy calls the writer from a thread of its own, which a
// caller's writer is never asked to bear.
std::int32_t copyStreamThrough(const marlune_reader* source, const marlune_writer* destination,
                               const marlune_options* options, marlune_report* report, bool overlapWrites);
std::int32_t convertBatchThrough(platform::Os& os, marlune_batch_file* files, std::uint32_t count,
                                 const marlune_options* options, std::atomic<bool>* destinationFull = nullptr,
                                 bool overlapWrites = false);
std::int32_t copyBatchThrough(platform::Os& os, marlune_batch_file* files, std::uint32_t count,
                              const marlune_options* options, std::atomic<bool>* destinationFull = nullptr,
                              bool overlapWrites = false);

}  // namespace marlune
