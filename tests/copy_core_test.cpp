// The copy core on its own: the framing walk, the two stages over buffers of many
// sizes, a preamble larger than the buffer with and without the system's copy, a
// source that changes while it is copied, and two copies at once on two threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "container/copy.h"
#include "container/framing.h"
#include "marlune.h"
#include "platform/file.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

using container::ChunkSpan;
using container::ContainerCopy;
using container::CopyBuffer;
using platform::File;

Bytes chunkArea(const Bytes& container) {
    return Bytes(container.begin() + 82, container.end());
}

// ---- the framing walk

TEST(Framing, CountsWholeChunksAndSizesTheUnfinishedOne) {
    Bytes area = chunkArea(KvrbBuilder().lengthMode(1).chunk(0).chunk(5).chunk(300).build());  // 8, 13, 308
    ChunkSpan span = container::walkChunks(area.data(), area.size(), false);
    EXPECT_EQ(span.wholeBytes, area.size());
    EXPECT_EQ(span.chunks, 3u);
    EXPECT_EQ(span.payloadBytes, 305u);
    EXPECT_EQ(span.unfinishedSize, 0u);

    const struct {
        std::size_t size;
        std::size_t whole;
        std::size_t unfinished;
    } cuts[] = {{0, 0, 0},   {3, 0, 8},   {8, 8, 0},   {10, 8, 8},    {16, 8, 13},
                {20, 8, 13}, {21, 21, 0}, {28, 21, 8}, {29, 21, 308}, {328, 21, 308}};
    for (const auto& cut : cuts) {
        span = container::walkChunks(area.data(), cut.size, false);
        EXPECT_EQ(span.wholeBytes, cut.whole) << cut.size;
        EXPECT_EQ(span.unfinishedSize, cut.unfinished) << cut.size;
    }
}

TEST(Framing, FixedLengthChunksAreGiven330AsTheyAreWalked) {
    const Bytes source = KvrbBuilder().lengthMode(0).chunk(7, 330).chunk(330).chunk(65535, 330).build();
    const Bytes expected = KvrbBuilder().lengthMode(0).chunk(330).chunk(330).chunk(330).build();
    Bytes area = chunkArea(source);
    // The third chunk is cut by one byte: its length field is left as stored.
    ChunkSpan span = container::walkChunks(area.data(), area.size() - 1, true);
    EXPECT_EQ(span.chunks, 2u);
    EXPECT_EQ(span.lengthFieldsSet, 1u);
    EXPECT_EQ(span.unfinishedSize, 338u);
    EXPECT_EQ(Bytes(area.begin() + 338 * 2, area.end()), Bytes(source.begin() + 82 + 338 * 2, source.end()));
    span = container::walkChunks(area.data(), area.size(), true);
    EXPECT_EQ(span.lengthFieldsSet, 1u);
    EXPECT_EQ(area, chunkArea(expected));
}

// ---- the stages

class CopyCore : public ::testing::Test {
protected:
    TempDir dir;
    std::string sourcePath = dir.path("in.snd");
    std::string destinationPath = dir.path("out.kv");

    struct Result {
        bool header = false;
        bool audio = false;
        container::CopyReport report;
    };

    // Both stages, as KVRBinfo runs them, with a buffer of `bufferSize` bytes (0: as
    // the entry point sizes it). `between` runs after the header stage.
    Result copy(platform::Os& os, const Bytes& bytes, std::size_t bufferSize,
                const std::function<void()>& between = {}) {
        writeFile(sourcePath, bytes);
        File source;
        File destination;
        EXPECT_TRUE(source.openForReading(os, sourcePath.c_str()));
        EXPECT_TRUE(destination.createForWriting(os, destinationPath.c_str(), source));
        CopyBuffer buffer;
        EXPECT_TRUE(bufferSize == 0 ? buffer.allocateFor(source.sizeAtOpen()) : buffer.allocate(bufferSize));
        container::Header header{};
        ContainerCopy copy(source, &destination, buffer, header);
        Result result;
        result.header = copy.copyHeader();
        if (between) between();
        if (result.header) result.audio = copy.copyAudioData();
        result.report = copy.report();
        EXPECT_TRUE(destination.close());
        return result;
    }
};

