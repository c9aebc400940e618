// The file object's buffers and the system's own copy, alone and under the two copy
// stages: parts that straddle the ends of small buffers, writes that fail wherever
// they surface, copies the system cannot do or does only in part, and a source
// that shrinks while it is copied.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

#include "container/copy.h"
#include "marlune.h"
#include "platform/file.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

using platform::File;
using platform::Os;

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + i / 251);
    return bytes;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t size) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + size));
}

// Counts the bytes that reach any file, so that a test knows how far a failed copy
// got; can act before a read or a copyRange, and script copyRange's results. A
// scripted copy is done with the native reads and writes, as the system would do
// it, so that it behaves the same where the system has no copy of its own.
class LandedOs : public TestOs {
public:
    std::uint64_t landed = 0;
    // Called before every read and copyRange, with the call's kind and number.
    std::function<void(Call, int)> before;
    // copyRange's first calls: a positive entry copies at most that many bytes; any
    // other is the call's result, without copying. Later calls go to the system.
    std::vector<std::int64_t> copyRangeScript;

    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override {
        const std::int64_t put = TestOs::write(file, buffer, size);
        if (put > 0) landed += static_cast<std::uint64_t>(put);
        return put;
    }
    std::int64_t read(platform::Handle file, void* buffer, std::size_t size) override {
        if (before) before(Call::read, calls(Call::read) + 1);
        return TestOs::read(file, buffer, size);
    }
    std::int64_t copyRange(platform::Handle source, platform::Handle destination, std::size_t size) override {
        const auto n = static_cast<std::size_t>(calls(Call::copyRange));
        if (before) before(Call::copyRange, calls(Call::copyRange) + 1);
        if (n >= copyRangeScript.size()) {
            const std::int64_t copied = TestOs::copyRange(source, destination, size);
            if (copied > 0) landed += static_cast<std::uint64_t>(copied);
            return copied;
        }
        TestOs::copyRange(source, destination, 0);  // counted all the same
        if (copyRangeScript[n] <= 0) return copyRangeScript[n];
        Bytes bytes(std::min(size, static_cast<std::size_t>(copyRangeScript[n])));
        const std::int64_t got = platform::nativeOs().read(source, bytes.data(), bytes.size());
        if (got <= 0) return got;
        const std::int64_t put = platform::nativeOs().write(destination, bytes.data(), static_cast<std::size_t>(got));
        if (put > 0) landed += static_cast<std::uint64_t>(put);
        return put;
    }
};

class BufferedIoTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string sourcePath = dir.path("in.snd");
    std::string destinationPath = dir.path("out.kv");

    void open(Os& os, File& source, File& destination, const Bytes& bytes) {
        writeFile(sourcePath, bytes);
        ASSERT_TRUE(source.openForReading(os, sourcePath.c_str()));
        ASSERT_TRUE(destination.createForWriting(os, destinationPath.c_str(), source));
    }
};

// ---- the file object alone

TEST_F(BufferedIoTest, ReadsOfAnySizeGiveTheFileInOrder) {
    const Bytes bytes = pattern(5000);
    const std::size_t sizes[] = {1, 7, 63, 64, 65, 130, 0, 8, 200, 3};
    for (const std::size_t bufferSize : {0, 1, 64, 100, 4096, 8192}) {
        TestOs os;
        File source(bufferSize);
        File unused;
        open(os, source, unused, bytes);
        Bytes got;
        for (std::size_t i = 0;; ++i) {
            Bytes part(sizes[i % std::size(sizes)]);
            const std::int64_t count = source.read(part.data(), part.size());
            ASSERT_GE(count, 0);
            got.insert(got.end(), part.begin(), part.begin() + count);
            if (static_cast<std::size_t>(count) < part.size()) break;  // the end of the file
        }
        EXPECT_EQ(got, bytes) << bufferSize;
        Bytes more(4);
        EXPECT_EQ(source.read(more.data(), more.size()), 0) << bufferSize;
    }
}

