#include "batch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "console.h"

namespace marlune::cli {
namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");
std::atomic<bool> outputClosed{false};

extern "C" void onInterrupt(int) {
    stopRequested.store(true);
    // A second Ctrl-C ends the process at once; the library leaves no partial file at a name even then.
    std::signal(SIGINT, SIG_DFL);
}

using Clock = std::chrono::steady_clock;

constexpr auto progressEvery = std::chrono::milliseconds(200);
// Finished results wait for the files before them in memory: no more than this
// many files per worker run ahead of the output.
constexpr std::size_t windowPerWorker = 4;
// Kept within a classic 80-column terminal so that "\r" can always take it back.
constexpr std::size_t progressWidth = 79;

const char* statusName(std::int32_t status) {
    switch (status) {
        case MARLUNE_OK:
            return "MARLUNE_OK";
        case MARLUNE_ALREADY_CONVERTED:
            return "MARLUNE_ALREADY_CONVERTED";
        case MARLUNE_SALVAGED:
            return "MARLUNE_SALVAGED";
        case MARLUNE_FINISHED:
            return "MARLUNE_FINISHED";
        case MARLUNE_NO_SOURCE_NAME:
            return "MARLUNE_NO_SOURCE_NAME";
        case MARLUNE_NO_DESTINATION_NAME:
            return "MARLUNE_NO_DESTINATION_NAME";
        case MARLUNE_BAD_NAME:
            return "MARLUNE_BAD_NAME";
        case MARLUNE_SOURCE_MISSING:
            return "MARLUNE_SOURCE_MISSING";
        case MARLUNE_SOURCE_UNREADABLE:
            return "MARLUNE_SOURCE_UNREADABLE";
        case MARLUNE_SOURCE_NOT_A_FILE:
            return "MARLUNE_SOURCE_NOT_A_FILE";
        case MARLUNE_DESTINATION_UNCREATABLE:
            return "MARLUNE_DESTINATION_UNCREATABLE";
        case MARLUNE_DESTINATION_IS_SOURCE:
            return "MARLUNE_DESTINATION_IS_SOURCE";
        case MARLUNE_DESTINATION_EXISTS:
            return "MARLUNE_DESTINATION_EXISTS";
        case MARLUNE_DESTINATION_REPLACED:
            return "MARLUNE_DESTINATION_REPLACED";
        case MARLUNE_PARTIAL_IN_USE:
            return "MARLUNE_PARTIAL_IN_USE";
        case MARLUNE_NOT_A_CONTAINER:
            return "MARLUNE_NOT_A_CONTAINER";
        case MARLUNE_HEADER_CUT:
            return "MARLUNE_HEADER_CUT";
        case MARLUNE_DATA_OFFSET_BELOW_HEADER:
            return "MARLUNE_DATA_OFFSET_BELOW_HEADER";
        case MARLUNE_PREAMBLE_CUT:
            return "MARLUNE_PREAMBLE_CUT";
        case MARLUNE_CHUNK_HEADER_CUT:
            return "MARLUNE_CHUNK_HEADER_CUT";
        case MARLUNE_PAYLOAD_CUT:
            return "MARLUNE_PAYLOAD_CUT";
        case MARLUNE_SOURCE_CHANGED:
            return "MARLUNE_SOURCE_CHANGED";
        case MARLUNE_READ_ERROR:
            return "MARLUNE_READ_ERROR";
        case MARLUNE_WRITE_ERROR:
            return "MARLUNE_WRITE_ERROR";
        case MARLUNE_DISK_FULL:
            return "MARLUNE_DISK_FULL";
        case MARLUNE_SYNC_ERROR:
            return "MARLUNE_SYNC_ERROR";
        case MARLUNE_CANCELLED:
            return "MARLUNE_CANCELLED";
        case MARLUNE_OUT_OF_MEMORY:
            return "MARLUNE_OUT_OF_MEMORY";
        default:
            return "MARLUNE_UNKNOWN";
    }
}

// The piece a report says is cut short, or null.
const char* cutPiece(std::int32_t status, const marlune_report& report) {
    switch (status) {
        case MARLUNE_HEADER_CUT:
            return "header";
        case MARLUNE_PREAMBLE_CUT:
            return "preamble";
        case MARLUNE_CHUNK_HEADER_CUT:
            return "chunk-header";
        case MARLUNE_PAYLOAD_CUT:
            return "payload";
        // What is kept ends where the cut chunk starts: at its header, or 8 bytes before its payload.
        case MARLUNE_SALVAGED:
            return report.cut_offset == report.bytes_written ? "chunk-header" : "payload";
        default:
            return nullptr;
    }
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::converted:
            return "converted";
        case Outcome::finished:
            return "finished";
        case Outcome::partialRemoved:
            return "partial-removed";
        case Outcome::collision:
            return "collision";
        case Outcome::copied:
            return "copied";
        case Outcome::salvaged:
            return "salvaged";
        case Outcome::complete:
            return "complete";
        case Outcome::wouldConvert:
            return "would-convert";
        case Outcome::alreadyKv:
            return "already-kv";
        case Outcome::skipped:
            return "skipped";
        case Outcome::kept:
            return "kept";
        case Outcome::failed:
            return "failed";
    }
    return "failed";
}