TEST_F(CopyCore, ChunksStraddlingBufferEndsCopyExactly) {
    const Bytes variable = KvrbBuilder()
                               .preamble(13)
                               .chunk(0)
                               .chunk(1)
                               .chunk(7)
                               .chunk(8)
                               .chunk(9)
                               .chunk(63)
                               .chunk(64)
                               .chunk(65)
                               .chunk(92)
                               .chunk(2)
                               .chunk(40)
                               .build();
    KvrbBuilder fixedSource = KvrbBuilder().lengthMode(-1).preamble(500);
    KvrbBuilder fixedExpected = KvrbBuilder().lengthMode(-1).preamble(500);
    for (std::uint16_t i = 0; i < 40; ++i) {
        fixedSource.chunk(static_cast<std::uint16_t>(i * 1777), 330);
        fixedExpected.chunk(330);
    }
    // From the smallest buffer that holds the header and each chunk, up.
    for (const std::size_t bufferSize : {100, 101, 107, 338, 339, 512, 4096, 0}) {
        TestOs os;
        Result result = copy(os, variable, bufferSize);
        EXPECT_TRUE(result.header && result.audio) << bufferSize;
        EXPECT_EQ(readFile(destinationPath), variable) << bufferSize;
        if (bufferSize < 338) continue;
        result = copy(os, fixedSource.build(), bufferSize);
        EXPECT_TRUE(result.header && result.audio) << bufferSize;
        EXPECT_EQ(readFile(destinationPath), fixedExpected.build()) << bufferSize;
    }
}

// However the system's copy behaves, the preamble arrives whole and the chunks after it.
TEST_F(CopyCore, APreambleLargerThanTheBufferIsCopiedWithOrWithoutTheSystemsCopy) {
    const Bytes bytes = KvrbBuilder().preamble(CopyBuffer::preferredSize * 2 + 1000).chunk(20).chunk(0).build();
    for (const FaultKind kind : {FaultKind::unsupported, FaultKind::noProgress, FaultKind::shortTransfer}) {
        for (const std::size_t bufferSize : {std::size_t{4096}, std::size_t{0}}) {
            for (const bool faulty : {false, true}) {
                TestOs os;
                if (faulty) os.fault = Fault{Call::copyRange, 1, kind};
                const Result result = copy(os, bytes, bufferSize);
                EXPECT_TRUE(result.header && result.audio) << bufferSize;
                EXPECT_EQ(readFile(destinationPath), bytes) << bufferSize;
                EXPECT_GE(os.calls(Call::copyRange), 1) << bufferSize;
            }
        }
    }
}