TEST_F(BufferedIoTest, PositioningDropsWhatWasReadAhead) {
    TestOs os;
    File source(64);
    File unused;
    const Bytes bytes = pattern(300);
    open(os, source, unused, bytes);
    Bytes part(10);
    ASSERT_EQ(source.read(part.data(), part.size()), 10);
    ASSERT_TRUE(source.seek(3));
    ASSERT_EQ(source.read(part.data(), 5), 5);
    EXPECT_EQ(prefix(part, 5), slice(bytes, 3, 5));
    ASSERT_TRUE(source.seek(250));
    ASSERT_EQ(source.read(part.data(), 10), 10);
    EXPECT_EQ(part, slice(bytes, 250, 10));
}

TEST_F(BufferedIoTest, WritesOfAnySizeReachTheFileInOrder) {
    const Bytes bytes = pattern(20000);
    const std::size_t sizes[] = {8, 330, 1, 4096, 0, 64, 65, 9000, 7};
    for (const std::size_t bufferSize : {0, 1, 64, 100, 4096, 8192}) {
        TestOs os;
        File source;
        File destination(bufferSize);
        open(os, source, destination, {});
        for (std::size_t done = 0, i = 0; done < bytes.size(); ++i) {
            const std::size_t size = std::min(sizes[i % std::size(sizes)], bytes.size() - done);
            ASSERT_TRUE(destination.write(bytes.data() + done, size));
            destination.markWhole();
            done += size;
        }
        ASSERT_TRUE(destination.close());
        EXPECT_EQ(readFile(destinationPath), bytes) << bufferSize;
    }
}

// A file starts with a small buffer and gets the full one once it has moved more
// than that: a large file costs no more calls than with the full buffer from the
// start, and nothing pending or kept in place is lost on the way.
TEST_F(BufferedIoTest, AFileThatOutgrowsItsFirstBufferGetsTheFullOne) {
    static_assert(File::firstBufferSize < File::defaultBufferSize);
    const Bytes bytes = pattern(8 * File::defaultBufferSize + 1234);
    const int fullBuffers = 8;
    {
        TestOs os;
        File source;
        File destination;
        open(os, source, destination, bytes);
        Bytes part(100);
        for (std::size_t at = 0; at < bytes.size(); at += part.size()) {
            const std::size_t size = std::min(part.size(), bytes.size() - at);
            ASSERT_EQ(source.read(part.data(), size), static_cast<std::int64_t>(size));
            ASSERT_TRUE(destination.write(part.data(), size));
            destination.markWhole();
        }
        ASSERT_TRUE(destination.close());
        EXPECT_EQ(readFile(destinationPath), bytes);
        // The first buffer, the full ones, and a partial last one each way.
        EXPECT_LE(os.calls(Call::read), fullBuffers + 3);
        EXPECT_LE(os.calls(Call::write), fullBuffers + 3);
    }
    {
        // In place, with the start of a part kept uncommitted across every refill.
        TestOs os;
        File source;
        File destination;
        open(os, source, destination, {});
        const std::size_t keep = 100;
        std::size_t committed = 0;
        std::size_t kept = 0;
        while (committed + keep < bytes.size()) {
            std::size_t room = 0;
            std::uint8_t* const space = destination.writeSpace(room, kept);
            ASSERT_GT(room, keep);
            ASSERT_EQ(Bytes(space, space + kept), slice(bytes, committed, kept));
            const std::size_t put = std::min(room, bytes.size() - committed);
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(committed + kept), put - kept, space + kept);
            destination.commit(put - keep);
            destination.markWhole();
            committed += put - keep;
            kept = keep;
        }
        ASSERT_TRUE(destination.close());
        EXPECT_EQ(readFile(destinationPath), prefix(bytes, committed));
        EXPECT_LE(os.calls(Call::write), 2 * fullBuffers + 3);  // each refill frees at least half
    }
}