constexpr std::size_t outcomeCount = 12;

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

std::string numberOrNull(bool known, std::uint64_t value) {
    return known ? number(value) : "null";
}

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string mebibytes(std::uint64_t bytes) {
    return formatted("%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

std::string duration(double seconds) {
    const auto whole = static_cast<std::uint64_t>(seconds + 0.5);
    const std::uint64_t minutes = whole / 60;
    const std::string secondsText = (whole % 60 < 10 ? "0" : "") + number(whole % 60);
    if (minutes < 60) return number(minutes) + ":" + secondsText;
    return number(minutes / 60) + ":" + (minutes % 60 < 10 ? "0" : "") + number(minutes % 60) + ":" + secondsText;
}

std::string fileRecord(const std::string& command, const std::string& file, const FileResult& result) {
    const marlune_report& report = result.report;
    const char* piece = result.hasStatus ? cutPiece(result.status, report) : nullptr;
    std::string out = "{\"record\": \"file\", \"command\": " + jsonString(command);
    out += ", \"file\": " + jsonString(file);
    out += ", \"destination\": " + (result.destination.empty() ? "null" : jsonString(result.destination));
    out += ", \"outcome\": \"" + std::string(outcomeName(result.outcome)) + "\"";
    out += ", \"status\": " + (result.hasStatus ? "\"" + std::string(statusName(result.status)) + "\"" : "null");
    out += ", \"statusCode\": " + (result.hasStatus ? std::to_string(result.status) : "null");
    out += ", \"reason\": " + jsonString(result.reason);
    out += ", \"systemError\": " + std::to_string(result.hasStatus ? report.system_error : 0);
    out += ", \"cutPiece\": " + (piece ? jsonString(piece) : "null");
    out += ", \"cutOffset\": " + numberOrNull(piece != nullptr, report.cut_offset);
    out += ", \"cutExpectedBytes\": " + numberOrNull(piece != nullptr, report.cut_size);
    out += ", \"cutMissingBytes\": " + numberOrNull(piece != nullptr, report.cut_missing);
    out += ", \"chunk\": " + numberOrNull(piece != nullptr && report.chunk_number != 0, report.chunk_number);
    out += ", \"bytesIn\": " + number(result.hasStatus ? report.source_bytes : 0);
    out += ", \"bytesOut\": " + number(result.hasStatus ? report.bytes_written : 0);
    return out + result.json + "}\n";
}

// One line on standard error, rewritten in place.
class ProgressLine {
public:
    explicit ProgressLine(bool shown) : shown_(shown) {}
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void show(std::string line) {
        if (!shown_) return;
        if (line.size() > progressWidth) line.resize(progressWidth);
        clear();
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        width_ = line.size();
    }

    void clear() {
        if (width_ == 0) return;
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
        std::fflush(stderr);
        width_ = 0;
    }

private:
    bool shown_;
    std::size_t width_ = 0;
};

// Restores the handler that was there before.
class InterruptHandler {
public:
    InterruptHandler() : previous_(std::signal(SIGINT, onInterrupt)) {}
    ~InterruptHandler() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    void (*previous_)(int);
};

class Batch {
public:
    Batch(const FileList& list, const BatchSettings& settings, const Job& job)
        : list_(list), settings_(settings), job_(job), progress_(settings.progress), start_(Clock::now()) {
        for (std::uint64_t size : list.sizes) totalBytes_ += size;
    }

    int run() {
        for (const Unreadable& unreadable : list_.unreadable) {
            FileResult result;
            result.reason = unreadable.why;
            emit(unreadable.path, result);
        }
        const std::size_t count = list_.files.size();
        const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(settings_.workers, count));
        window_ = windowPerWorker * std::max(1u, workers);
        std::vector<std::thread> threads;
        for (unsigned i = 0; i < workers; ++i) threads.emplace_back([this] { work(); });
        drawProgress();
        auto lastDrawn = Clock::now();
        for (;;) {
            std::vector<std::pair<std::size_t, FileResult>> ready;
            bool finished = false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wakeUp_.wait_for(lock, progressEvery, [this, workers] {
                    return (!pending_.empty() && pending_.begin()->first == nextToEmit_) || workersDone_ == workers;
                });
                while (!pending_.empty() && pending_.begin()->first == nextToEmit_) {
                    ready.emplace_back(nextToEmit_, std::move(pending_.begin()->second));
                    pending_.erase(pending_.begin());
                    ++nextToEmit_;
                }
                finished = workersDone_ == workers && pending_.empty();
            }
            if (!ready.empty()) roomFreed_.notify_all();
            for (const auto& [index, result] : ready) emit(list_.files[index], result);
            // Whoever reads the records as they come (a pipe, a job scheduler) gets them now.
            if (!ready.empty()) flushOutput();
            if (Clock::now() - lastDrawn >= progressEvery || !ready.empty()) {
                drawProgress();
                lastDrawn = Clock::now();
            }
            if (finished) break;
        }
        for (std::thread& thread : threads) thread.join();
        drawProgress();
        progress_.clear();
        return finish();
    }

private:
    void work() {
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                // However slow one file, or the reader of the output, what waits stays within the window.
                while (!stopping() && next_ < list_.files.size() && next_ >= nextToEmit_ + window_) {
                    roomFreed_.wait_for(lock, progressEvery);
                }
                if (stopping() || next_ >= list_.files.size()) break;
                index = next_++;
            }
            JobProgress progress(bytesDone_);
            FileResult result = job_(index, list_.files[index], progress);
            progress.finish(result.report.source_bytes);
            filesDone_.fetch_add(1);
            std::lock_guard<std::mutex> lock(mutex_);
            pending_.emplace(index, std::move(result));
            wakeUp_.notify_one();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++workersDone_;
        wakeUp_.notify_one();
    }

    std::size_t fileCount() const { return list_.files.size() + list_.unreadable.size(); }

    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    void drawProgress() {
        if (!settings_.progress) return;
        const std::size_t done = filesDone_.load() + list_.unreadable.size();
        const std::uint64_t bytes = bytesDone_.load();
        const double elapsed = seconds();
        std::string line = number(done) + "/" + number(fileCount()) + " files, " + mebibytes(bytes);
        if (totalBytes_ != 0) line += " of " + mebibytes(totalBytes_);
        if (elapsed > 0.5 && bytes != 0) {
            const double rate = static_cast<double>(bytes) / elapsed;
            line += ", " + mebibytes(static_cast<std::uint64_t>(rate)) + "/s";
            double left = 0;
            if (totalBytes_ != 0) {
                left = static_cast<double>(totalBytes_ > bytes ? totalBytes_ - bytes : 0) / rate;
            } else if (done != 0) {
                left = elapsed * static_cast<double>(fileCount() - done) / static_cast<double>(done);
            }
            line += ", " + duration(left) + " left";
        }
        progress_.show(line);
    }

    void emit(const std::string& file, const FileResult& result) {
        ++counts_[static_cast<std::size_t>(result.outcome)];
        const bool work = result.outcome == Outcome::converted || result.outcome == Outcome::copied ||
                          result.outcome == Outcome::salvaged || result.outcome == Outcome::complete ||
                          result.outcome == Outcome::wouldConvert;
        if (work && result.hasStatus) {
            bytesIn_ += result.report.source_bytes;
            bytesOut_ += result.report.bytes_written;
        }
        if (settings_.json) {
            put(fileRecord(settings_.command, file, result));
            return;
        }
        const std::string line = textLine(file, result);
        if (line.empty()) return;
        progress_.clear();
        const bool problem = !settings_.dryRun && (result.outcome == Outcome::failed ||
                                                   result.outcome == Outcome::kept || result.outcome == Outcome::collision);
        if (problem && result.text.empty()) {
            std::fputs(line.c_str(), stderr);
        } else {
            put(line);
        }
    }

    // Standard output that fails (a reader gone, a full disk) stops the run as Ctrl-C does:
    // nothing more is worth working for when its results cannot be told.
    void put(const std::string& text) {
        if (outputFailed_) return;
        if (std::fputs(text.c_str(), stdout) == EOF) outputFailed();
    }

    void flushOutput() {
        if (!outputFailed_ && std::fflush(stdout) != 0) outputFailed();
    }

    void outputFailed() {
        outputFailed_ = true;
        outputClosed.store(true);
        roomFreed_.notify_all();
    }

    std::string textLine(const std::string& file, const FileResult& result) {
        if (!result.text.empty()) {
            // The command's own blocks, a blank line between them.
            const std::string text = (blockShown_ ? "\n" : "") + result.text;
            blockShown_ = true;
            return text;
        }
        const std::string to = result.destination.empty() ? "" : " to " + result.destination;
        if (settings_.dryRun) {
            switch (result.outcome) {
                case Outcome::wouldConvert:
                    return file + ": would convert" + to + "\n";
                case Outcome::alreadyKv:
                    return file + ": already .kv\n";
                case Outcome::skipped:
                    return file + ": would skip: " + result.reason + "\n";
                case Outcome::kept:
                    return file + ": would keep " + result.destination + ": it exists\n";
                case Outcome::collision:
                    return file + ": would not convert: " + result.reason + "\n";
                default:
                    return file + ": would fail: " + result.reason + "\n";
            }
        }
        switch (result.outcome) {
            case Outcome::failed:
                // A single copy's failure shows in the exit status alone with -q.
                if (settings_.quiet && settings_.command != "convert") return {};
                return "marlune: " + file + ": " + (settings_.quiet ? "not " + doneWord() : result.reason) + "\n";
            case Outcome::kept:
                return "marlune: " + file + ": kept " + result.destination + ": it exists (--force replaces it)\n";
            case Outcome::collision:
                return "marlune: " + file + ": not converted" + (settings_.quiet ? "" : ": " + result.reason) + "\n";
            default:
                break;
        }
        if (!settings_.verbose) return {};
        switch (result.outcome) {
            case Outcome::alreadyKv:
                return file + ": already .kv\n";
            case Outcome::skipped:
                return file + ": skipped: " + result.reason + "\n";
            case Outcome::finished:
                return file + ": finished: " + result.destination + " held its conversion already\n";
            case Outcome::partialRemoved:
                return file + ": removed: " + result.reason + "\n";
            default:
                return file + ": " + outcomeName(result.outcome) + to + "\n";
        }
    }

    std::string doneWord() const {
        if (settings_.command == "convert") return "converted";
        if (settings_.command == "info") return "complete";
        return settings_.command == "salvage" ? "salvaged" : "copied";
    }

    std::size_t count(Outcome outcome) const { return counts_[static_cast<std::size_t>(outcome)]; }

    int finish() {
        const std::size_t notStarted = list_.files.size() - next_;
        const bool wasInterrupted = interrupted();
        const double elapsed = seconds();
        const double rate = elapsed > 0 ? static_cast<double>(bytesIn_) / elapsed : 0;
        if (settings_.json) {
            std::string out = "{\"record\": \"summary\", \"command\": " + jsonString(settings_.command);
            out += ", \"dryRun\": " + std::string(settings_.dryRun ? "true" : "false");
            out += ", \"files\": " + number(fileCount());
            static constexpr const char* keys[outcomeCount] = {
                "converted", "copied", "salvaged", "complete", "wouldConvert",
                "alreadyKv", "skipped", "kept",    "failed",   "finished", "partialsRemoved", "collisions"};
            for (std::size_t i = 0; i < outcomeCount; ++i)
                out += ", \"" + std::string(keys[i]) + "\": " + number(counts_[i]);
            out += ", \"notStarted\": " + number(notStarted);
            out += ", \"interrupted\": " + std::string(wasInterrupted ? "true" : "false");
            out += ", \"linksNotFollowed\": " + number(list_.linksNotFollowed);
            out += ", \"bytesIn\": " + number(bytesIn_) + ", \"bytesOut\": " + number(bytesOut_);
            out += ", \"seconds\": " + formatted("%.3f", elapsed);
            out += ", \"bytesPerSecond\": " + number(static_cast<std::uint64_t>(rate)) + "}\n";
            put(out);
        } else if (settings_.summaryText && (settings_.command != "info" || fileCount() > 1)) {
            // One file's verdict says all there is: info sums up only several.
            std::string out;
            if (wasInterrupted)
                out += "interrupted: " + number(notStarted) + " of " + number(fileCount()) + " files not started\n";
            if (list_.linksNotFollowed != 0) {
                out += number(list_.linksNotFollowed) + " symbolic links not followed (-L follows them)\n";
            }
            out += summaryCounts() + "\n";
            if (count(Outcome::partialRemoved) != 0) {
                const std::size_t removed = count(Outcome::partialRemoved);
                out += number(removed) + (removed == 1 ? " partial file" : " partial files") +
                       " of conversions stopped by a crash removed\n";
            }
            // info writes nothing: only what it read.
            const bool writes = settings_.command != "info";
            out += mebibytes(bytesIn_) + (writes ? " in, " + mebibytes(bytesOut_) + " out, " : " read, ") +
                   formatted("%.2f s", elapsed) + ", " + mebibytes(static_cast<std::uint64_t>(rate)) + "/s\n";
            put(out);
        }
        flushOutput();
        if (outputFailed_) return exitOutputClosed;
        if (wasInterrupted) return exitInterrupted;
        return count(Outcome::failed) == 0 && count(Outcome::collision) == 0 ? 0 : 1;
    }

    std::string summaryCounts() const {
        const auto part = [this](Outcome outcome, const char* words) { return number(count(outcome)) + words; };
        if (settings_.command == "info") {
            return part(Outcome::complete, " complete, ") + part(Outcome::skipped, " skipped (not a container), ") +
                   part(Outcome::failed, " failed");
        }
        // What only a crash or an odd list brings is told only when met.
        const std::string finished = count(Outcome::finished) == 0 ? "" : part(Outcome::finished, " finished, ");
        const std::string collided =
            count(Outcome::collision) == 0 ? "" : ", " + part(Outcome::collision, " colliding (named twice, or one .kv name for two)");
        if (settings_.dryRun) {
            return part(Outcome::wouldConvert, " to convert, ") + part(Outcome::alreadyKv, " already .kv, ") +
                   part(Outcome::skipped, " to skip (not a container), ") +
                   part(Outcome::kept, " to keep (.kv exists), ") + part(Outcome::failed, " refused") + collided;
        }
        return part(Outcome::converted, " converted, ") + finished + part(Outcome::alreadyKv, " already .kv, ") +
               part(Outcome::skipped, " skipped (not a container), ") + part(Outcome::kept, " kept (.kv exists), ") +
               part(Outcome::failed, " failed") + collided;
    }

    const FileList& list_;
    const BatchSettings& settings_;
    const Job& job_;
    ProgressLine progress_;
    Clock::time_point start_;
    std::uint64_t totalBytes_ = 0;

    std::mutex mutex_;
    std::condition_variable wakeUp_;
    std::map<std::size_t, FileResult> pending_;  // finished, waiting for the files before them
    std::condition_variable roomFreed_;  // the output took results: a worker may start further files
    std::size_t nextToEmit_ = 0;
    std::size_t next_ = 0;  // the next file to start
    std::size_t window_ = windowPerWorker;
    unsigned workersDone_ = 0;
    std::atomic<std::size_t> filesDone_{0};
    std::atomic<std::uint64_t> bytesDone_{0};

    std::size_t counts_[outcomeCount] = {};
    std::uint64_t bytesIn_ = 0;
    std::uint64_t bytesOut_ = 0;
    bool blockShown_ = false;
    bool outputFailed_ = false;  // read and written by the thread that writes the output
};