// Another program cuts the source short or extends it while it is copied: the
// stage fails and the destination keeps whole parts only.
TEST_F(CopyCore, ASourceThatChangesWhileItIsCopiedFailsWithWholeParts) {
    const Bytes bytes = KvrbBuilder().preamble(6000).chunk(100).chunk(2000).chunk(50).chunk(3000).build();
    const std::size_t dataStart = 6082;
    // In the preamble, through the buffer and by the system's copy.
    for (const Call cutAt : {Call::read, Call::copyRange}) {
        TestOs os;
        os.onCall = [&](Call call, int nth) {
            if (call == cutAt && nth == (cutAt == Call::read ? 2 : 1)) std::filesystem::resize_file(sourcePath, 5000);
        };
        EXPECT_FALSE(copy(os, bytes, cutAt == Call::read ? 4096 : 1000).header);
        EXPECT_EQ(readFile(destinationPath), prefix(bytes, 82));
    }
    // Between the stages: the whole chunks of what was read, which the header stage
    // took to its page boundary (8192) before the cut.
    const struct {
        std::size_t keep;
        std::size_t whole;
    } cuts[] = {{dataStart, dataStart + 108},
                {dataStart + 50, dataStart + 108},
                {8250, dataStart + 108 + 2008},
                {dataStart + 2200, dataStart + 108 + 2008 + 58}};
    for (const auto& cut : cuts) {
        TestOs os;
        const Result result = copy(os, bytes, 4096, [&] { std::filesystem::resize_file(sourcePath, cut.keep); });
        EXPECT_TRUE(result.header);
        EXPECT_FALSE(result.audio) << cut.keep;
        EXPECT_EQ(readFile(destinationPath), prefix(bytes, cut.whole)) << cut.keep;
    }
    // Longer than when it was opened: no complete copy, though its framing holds.
    TestOs os;
    const Bytes longer = KvrbBuilder().preamble(6000).chunk(100).chunk(2000).chunk(50).chunk(3000).chunk(9).build();
    const Result result = copy(os, bytes, 0, [&] { writeFile(sourcePath, longer); });
    EXPECT_FALSE(result.audio);
    EXPECT_EQ(readFile(destinationPath), prefix(longer, readFile(destinationPath).size()));
}

// Where each whole part of `bytes` ends: nothing, header, preamble and every chunk.
std::vector<std::size_t> partEnds(const Bytes& bytes) {
    std::vector<std::size_t> ends{0, 82, static_cast<std::size_t>(bytes[20] | bytes[21] << 8 | bytes[22] << 16)};
    for (std::size_t at = ends.back(); at + 8 <= bytes.size();) {
        at += 8 + (bytes[at + 2] | bytes[at + 3] << 8);
        ends.push_back(at);
    }
    return ends;
}

// Counts the bytes that reach the destination (the only file written), which a
// test cannot read while the copy holds it open on Windows.
class LandedOs : public TestOs {
public:
    std::uint64_t landed = 0;

    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override {
        return counted(TestOs::write(file, buffer, size));
    }
    std::int64_t copyRange(platform::Handle source, platform::Handle destination, std::size_t size) override {
        return counted(TestOs::copyRange(source, destination, size));
    }

private:
    std::int64_t counted(std::int64_t moved) {
        if (moved > 0) landed += static_cast<std::uint64_t>(moved);
        return moved;
    }
};

// A container of `chunks` chunks of 0 to 4000 bytes after a preamble of `preamble`.
Bytes variedContainer(std::size_t preamble, int chunks) {
    KvrbBuilder builder = KvrbBuilder().preamble(preamble);
    for (int i = 0; i < chunks; ++i) builder.chunk(static_cast<std::uint16_t>(i * 1237 % 4001));
    return builder.build();
}