TEST_F(BufferedIoTest, SmallWritesWaitForAFlush) {
    TestOs os;
    File source;
    File destination(4096);
    open(os, source, destination, {});
    const Bytes bytes = pattern(3000);
    for (std::size_t at = 0; at < bytes.size(); at += 100) ASSERT_TRUE(destination.write(bytes.data() + at, 100));
    EXPECT_EQ(os.calls(Call::write), 0);
    ASSERT_TRUE(destination.flush());
    EXPECT_EQ(os.calls(Call::write), 1);
    ASSERT_TRUE(destination.close());
    EXPECT_EQ(readFile(destinationPath), bytes);
}

// The largest mark at or below `landed`: what the destination must hold after a failure.
Bytes wholePrefix(const Bytes& bytes, const std::vector<std::size_t>& marks, std::uint64_t landed) {
    std::size_t whole = 0;
    for (const std::size_t mark : marks) {
        if (mark <= landed) whole = mark;
    }
    return prefix(bytes, whole);
}

// Parts of many sizes, a write failing at every point: only whole parts that reached
// the disk stay, and the file takes no more writes.
TEST_F(BufferedIoTest, AFailedWriteCutsBackToTheLastWholePartOnDisk) {
    const Bytes bytes = pattern(6000);
    const std::size_t sizes[] = {82, 8, 330, 8, 0, 8, 4096, 1, 700};
    for (const std::size_t bufferSize : {0, 64, 1000, 8192}) {
        for (const FaultKind kind : {FaultKind::error, FaultKind::noProgress, FaultKind::shortTransfer}) {
            for (int nth = 1;; ++nth) {
                LandedOs os;
                os.fault = Fault{Call::write, nth, kind};
                os.stopAfterShortWrite = true;
                File source;
                File destination(bufferSize);
                open(os, source, destination, {});
                std::vector<std::size_t> marks{0};
                bool written = true;
                for (std::size_t done = 0, i = 0; written && done < bytes.size(); ++i) {
                    const std::size_t size = std::min(sizes[i % std::size(sizes)], bytes.size() - done);
                    written = destination.write(bytes.data() + done, size);
                    destination.markWhole();
                    done += size;
                    marks.push_back(done);
                }
                written = written && destination.flush();
                const std::string where = std::to_string(bufferSize) + " bytes, write #" + std::to_string(nth);
                if (written) {
                    EXPECT_GT(nth, 1) << where;  // the fault was never reached
                    break;
                }
                EXPECT_FALSE(destination.write(bytes.data(), 1)) << where;
                EXPECT_FALSE(destination.flush()) << where;
                destination.close();
                EXPECT_EQ(readFile(destinationPath), wholePrefix(bytes, marks, os.landed)) << where;
                ASSERT_LT(nth, 10000);
            }
        }
    }
}

TEST_F(BufferedIoTest, CuttingBackDropsAPartWrittenOnlyInPart) {
    const Bytes bytes = pattern(1000);
    for (const std::size_t bufferSize : {0, 64, 4096}) {
        TestOs os;
        File source;
        File destination(bufferSize);
        open(os, source, destination, {});
        ASSERT_TRUE(destination.write(bytes.data(), 100));
        destination.markWhole();
        ASSERT_TRUE(destination.write(bytes.data() + 100, 500));  // part of it may be on disk already
        destination.cutBackToWhole();
        EXPECT_FALSE(destination.write(bytes.data(), 1));
        EXPECT_TRUE(destination.close());
        EXPECT_EQ(readFile(destinationPath), prefix(bytes, 100)) << bufferSize;
    }
}

// ---- copies between files

struct CopyCase {
    const char* name;
    std::optional<Fault> fault;
    std::vector<std::int64_t> script;
};