char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}

}  // namespace

bool interrupted() {
    return stopRequested.load();
}

bool stopping() {
    return stopRequested.load() || outputClosed.load();
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
    if (done > self->seen_) {
        self->bytes_.fetch_add(done - self->seen_);
        self->seen_ = done;
    }
    return stopping() ? 1 : 0;
}

void JobProgress::finish(std::uint64_t sourceBytes) {
    if (sourceBytes > seen_) bytes_.fetch_add(sourceBytes - seen_);
    seen_ = sourceBytes;
}

int runBatch(const FileList& list, const BatchSettings& settings, const Job& job) {
    const InterruptHandler handler;
    Batch batch(list, settings, job);
    return batch.run();
}

std::string reasonOf(std::int32_t status, const marlune_report& report) {
    std::string text = marlune_status_text(status);
    if (cutPiece(status, report) != nullptr) {
        text += " (at offset " + number(report.cut_offset) + ", " + number(report.cut_missing) + " of " +
                number(report.cut_size) + " bytes missing)";
    }
    return text;
}

marlune_report emptyReport() {
    marlune_report report{};
    report.size = sizeof report;
    return report;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte == '"' || byte == '\\') {
                out += '\\';
                out += static_cast<char>(byte);
            } else if (byte < 0x20) {
                out += "\\u00";
                out += hexDigit(byte >> 4u);
                out += hexDigit(byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        // Sequence length and the smallest value it may carry (no overlong forms).
        // 0xF8 and above begin no sequence: their 5- and 6-byte forms left UTF-8 long ago.
        const std::size_t length = byte >= 0xF8 ? 0 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
        std::uint32_t value = length == 4 ? byte & 0x07u : length == 3 ? byte & 0x0Fu : byte & 0x1Fu;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            value = (value << 6) | (next & 0x3Fu);
        }
        const std::uint32_t smallest = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0x80;
        valid = valid && value >= smallest && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

}  // namespace marlune::cli