// A write that fails anywhere, whatever the buffer's size, fails its stage and
// leaves exactly the whole parts that reached the disk; the report counts the
// chunks of the writes that succeeded. Large sources are written in whole pages,
// so that writes end inside chunks.
TEST_F(CopyCore, AFailedWriteLeavesTheWholePartsWrittenBeforeIt) {
    const Bytes small = KvrbBuilder().preamble(150).chunk(10).chunk(0).chunk(90).chunk(70).chunk(1).build();
    const Bytes large = variedContainer(300, 400);  // about 800 KB
    const struct {
        const Bytes& bytes;
        std::size_t bufferSize;
    } cases[] = {{small, 100}, {small, 200}, {small, 4096}, {large, 9000}, {large, 0}};
    for (const auto& c : cases) {
        const std::vector<std::size_t> ends = partEnds(c.bytes);
        const auto wholeWithin = [&](std::uint64_t size) {
            return *(std::upper_bound(ends.begin(), ends.end(), size) - 1);
        };
        // The chunks of the first `size` bytes.
        const auto chunksWithin = [&](std::uint64_t size) {
            const auto whole = std::upper_bound(ends.begin(), ends.end(), size) - ends.begin();
            return static_cast<std::uint64_t>(std::max<std::ptrdiff_t>(whole - 3, 0));
        };
        std::vector<std::uint64_t> landedBefore;  // what reached the disk before each write
        {
            LandedOs os;
            os.onCall = [&](Call call, int) {
                if (call == Call::write) landedBefore.push_back(os.landed);
            };
            ASSERT_TRUE(copy(os, c.bytes, c.bufferSize).audio);
        }
        for (std::size_t nth = 1; nth <= landedBefore.size(); ++nth) {
            for (const bool shortThenFull : {false, true}) {
                LandedOs os;
                os.fault = Fault{Call::write, static_cast<int>(nth),
                                 shortThenFull ? FaultKind::shortTransfer : FaultKind::error};
                os.stopAfterShortWrite = shortThenFull;
                const std::string where = std::to_string(c.bytes.size()) + " bytes, buffer " +
                                          std::to_string(c.bufferSize) + ", write #" + std::to_string(nth);
                const Result result = copy(os, c.bytes, c.bufferSize);
                EXPECT_FALSE(result.audio) << where;
                // Nothing of a write that failed outright; of one cut short, its whole parts.
                const std::size_t whole = wholeWithin(shortThenFull ? os.landed : landedBefore[nth - 1]);
                EXPECT_EQ(readFile(destinationPath), prefix(c.bytes, whole)) << where;
                EXPECT_EQ(result.report.bytesWritten, whole) << where;
                const std::uint64_t counted = result.header ? chunksWithin(landedBefore[nth - 1]) : 0;
                EXPECT_EQ(result.report.chunks, counted) << where;
            }
        }
    }
}