// Whatever the system's copy does, the span arrives whole and the source reads on
// from the right place.
TEST_F(BufferedIoTest, CopyFromGivesTheSpanWhateverTheSystemDoes) {
    const Bytes bytes = pattern(30000);
    const CopyCase cases[] = {
        {"as the system copies", {}, {}},
        {"no copy here", Fault{Call::copyRange, 1, FaultKind::unsupported}, {}},
        {"copies nothing", Fault{Call::copyRange, 1, FaultKind::noProgress}, {}},
        {"short copies", Fault{Call::copyRange, 1, FaultKind::shortTransfer}, {}},
        {"stops part way", {}, {1000, 5, Os::copyNotSupported}},
        {"copies nothing part way", {}, {4096, 7, 0}},
    };
    for (const CopyCase& c : cases) {
        for (const std::size_t bufferSize : {0, 64, 4096}) {
            LandedOs os;
            os.fault = c.fault;
            os.copyRangeScript = c.script;
            File source(bufferSize);
            File destination(bufferSize);
            open(os, source, destination, bytes);
            Bytes first(100);
            ASSERT_EQ(source.read(first.data(), first.size()), 100);  // some of it read ahead
            ASSERT_TRUE(destination.write(first.data(), first.size()));
            ASSERT_EQ(destination.copyFrom(source, 20000), 20000) << c.name;
            Bytes next(50);
            ASSERT_EQ(source.read(next.data(), next.size()), 50) << c.name;
            ASSERT_TRUE(destination.write(next.data(), next.size()));
            ASSERT_TRUE(destination.close());
            EXPECT_EQ(readFile(destinationPath), prefix(bytes, 20150)) << c.name << ", " << bufferSize;
        }
    }
}

TEST_F(BufferedIoTest, OnlySpansLargerThanTheBufferAreLeftToTheSystem) {
    const Bytes bytes = pattern(10000);
    TestOs os;
    File source(4096);
    File destination(4096);
    open(os, source, destination, bytes);
    ASSERT_EQ(destination.copyFrom(source, 3000), 3000);
    EXPECT_EQ(os.calls(Call::copyRange), 0);
    ASSERT_EQ(destination.copyFrom(source, 7000), 7000);
    EXPECT_GE(os.calls(Call::copyRange), 1);
    ASSERT_TRUE(destination.close());
    EXPECT_EQ(readFile(destinationPath), bytes);
}

TEST_F(BufferedIoTest, CopyFromAShorterSourceGivesWhatThereIs) {
    const Bytes bytes = pattern(9000);
    for (const std::size_t bufferSize : {0, 64, 4096}) {
        TestOs os;
        File source(bufferSize);
        File destination(bufferSize);
        open(os, source, destination, bytes);
        EXPECT_EQ(destination.copyFrom(source, 20000), 9000) << bufferSize;
        ASSERT_TRUE(destination.close());
        EXPECT_EQ(readFile(destinationPath), bytes);
    }
}

TEST_F(BufferedIoTest, AFailedCopyCutsBackToWholeParts) {
    const Bytes bytes = pattern(30000);
    const CopyCase cases[] = {
        {"the system's copy fails part way", {}, {1000, -1}},
        {"a read fails part way", Fault{Call::read, 3, FaultKind::error}, {Os::copyNotSupported}},
    };
    for (const CopyCase& c : cases) {
        for (const std::size_t bufferSize : {0, 64, 4096}) {
            LandedOs os;
            os.fault = c.fault;
            os.copyRangeScript = c.script;
            File source(bufferSize);
            File destination(bufferSize);
            open(os, source, destination, bytes);
            ASSERT_TRUE(destination.write(bytes.data(), 82));
            destination.markWhole();
            ASSERT_TRUE(source.seek(82));
            EXPECT_EQ(destination.copyFrom(source, 25000), -1) << c.name << ", " << bufferSize;
            EXPECT_GT(os.landed, 82u) << c.name << ", " << bufferSize;  // part of the span was on disk
            EXPECT_FALSE(destination.write(bytes.data(), 1));
            destination.close();
            EXPECT_EQ(readFile(destinationPath), prefix(bytes, 82)) << c.name << ", " << bufferSize;
        }
    }
}