// A copy that writes on a thread of its own fails as the same copy made inline
// does, whatever fails and wherever: each write in turn, once, cut short before a
// full disk, making no progress, or for good (its reads then fail too); each
// read; or a cancel at each progress report. The stage, report, error code and
// cut-back all match, and the thread did write.
TEST_F(CopyCore, AnOverlappedCopyFailsAsTheInlineCopyDoes) {
    KvrbBuilder fixed = KvrbBuilder().lengthMode(0).preamble(5000);
    for (int i = 0; i < 4500; ++i) fixed.chunk(static_cast<std::uint16_t>(i % 3 == 0 ? 9 : 330), 330);
    const struct {
        Bytes bytes;
        std::size_t bufferSize;
    } samples[] = {{variedContainer(300, 800), 64 * 1024}, {fixed.build(), 200000}};  // about 1.6 and 1.5 MB
    struct Run {
        Result result;
        Bytes written;
        int error = 0;
        int writes = 0;
        int reads = 0;
        int reports = 0;
        bool behind = false;  // some write came from another thread
    };
    struct Failure {
        std::optional<Fault> fault;
        bool fullAfterShortWrite = false;
        int cancelAt = 0;  // the progress report that cancels, from 1
    };
    const auto run = [&](const Bytes& bytes, std::size_t bufferSize, bool overlapped, const Failure& failure) {
        writeFile(sourcePath, bytes);
        Run made;
        TestOs os;
        os.fault = failure.fault;
        os.stopAfterShortWrite = failure.fullAfterShortWrite;
        const std::thread::id caller = std::this_thread::get_id();
        os.onCall = [&](Call call, int) {
            made.writes += call == Call::write;
            made.reads += call == Call::read;
            made.behind |= call == Call::write && std::this_thread::get_id() != caller;
        };
        const auto report = [](std::uint64_t, std::uint64_t, void* context) {
            auto& self = *static_cast<std::pair<Run*, int>*>(context);
            return ++self.first->reports != self.second;
        };
        std::pair<Run*, int> told{&made, failure.cancelAt};
        {
            File source;
            File destination;
            EXPECT_TRUE(source.openForReading(os, sourcePath.c_str()));
            EXPECT_TRUE(destination.createForWriting(os, destinationPath.c_str(), source));
            CopyBuffer buffer;
            EXPECT_TRUE(overlapped ? buffer.allocateOverlapped(bufferSize) : buffer.allocate(bufferSize));
            container::Header header{};
            ContainerCopy copy(source, &destination, buffer, header, container::Progress{report, &told});
            made.result.header = copy.copyHeader();
            if (made.result.header) made.result.audio = copy.copyAudioData();
            made.result.report = copy.report();
            made.error = destination.error();
        }
        made.written = readFile(destinationPath);
        return made;
    };
    const auto expectSame = [](const Run& inline_, const Run& overlapped, const std::string& where) {
        const container::CopyReport& a = inline_.result.report;
        const container::CopyReport& b = overlapped.result.report;
        EXPECT_EQ(inline_.result.header, overlapped.result.header) << where;
        EXPECT_EQ(inline_.result.audio, overlapped.result.audio) << where;
        EXPECT_EQ(a.finding, b.finding) << where;
        EXPECT_EQ(std::tie(a.headerBytes, a.chunks, a.payloadBytes, a.lengthFieldsSet, a.cutOffset, a.expectedBytes,
                           a.missingBytes, a.bytesWritten),
                  std::tie(b.headerBytes, b.chunks, b.payloadBytes, b.lengthFieldsSet, b.cutOffset, b.expectedBytes,
                           b.missingBytes, b.bytesWritten))
            << where;
        EXPECT_EQ(inline_.error, overlapped.error) << where;
        EXPECT_TRUE(inline_.written == overlapped.written) << where << ": " << inline_.written.size() << " and "
                                                          << overlapped.written.size() << " bytes";
    };
    const struct {
        FaultKind kind;
        bool persistent;
        bool fullAfterShortWrite;
    } writeFaults[] = {{FaultKind::error, false, false},
                       {FaultKind::error, true, false},
                       {FaultKind::noProgress, false, false},
                       {FaultKind::shortTransfer, false, true}};
    int cases = 0;
    for (const auto& [bytes, bufferSize] : samples) {
        {
            const std::string sample = std::to_string(bytes.size()) + " bytes, buffer " + std::to_string(bufferSize);
            const Run clean = run(bytes, bufferSize, false, {});
            const Run behind = run(bytes, bufferSize, true, {});
            ASSERT_TRUE(clean.result.audio) << sample;
            expectSame(clean, behind, sample);
            EXPECT_FALSE(clean.behind);
            EXPECT_TRUE(behind.behind) << sample;
            ASSERT_GT(clean.reports, 1) << sample;
            std::vector<std::pair<std::string, Failure>> failures;
            for (int nth = 1; nth <= clean.writes; ++nth) {
                for (const auto& w : writeFaults) {
                    failures.push_back({"write #" + std::to_string(nth),
                                        {Fault{Call::write, nth, w.kind, ErrorCodes::io, w.persistent},
                                         w.fullAfterShortWrite}});
                }
            }
            for (int nth = 1; nth <= clean.reads; ++nth)
                failures.push_back({"read #" + std::to_string(nth), {Fault{Call::read, nth}}});
            for (int nth = 1; nth <= clean.reports; ++nth)
                failures.push_back({"cancel at report #" + std::to_string(nth), {std::nullopt, false, nth}});
            for (const auto& [what, failure] : failures) {
                const std::string where = sample + ", " + what +
                                          (failure.fault && failure.fault->persistent ? " for good" : "") +
                                          (failure.fullAfterShortWrite ? " cut short" : "");
                const Run a = run(bytes, bufferSize, false, failure);
                const Run b = run(bytes, bufferSize, true, failure);
                EXPECT_FALSE(a.result.audio) << where;
                expectSame(a, b, where);
                ++cases;
                if (HasFailure()) return;  // one broken case explains the rest
            }
        }
    }
    std::printf("overlapped failure cases: %d\n", cases);
}

// An Os that keeps, for each file, where each read and write began and how much it moved.
class TransfersOs : public TestOs {
public:
    struct Transfer {
        std::uint64_t at;
        std::int64_t size;
    };
    std::map<platform::Handle, std::vector<Transfer>> reads;
    std::map<platform::Handle, std::vector<Transfer>> writes;

    std::int64_t read(platform::Handle file, void* buffer, std::size_t size) override {
        return noted(reads[file], TestOs::read(file, buffer, size));
    }
    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override {
        return noted(writes[file], TestOs::write(file, buffer, size));
    }

private:
    static std::int64_t noted(std::vector<Transfer>& transfers, std::int64_t moved) {
        const std::uint64_t at = transfers.empty() ? 0 : transfers.back().at + transfers.back().size;
        if (moved > 0) transfers.push_back({at, moved});
        return moved;
    }
};

// How many of `transfers` are not whole pages at page boundaries; the last may be short.
std::size_t partPages(const std::vector<TransfersOs::Transfer>& transfers) {
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < transfers.size(); ++i) {
        if (transfers[i].at % 4096 != 0 || transfers[i].size % 4096 != 0) ++count;
    }
    return count;
}

// The header and preamble go out with the first chunks, and every read and write
// but the last is of whole pages, whatever the preamble, length mode or buffer,
// with the system's copy or without (Windows); examining reads the same way. The
// page boundary the header's write ends on may fall inside a chunk, or on one's
// start.
TEST_F(CopyCore, ALargeCopyReadsAndWritesWholePages) {
    KvrbBuilder fixedSource = KvrbBuilder().lengthMode(0).preamble(4014);  // the chunks start at 4096
    KvrbBuilder fixedExpected = KvrbBuilder().lengthMode(0).preamble(4014);
    for (int i = 0; i < 3000; ++i) {
        fixedSource.chunk(static_cast<std::uint16_t>(i * 7), 330);
        fixedExpected.chunk(330);
    }
    const Bytes fixed = fixedSource.build();
    const Bytes variable = variedContainer(1000, 600);
    const Bytes longPreamble = variedContainer(700 * 1024 + 5, 300);
    const struct {
        const Bytes& source;
        Bytes expected;
    } cases[] = {{fixed, fixedExpected.build()}, {variable, variable}, {longPreamble, longPreamble}};
    for (const auto& c : cases) {
        for (const std::size_t bufferSize : {std::size_t{0}, std::size_t{20000}, std::size_t{20000 + 4096}}) {
            const bool systemCopy = bufferSize != 20000;
            const std::string where = std::to_string(c.source.size()) + " bytes, buffer " + std::to_string(bufferSize);
            TransfersOs os;
            if (!systemCopy) os.fault = Fault{Call::copyRange, 1, FaultKind::unsupported};
            const Result result = copy(os, c.source, bufferSize);
            EXPECT_TRUE(result.header && result.audio) << where;
            EXPECT_EQ(readFile(destinationPath), c.expected) << where;
            ASSERT_EQ(os.reads.size(), 1u) << where;
            ASSERT_EQ(os.writes.size(), 1u) << where;
            const auto& reads = os.reads.begin()->second;
            const auto& writes = os.writes.begin()->second;
            EXPECT_GT(writes.size(), 2u) << where;
            EXPECT_EQ(partPages(reads), 0u) << where;
            EXPECT_EQ(partPages(writes), 0u) << where;

            TransfersOs judging;
            File source;
            ASSERT_TRUE(source.openForReading(judging, sourcePath.c_str()));
            CopyBuffer buffer;
            ASSERT_TRUE(bufferSize == 0 ? buffer.allocateFor(source.sizeAtOpen()) : buffer.allocate(bufferSize));
            container::Header header{};
            ContainerCopy judge(source, nullptr, buffer, header);
            EXPECT_TRUE(judge.copyHeader() && judge.copyAudioData()) << where;
            EXPECT_EQ(judge.report().chunks, result.report.chunks) << where;
            EXPECT_EQ(partPages(judging.reads.begin()->second), 0u) << where;
        }
    }
}