// ---- the copy stages over small buffers

struct StageResult {
    bool header = false;
    bool audio = false;
};

class StageTest : public BufferedIoTest {
protected:
    // Runs both stages, as KVRBinfo does, over files with `bufferSize`-byte buffers
    // that start at `firstSize`.
    StageResult copy(Os& os, const Bytes& bytes, std::size_t bufferSize,
                     std::size_t firstSize = File::firstBufferSize) {
        StageResult result;
        File source(bufferSize, firstSize);
        File destination(bufferSize, firstSize);
        open(os, source, destination, bytes);
        container::Header header{};
        result.header = container::copyHeader(source, destination, header);
        if (result.header) result.audio = container::copyAudioData(source, destination, header);
        EXPECT_TRUE(destination.close());
        return result;
    }
};

// Where each whole part of `bytes` ends: header, preamble and every chunk.
std::vector<std::size_t> partEnds(const Bytes& bytes) {
    container::Header header{};
    std::copy_n(bytes.begin(), header.size(), header.begin());
    std::vector<std::size_t> ends{0, 82, container::dataOffset(header)};
    for (std::size_t at = ends.back(); at + 8 <= bytes.size();) {
        at += 8 + (bytes[at + 2] | bytes[at + 3] << 8);
        ends.push_back(at);
    }
    return ends;
}

const std::size_t stageBufferSizes[] = {0, 1, 7, 8, 9, 64, 100, 338, 4096, File::defaultBufferSize};

// Buffers that start small and grow part way through a copy: full size, first size.
const std::pair<std::size_t, std::size_t> growingBufferSizes[] = {{64, 8}, {4096, 9}, {4096, 338}, {8192, 4096}, {65536, 8192}};

TEST_F(StageTest, ChunksStraddlingBufferEndsCopyExactly) {
    const Bytes variable = KvrbBuilder().preamble(13).chunk(0).chunk(1).chunk(7).chunk(8).chunk(9).chunk(63).chunk(64)
                               .chunk(65).chunk(330).chunk(4095).chunk(4096).chunk(65535).chunk(2).build();
    KvrbBuilder fixedSource = KvrbBuilder().lengthMode(-1).preamble(5000);
    KvrbBuilder fixedExpected = KvrbBuilder().lengthMode(-1).preamble(5000);
    for (std::uint16_t i = 0; i < 40; ++i) {
        fixedSource.chunk(static_cast<std::uint16_t>(i * 1777), 330);
        fixedExpected.chunk(330);
    }
    for (const std::size_t bufferSize : stageBufferSizes) {
        TestOs os;
        StageResult result = copy(os, variable, bufferSize);
        EXPECT_TRUE(result.header && result.audio) << bufferSize;
        EXPECT_EQ(readFile(destinationPath), variable) << bufferSize;
        result = copy(os, fixedSource.build(), bufferSize);
        EXPECT_TRUE(result.header && result.audio) << bufferSize;
        EXPECT_EQ(readFile(destinationPath), fixedExpected.build()) << bufferSize;
    }
    for (const auto& [bufferSize, firstSize] : growingBufferSizes) {
        TestOs os;
        StageResult result = copy(os, variable, bufferSize, firstSize);
        EXPECT_TRUE(result.header && result.audio) << bufferSize << " from " << firstSize;
        EXPECT_EQ(readFile(destinationPath), variable) << bufferSize << " from " << firstSize;
        result = copy(os, fixedSource.build(), bufferSize, firstSize);
        EXPECT_TRUE(result.header && result.audio) << bufferSize << " from " << firstSize;
        EXPECT_EQ(readFile(destinationPath), fixedExpected.build()) << bufferSize << " from " << firstSize;
    }
}