// A small copy costs one call of each kind it needs, and positions nothing.
TEST_F(CopyCore, ASmallCopyMakesOnlyTheCallsItNeeds) {
    const Bytes bytes = KvrbBuilder().lengthMode(0).preamble(40).chunk(3, 330).chunk(330).build();
    writeFile(destinationPath, Bytes(100, 1));  // an existing destination
    TestOs os;
    writeFile(sourcePath, bytes);
    ASSERT_EQ(KVRBinfo(sourcePath.c_str(), destinationPath.c_str(), 1), 1);
    EXPECT_EQ(os.calls(Call::read), 2);   // the file, then its end
    EXPECT_EQ(os.calls(Call::write), 2);  // header and preamble alone (short of a page), then the chunks
    EXPECT_EQ(os.calls(Call::close), 2);
    EXPECT_EQ(os.calls(Call::truncate), 0);

    KvrbBuilder many = KvrbBuilder().lengthMode(0);
    for (int i = 0; i < 10000; ++i) many.chunk(330);
    writeFile(sourcePath, many.build());  // 3.4 MB
    ASSERT_EQ(KVRBinfo(sourcePath.c_str(), destinationPath.c_str(), 1), 1);
    EXPECT_LT(os.calls(Call::read) + os.calls(Call::write), 40);
}

// An Os whose reads wait until every copy has started reading: copies that could
// not overlap would time out here.
class RendezvousOs : public TestOs {
public:
    explicit RendezvousOs(int copies) : waiting_(copies) {}
    bool allMet() const { return met_; }

    std::int64_t read(platform::Handle file, void* buffer, std::size_t size) override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (--waiting_ <= 0) {
                met_ = true;
                cv_.notify_all();
            }
            cv_.wait_for(lock, std::chrono::seconds(10), [&] { return met_; });
        }
        return platform::nativeOs().read(file, buffer, size);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int waiting_;
    bool met_ = false;
};

TEST_F(CopyCore, TwoCopiesRunAtOnceOnTwoThreads) {
    const Bytes fixed = KvrbBuilder().lengthMode(0).preamble(10).chunk(1, 330).chunk(330).build();
    const Bytes fixedExpected = KvrbBuilder().lengthMode(0).preamble(10).chunk(330).chunk(330).build();
    const Bytes variable = KvrbBuilder().preamble(3).chunk(100).chunk(7).build();
    RendezvousOs os(2);
    std::atomic<int> copied{0};
    const auto copyOne = [&](const std::string& name, const Bytes& bytes) {
        const std::string from = dir.path(name + ".snd");
        const std::string to = dir.path(name + ".kv");
        writeFile(from, bytes);
        File source;
        File destination;
        CopyBuffer buffer;
        container::Header header{};
        if (!source.openForReading(os, from.c_str()) || !destination.createForWriting(os, to.c_str(), source) ||
            !buffer.allocateFor(source.sizeAtOpen())) {
            return;
        }
        ContainerCopy copy(source, &destination, buffer, header);
        if (copy.copyHeader() && copy.copyAudioData() && destination.close()) ++copied;
    };
    std::thread first(copyOne, "first", fixed);
    std::thread second(copyOne, "second", variable);
    first.join();
    second.join();
    EXPECT_TRUE(os.allMet());
    EXPECT_EQ(copied, 2);
    EXPECT_EQ(readFile(dir.path("first.kv")), fixedExpected);
    EXPECT_EQ(readFile(dir.path("second.kv")), variable);
}

}  // namespace
}  // namespace marlune::testing