TEST_F(StageTest, APreambleLargerThanTheBufferIsCopiedWithOrWithoutTheSystemsCopy) {
    const Bytes bytes = KvrbBuilder().preamble(File::defaultBufferSize + 1000).chunk(20).chunk(0).build();
    for (const bool systemCopies : {true, false}) {
        for (const std::size_t bufferSize : {std::size_t{64}, std::size_t{4096}, File::defaultBufferSize}) {
            LandedOs os;
            if (!systemCopies) os.copyRangeScript = {Os::copyNotSupported};
            const StageResult result = copy(os, bytes, bufferSize);
            EXPECT_TRUE(result.header && result.audio) << bufferSize;
            EXPECT_EQ(readFile(destinationPath), bytes) << bufferSize;
            EXPECT_GE(os.calls(Call::copyRange), 1) << bufferSize;
        }
    }
}

// A write that fails anywhere fails the stage it belongs to, flush at the end of a
// stage included, and leaves exactly the whole parts that reached the disk.
TEST_F(StageTest, EveryFailingWriteLeavesTheWholePartsThatReachedTheDisk) {
    const Bytes variable = KvrbBuilder().preamble(150).chunk(10).chunk(0).chunk(300).chunk(70).chunk(1).build();
    const Bytes fixedSource = KvrbBuilder().lengthMode(0).preamble(3).chunk(9, 330).chunk(1000, 330).build();
    const Bytes fixedExpected = KvrbBuilder().lengthMode(0).preamble(3).chunk(330).chunk(330).build();
    const struct {
        const Bytes& source;
        const Bytes& expected;
    } containers[] = {{variable, variable}, {fixedSource, fixedExpected}};
    for (const auto& container : containers) {
        const std::vector<std::size_t> ends = partEnds(container.expected);
        const std::pair<std::size_t, std::size_t> sizes[] = {{0, 0}, {64, 64}, {200, 200}, {4096, 4096}, {4096, 64}};
        for (const auto& [bufferSize, firstSize] : sizes) {
            for (const FaultKind kind : {FaultKind::error, FaultKind::noProgress, FaultKind::shortTransfer}) {
                for (int nth = 1;; ++nth) {
                    LandedOs os;
                    os.fault = Fault{Call::write, nth, kind};
                    os.stopAfterShortWrite = true;
                    int headerWrites = 0;
                    File source(bufferSize, firstSize);
                    File destination(bufferSize, firstSize);
                    open(os, source, destination, container.source);
                    container::Header header{};
                    const bool headerCopied = container::copyHeader(source, destination, header);
                    headerWrites = os.calls(Call::write);
                    const bool audioCopied = headerCopied && container::copyAudioData(source, destination, header);
                    destination.close();
                    const std::string where = std::to_string(bufferSize) + " bytes from " + std::to_string(firstSize) +
                                              ", write #" + std::to_string(nth);
                    if (audioCopied) {
                        EXPECT_EQ(readFile(destinationPath), container.expected) << where;
                        if (nth > os.calls(Call::write)) break;  // past the last write
                        // Only a write of one byte cannot be cut short.
                        EXPECT_EQ(kind, FaultKind::shortTransfer) << where;
                        continue;
                    }
                    EXPECT_EQ(headerCopied, nth > headerWrites) << where;
                    EXPECT_EQ(readFile(destinationPath), wholePrefix(container.expected, ends, os.landed)) << where;
                    ASSERT_LT(nth, 10000);
                }
            }
        }
    }
}

// Another program cuts the source short while it is copied: the stage fails and the
// destination keeps whole parts only.
TEST_F(StageTest, ASourceCutShortInThePreambleLeavesTheHeader) {
    const Bytes bytes = KvrbBuilder().preamble(20000).chunk(100).build();
    const struct {
        const char* name;
        Call call;
        int nth;
        std::vector<std::int64_t> script;
    } cases[] = {{"by the system's copy", Call::copyRange, 2, {1000}},
                 {"through the buffers", Call::read, 3, {Os::copyNotSupported}}};
    for (const auto& c : cases) {
        for (const std::size_t bufferSize : {0, 64, 4096}) {
            LandedOs os;
            os.copyRangeScript = c.script;
            os.before = [&](Call call, int nth) {
                if (call == c.call && nth == c.nth) std::filesystem::resize_file(sourcePath, 5000);
            };
            const StageResult result = copy(os, bytes, bufferSize);
            EXPECT_FALSE(result.header) << c.name << ", " << bufferSize;
            EXPECT_GT(os.landed, 82u) << c.name << ", " << bufferSize;
            EXPECT_EQ(readFile(destinationPath), prefix(bytes, 82)) << c.name << ", " << bufferSize;
        }
    }
}

TEST_F(StageTest, ASourceCutShortInTheChunksLeavesTheWholeChunks) {
    const Bytes bytes = KvrbBuilder().preamble(300).chunk(100).chunk(2000).chunk(50).chunk(3000).build();
    const std::vector<std::size_t> ends = partEnds(bytes);
    for (const std::size_t bufferSize : {0, 64, 4096}) {
        // Between the stages: exactly the chunks that the shorter file still holds.
        for (const std::size_t keep : {std::size_t{382}, std::size_t{382 + 50}, std::size_t{382 + 2200}}) {
            TestOs os;
            File source(bufferSize);
            File destination(bufferSize);
            open(os, source, destination, bytes);
            container::Header header{};
            ASSERT_TRUE(container::copyHeader(source, destination, header));
            std::filesystem::resize_file(sourcePath, keep);
            EXPECT_FALSE(container::copyAudioData(source, destination, header) && keep != 382);
            destination.close();
            EXPECT_EQ(readFile(destinationPath), wholePrefix(bytes, ends, keep)) << bufferSize << ", " << keep;
        }
        // During the chunk stage: what was read before the cut may still be copied.
        for (int nth = 3; nth < 8; ++nth) {
            LandedOs os;
            os.before = [&](Call call, int n) {
                if (call == Call::read && n == nth) std::filesystem::resize_file(sourcePath, 382 + 1000);
            };
            const StageResult result = copy(os, bytes, bufferSize);
            const Bytes got = readFile(destinationPath);
            const std::string where = std::to_string(bufferSize) + " bytes, cut at read #" + std::to_string(nth);
            EXPECT_TRUE(std::find(ends.begin(), ends.end(), got.size()) != ends.end()) << where;
            EXPECT_EQ(got, prefix(bytes, got.size())) << where;
            if (!(result.header && result.audio)) {
                EXPECT_GE(got.size(), 382u) << where;
            }
        }
    }
}

// ---- through the entry point

TEST_F(BufferedIoTest, ACopyOfManySmallChunksCostsFewSystemCalls) {
    KvrbBuilder builder = KvrbBuilder().lengthMode(0);
    for (int i = 0; i < 10000; ++i) builder.chunk(330);
    const Bytes bytes = builder.build();  // 3.4 MB
    TestOs os;
    writeFile(sourcePath, bytes);
    ASSERT_EQ(KVRBinfo(sourcePath.c_str(), destinationPath.c_str(), 1), 1);
    EXPECT_EQ(readFile(destinationPath), bytes);
    EXPECT_LT(os.calls(Call::read) + os.calls(Call::write), 100);
}

TEST_F(BufferedIoTest, ALargePreambleIsCopiedByTheSystemWhereItCan) {
    const Bytes bytes = KvrbBuilder().preamble(3 * File::defaultBufferSize).chunk(7).build();
    for (const bool systemCopies : {true, false}) {
        TestOs os;
        if (!systemCopies) os.fault = Fault{Call::copyRange, 1, FaultKind::unsupported};
        writeFile(sourcePath, bytes);
        ASSERT_EQ(KVRBinfo(sourcePath.c_str(), destinationPath.c_str(), 1), 1);
        EXPECT_EQ(readFile(destinationPath), bytes);
        EXPECT_GE(os.calls(Call::copyRange), 1);
        EXPECT_TRUE(os.messages.empty());
    }
}

}  // namespace
}  // namespace marlune::testing
