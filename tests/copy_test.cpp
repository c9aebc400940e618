// KVRBinfo's copy from end to end, through the library's internals with a
// recording Os in front of the native one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "boundary/api.h"
#include "boundary/operations.h"
#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

const std::string header = messages::cannotCopyHeader;
const std::string audio = messages::cannotCopyAudioData;

class CopyTest : public ::testing::Test {
protected:
    TempDir dir;
    TestOs os;
    std::string source = dir.path("in.snd");
    std::string destination = dir.path("out.kv");

    // Copies `bytes` from `source` to `destination` with errors shown.
    std::int32_t copy(const Bytes& bytes) {
        writeFile(source, bytes);
        return KVRBinfo(source.c_str(), destination.c_str(), 1);
    }

    void expectAllClosed() { EXPECT_EQ(os.openFiles(), 0u); }
};

TEST_F(CopyTest, VariableLengthContainersCopyByteForByte) {
    const Bytes cases[] = {
        KvrbBuilder().build(),                                   // ends at dataOffset, no preamble
        KvrbBuilder().preamble(17).build(),                      // ends at dataOffset
        KvrbBuilder().chunk(0).chunk(1).chunk(330).chunk(65535).build(),
        KvrbBuilder().lengthMode(32767).preamble(3).chunk(12).chunk(0).build(),
        KvrbBuilder().magic("fx30").preamble(200000).chunk(5).build(),  // preamble over several blocks
    };
    for (const Bytes& bytes : cases) {
        EXPECT_EQ(copy(bytes), 1);
        EXPECT_EQ(readFile(destination), bytes);
    }
    EXPECT_TRUE(os.messages.empty());
    expectAllClosed();
}

TEST_F(CopyTest, FixedLengthModeGivesEveryChunk330Bytes) {
    for (std::int16_t mode : {0, -1, -32768}) {
        const Bytes source = KvrbBuilder().lengthMode(mode).preamble(4).chunk(0, 330).chunk(65535, 330).chunk(330).build();
        const Bytes expected = KvrbBuilder().lengthMode(mode).preamble(4).chunk(330).chunk(330).chunk(330).build();
        EXPECT_EQ(copy(source), 1) << mode;
        EXPECT_EQ(readFile(destination), expected) << mode;
    }
}

TEST_F(CopyTest, FixedLengthModeReadsPayloadsBy330WhateverTheyClaim) {
    // The stored lengths (8 and 0) would frame these bytes differently: in fixed mode they are ignored.
    const Bytes source = KvrbBuilder().lengthMode(0).chunk(8, 330).chunk(0, 330).build();
    EXPECT_EQ(copy(source), 1);
    EXPECT_EQ(readFile(destination), KvrbBuilder().lengthMode(0).chunk(330).chunk(330).build());

    // A payload of the stored length but shorter than 330 is cut short.
    const Bytes cut = KvrbBuilder().lengthMode(-5).chunk(330).chunk(12).build();
    EXPECT_EQ(copy(cut), 0);
    EXPECT_EQ(readFile(destination), KvrbBuilder().lengthMode(-5).chunk(330).build());
    EXPECT_EQ(os.messages, std::vector<std::string>{audio});
}

struct FailureCase {
    const char* name;
    Bytes source;
    std::string message;
    Bytes destination;
};

std::vector<FailureCase> failureTable() {
    const Bytes good = KvrbBuilder().preamble(10).chunk(20).chunk(30).build();
    const Bytes twoChunks = KvrbBuilder().preamble(10).chunk(20).build();
    const Bytes fixed = KvrbBuilder().lengthMode(0).chunk(7, 330).chunk(7, 330).build();
    const Bytes fixedOne = KvrbBuilder().lengthMode(0).chunk(330).build();
    const Bytes headerOnly = prefix(good, 82);
    return {
        {"empty source", {}, header, {}},
        {"81 bytes", prefix(good, 81), header, {}},
        {"wrong magic", KvrbBuilder().magic("KVRb").build(), header, {}},
        {"ends before dataOffset", prefix(good, 91), header, headerOnly},
        {"dataOffset below 82", KvrbBuilder().dataOffset(81).chunk(3).build(), header,
         prefix(KvrbBuilder().dataOffset(81).build(), 82)},
        {"dataOffset 0", KvrbBuilder().dataOffset(0).build(), header, prefix(KvrbBuilder().dataOffset(0).build(), 82)},
        {"dataOffset far past the end", KvrbBuilder().dataOffset(0xFFFFFFFFu).build(), header,
         prefix(KvrbBuilder().dataOffset(0xFFFFFFFFu).build(), 82)},
        {"1 byte of a chunk header", [&] { Bytes b = good; b.push_back(1); return b; }(), audio, good},
        {"7 bytes of a chunk header", [&] { Bytes b = good; b.resize(b.size() + 7, 2); return b; }(), audio, good},
        {"3 bytes after the last chunk", [&] { Bytes b = twoChunks; b.resize(b.size() + 3, 9); return b; }(), audio,
         twoChunks},
        {"payload cut short", prefix(good, good.size() - 1), audio, twoChunks},
        {"empty payload missing", prefix(KvrbBuilder().chunk(4).chunk(1).build(), 82 + 12 + 8), audio,
         KvrbBuilder().chunk(4).build()},
        {"fixed payload cut short", prefix(fixed, fixed.size() - 1), audio, fixedOne},
    };
}

TEST_F(CopyTest, EachFailureLeavesWhatTheTableSays) {
    for (const FailureCase& c : failureTable()) {
        os.messages.clear();
        EXPECT_EQ(copy(c.source), 0) << c.name;
        EXPECT_EQ(os.messages, std::vector<std::string>{c.message}) << c.name;
        // The message is shown while both files are still open.
        EXPECT_EQ(os.openFilesAtMessage.back(), 2u) << c.name;
        EXPECT_EQ(readFile(destination), c.destination) << c.name;
        expectAllClosed();
    }
}

TEST_F(CopyTest, NameChecksComeFirstAndTouchNoFile) {
    const char* empty = "";
    const std::pair<const char*, const char*> names[] = {
        {nullptr, destination.c_str()}, {empty, destination.c_str()}, {source.c_str(), nullptr},
        {source.c_str(), empty},        {nullptr, nullptr}};
    writeFile(source, KvrbBuilder().build());
    for (const auto& [from, to] : names) {
        EXPECT_EQ(KVRBinfo(from, to, 1), 0);
    }
    EXPECT_EQ(os.messages, std::vector<std::string>(5, messages::badName));
    EXPECT_EQ(os.calls(Call::openForReading) + os.calls(Call::createForWriting), 0);
    EXPECT_FALSE(fileExists(destination));
}

TEST_F(CopyTest, AMissingSourceCreatesNoDestination) {
    EXPECT_EQ(KVRBinfo(dir.path("absent.snd").c_str(), destination.c_str(), 1), 0);
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotOpenSource});
    EXPECT_EQ(os.openFilesAtMessage.back(), 0u);
    EXPECT_FALSE(fileExists(destination));
}

TEST_F(CopyTest, AnUncreatableDestinationClosesTheSourceAfterTheMessage) {
    writeFile(source, KvrbBuilder().build());
    EXPECT_EQ(KVRBinfo(source.c_str(), dir.path("no/such/folder.kv").c_str(), 1), 0);
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCreateDestination});
    EXPECT_EQ(os.openFilesAtMessage.back(), 1u);
    expectAllClosed();
}

TEST_F(CopyTest, SilentWhenShowErrorsIsZero) {
    writeFile(source, {});
    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 0), 0);
    EXPECT_EQ(KVRBinfo(nullptr, destination.c_str(), 0), 0);
    EXPECT_EQ(KVRBinfo(dir.path("absent").c_str(), destination.c_str(), 0), 0);
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), -7), 0);  // any non-zero value shows
    EXPECT_EQ(os.messages.size(), 1u);
}

TEST_F(CopyTest, ACallAfterAFailureStartsAfresh) {
    const Bytes good = KvrbBuilder().lengthMode(0).chunk(330).build();
    EXPECT_EQ(copy(prefix(good, good.size() - 2)), 0);
    EXPECT_EQ(copy(good), 1);
    EXPECT_EQ(readFile(destination), good);
    // A fixed-length header from the last call must not shape this variable-length copy.
    const Bytes variable = KvrbBuilder().chunk(5).build();
    EXPECT_EQ(copy(variable), 1);
    EXPECT_EQ(readFile(destination), variable);
    expectAllClosed();
}

TEST_F(CopyTest, TheSourceItselfIsNeverADestination) {
    const Bytes bytes = KvrbBuilder().chunk(40).build();
    writeFile(source, bytes);
    std::vector<std::string> names = {source, dir.path(".") + "/in.snd"};
    std::filesystem::create_hard_link(source, dir.path("hard.kv"));
    names.push_back(dir.path("hard.kv"));
#ifndef _WIN32
    std::filesystem::create_symlink(source, dir.path("soft.kv"));
    names.push_back(dir.path("soft.kv"));
#endif
    for (const std::string& name : names) {
        EXPECT_EQ(KVRBinfo(source.c_str(), name.c_str(), 1), 0) << name;
        EXPECT_EQ(os.messages.back(), messages::cannotCreateDestination) << name;
        EXPECT_EQ(readFile(source), bytes) << name;
    }
    expectAllClosed();
}

// An error from the system in any stage fails that stage; nothing is called a success.
TEST_F(CopyTest, SystemErrorsFailTheStageTheyHappenIn) {
    // A small source is read whole by the header stage: the file, then its end. A
    // larger one's end is found by the chunk stage.
    const Bytes small = KvrbBuilder().preamble(5).chunk(10).chunk(20).build();
    const Bytes large = KvrbBuilder().preamble(5).chunk(5000).build();
    const struct {
        const Bytes& source;
        Fault fault;
        std::string message;
    } cases[] = {
        {small, {Call::read, 1, FaultKind::error}, header},
        {small, {Call::read, 2, FaultKind::error}, header},
        {large, {Call::read, 2, FaultKind::error}, audio},
        // 1 the header and preamble, 2 the chunks.
        {small, {Call::write, 1, FaultKind::error}, header},
        {small, {Call::write, 1, FaultKind::noProgress}, header},  // disk full
        {small, {Call::write, 2, FaultKind::noProgress}, audio},
        {small, {Call::write, 2, FaultKind::error, ErrorCodes::diskFull}, audio},
        {small, {Call::close, 1, FaultKind::error}, audio},  // the destination's close
        {small, {Call::close, 2, FaultKind::error}, audio},  // the source's close
    };
    for (const auto& c : cases) {
        TestOs faulty;
        faulty.fault = c.fault;
        EXPECT_EQ(copy(c.source), 0) << static_cast<int>(c.fault.call) << " #" << c.fault.nth;
        EXPECT_TRUE(faulty.faulted);
        EXPECT_EQ(faulty.messages, std::vector<std::string>{c.message}) << static_cast<int>(c.fault.call);
        EXPECT_EQ(faulty.openFiles(), 0u);
    }
}

// A full disk part way through a write leaves no partial header, preamble or chunk behind.
TEST_F(CopyTest, AFailedWriteLeavesOnlyWholeParts) {
    const Bytes bytes = KvrbBuilder().preamble(5).chunk(10).chunk(20).build();
    const Bytes longPreamble = KvrbBuilder().preamble(82).chunk(10).build();
    const Bytes longFirstChunk = KvrbBuilder().preamble(5).chunk(30).chunk(2).build();
    // Write 1 is the header and preamble, 2 the chunks. The faulty write takes half
    // of its bytes, and then the disk is full.
    const struct {
        Bytes source;
        int nth;
        Bytes destination;
    } cases[] = {
        {bytes, 1, {}},                                       // half of the header
        {longPreamble, 1, prefix(longPreamble, 82)},          // the header, none of the preamble
        {longFirstChunk, 2, prefix(longFirstChunk, 87)},      // part of the first chunk
        {bytes, 2, KvrbBuilder().preamble(5).chunk(10).build()},  // part of the second chunk
    };
    for (const auto& c : cases) {
        TestOs full;
        full.fault = Fault{Call::write, c.nth, FaultKind::shortTransfer};
        full.stopAfterShortWrite = true;
        EXPECT_EQ(copy(c.source), 0) << c.nth;
        EXPECT_EQ(readFile(destination), c.destination) << c.nth;
    }
}

// A destination with room for `room` bytes: the write that reaches past it takes
// what fits, and the next one fails with `code`, as a disk that fills or breaks there.
class RoomOs : public TestOs {
public:
    RoomOs(std::uint64_t room, int code) : room_(room), code_(code) {}

    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override {
        if (landed_ == room_) {
            platform::setLastSystemError(code_);
            return -1;
        }
        const std::int64_t moved = TestOs::write(file, buffer, std::min<std::uint64_t>(size, room_ - landed_));
        if (moved > 0) landed_ += static_cast<std::uint64_t>(moved);
        return moved;
    }

private:
    std::uint64_t room_;
    int code_;
    std::uint64_t landed_ = 0;
};

// Where the disk gives out decides the stage that fails, not how the copy groups
// its writes: the header's while the header and preamble are not all on the disk,
// the chunks' from the first chunk byte on, though the header and preamble go out
// with the first chunks up to a page boundary. The report counts the chunks of
// the writes that succeeded: none before that first write is on the disk. For
// every room from nothing to past that first write, both length modes, with and
// without a preamble, a full disk and an I/O error.
TEST_F(CopyTest, TheStageThatFailsIsTheOneWhoseBytesDidNotLand) {
    struct Chunk {
        std::uint16_t stored;
        std::size_t payload;
    };
    std::vector<Chunk> fixedChunks;
    std::vector<Chunk> variableChunks;
    for (std::uint16_t i = 0; i < 30; ++i) {
        fixedChunks.push_back({static_cast<std::uint16_t>(i % 3 == 0 ? 330 : i * 7), 330});
        const auto length = static_cast<std::uint16_t>(i * 211 % 700);
        variableChunks.push_back({length, length});
    }
    const struct {
        std::int16_t mode;
        std::size_t preamble;
        const std::vector<Chunk>& chunks;
    } sources[] = {{0, 0, fixedChunks}, {-1, 1000, fixedChunks}, {1, 0, variableChunks}, {7, 1000, variableChunks}};
    const struct {
        int code;
        std::int32_t status;
    } failures[] = {{ErrorCodes::diskFull, MARLUNE_DISK_FULL}, {ErrorCodes::io, MARLUNE_WRITE_ERROR}};
    const marlune_options inPlace = [] {
        marlune_options options{};
        options.size = sizeof options;
        options.replace = 1;
        options.placement = MARLUNE_IN_PLACE;
        return options;
    }();
    for (const auto& s : sources) {
        const bool fixed = s.mode <= 0;
        KvrbBuilder from = KvrbBuilder().lengthMode(s.mode).preamble(s.preamble);
        KvrbBuilder to = KvrbBuilder().lengthMode(s.mode).preamble(s.preamble);
        const std::uint64_t dataStart = 82 + s.preamble;
        std::vector<std::uint64_t> ends;  // where each chunk of the output ends
        std::uint64_t at = dataStart;
        for (const Chunk& c : s.chunks) {
            from.chunk(c.stored, c.payload);
            to.chunk(fixed ? 330 : c.stored);
            at += 8 + c.payload;
            ends.push_back(at);
        }
        const Bytes bytes = from.build();
        const Bytes expected = to.build();
        const std::uint64_t firstWrite = (dataStart + 4095) / 4096 * 4096;
        ASSERT_GT(expected.size(), firstWrite + 1000);
        writeFile(source, bytes);
        for (std::uint64_t room = 0; room <= firstWrite + 1000; ++room) {
            const bool inHeader = room < dataStart;
            std::uint64_t whole = room < 82 ? 0 : room < dataStart ? 82 : dataStart;
            std::size_t chunks = 0;
            for (std::size_t i = 0; i < ends.size() && ends[i] <= room; ++i) whole = ends[i];
            marlune_report report{};
            report.size = sizeof report;
            report.header_bytes = 82;
            std::memcpy(report.magic, "KVRB", 4);
            report.length_mode = s.mode;
            report.data_offset = static_cast<std::uint32_t>(dataStart);
            report.source_bytes = bytes.size();
            report.bytes_written = whole;
            if (room >= firstWrite) {
                for (; chunks < ends.size() && ends[chunks] <= firstWrite; ++chunks) {
                    report.payload_bytes += s.chunks[chunks].payload;
                    if (fixed && s.chunks[chunks].stored != 330) ++report.length_fields_set;
                }
            }
            report.chunks = chunks;
            report.chunk_number = inHeader ? 0 : chunks + 1;
            for (const auto& f : failures) {
                report.status = f.status;
                report.system_error = f.code;
                const std::string where = "mode " + std::to_string(s.mode) + ", preamble " +
                                          std::to_string(s.preamble) + ", room " + std::to_string(room) + ", error " +
                                          std::to_string(f.code);
                // Created afresh: some file systems flush a file truncated and rewritten as it closes.
                std::remove(destination.c_str());
                {
                    RoomOs disk(room, f.code);
                    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 1), 0) << where;
                    EXPECT_EQ(disk.messages, std::vector<std::string>{inHeader ? header : audio}) << where;
                    EXPECT_EQ(readFile(destination), prefix(expected, whole)) << where;
                }
                std::remove(destination.c_str());
                RoomOs disk(room, f.code);
                marlune_report got{};
                got.size = sizeof got;
                EXPECT_EQ(copyThrough(disk, source.c_str(), destination.c_str(), &inPlace, &got), f.status) << where;
                EXPECT_EQ(readFile(destination), prefix(expected, whole)) << where;
                EXPECT_EQ(got.status, report.status) << where;
                EXPECT_EQ(got.system_error, report.system_error) << where;
                EXPECT_EQ(got.chunk_number, report.chunk_number) << where;
                EXPECT_EQ(got.chunks, report.chunks) << where;
                EXPECT_EQ(got.payload_bytes, report.payload_bytes) << where;
                EXPECT_EQ(got.length_fields_set, report.length_fields_set) << where;
                EXPECT_EQ(got.bytes_written, report.bytes_written) << where;
                // The rest, the same whatever failed.
                EXPECT_EQ(std::memcmp(&got, &report, sizeof got), 0) << where;
                if (HasFailure()) return;  // one broken room explains the rest
            }
        }
    }
}

std::int32_t MARLUNE_CALL cancelAtOnce(std::uint64_t, std::uint64_t, void*) {
    return 1;
}

// With the preamble ending just before the buffer's end, the header stage reads on
// for the chunk that holds the first page boundary. The header and preamble were
// all read by then: a failed read, a source cut short or a cancel there is the
// chunks' failure, the header and preamble on the disk, as when each stage read
// only its own. Reads 1 and 2 fill the buffer and bring the rest of the source.
TEST_F(CopyTest, AFailureInTheReadsAfterThePreambleIsTheChunks) {
    constexpr std::size_t bufferSize = 512 * 1024;  // what a source longer than it gets
    const struct {
        std::optional<Fault> fault;
        std::int32_t status;
        std::int32_t systemError;
    } failures[] = {
        {Fault{Call::read, 2, FaultKind::error}, MARLUNE_READ_ERROR, ErrorCodes::io},
        {Fault{Call::read, 3, FaultKind::error}, MARLUNE_READ_ERROR, ErrorCodes::io},  // reading past the end
        {Fault{Call::read, 2, FaultKind::noProgress}, MARLUNE_SOURCE_CHANGED, 0},      // the source cut there
        {std::nullopt, MARLUNE_CANCELLED, 0},
    };
    for (const std::int16_t mode : {1, 0}) {
        for (const std::size_t beforeEnd : {1, 7, 8, 50, 300}) {
            const std::uint64_t dataStart = bufferSize - beforeEnd;
            KvrbBuilder builder = KvrbBuilder().lengthMode(mode).preamble(dataStart - 82);
            for (int i = 0; i < 20; ++i) builder.chunk(mode == 0 ? 330 : 700);
            const Bytes bytes = builder.build();
            writeFile(source, bytes);
            for (const auto& f : failures) {
                const std::string where = "mode " + std::to_string(mode) + ", " + std::to_string(beforeEnd) +
                                          " before the end, status " + std::to_string(f.status) + ", read " +
                                          std::to_string(f.fault ? f.fault->nth : 0);
                if (f.fault) {
                    std::remove(destination.c_str());
                    TestOs faulty;
                    faulty.fault = f.fault;
                    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 1), 0) << where;
                    EXPECT_TRUE(faulty.faulted) << where;
                    EXPECT_EQ(faulty.messages, std::vector<std::string>{audio}) << where;
                    EXPECT_EQ(readFile(destination), prefix(bytes, dataStart)) << where;
                }
                marlune_options options{};
                options.size = sizeof options;
                options.replace = 1;
                options.placement = MARLUNE_IN_PLACE;
                if (!f.fault) options.progress = cancelAtOnce;
                marlune_report report{};
                report.size = sizeof report;
                report.status = f.status;
                report.system_error = f.systemError;
                report.chunk_number = 1;
                std::memcpy(report.magic, "KVRB", 4);
                report.length_mode = mode;
                report.data_offset = static_cast<std::uint32_t>(dataStart);
                report.header_bytes = 82;
                report.source_bytes = bytes.size();
                report.bytes_written = dataStart;
                std::remove(destination.c_str());
                TestOs faulty;
                faulty.fault = f.fault;
                marlune_report got{};
                got.size = sizeof got;
                EXPECT_EQ(copyThrough(faulty, source.c_str(), destination.c_str(), &options, &got), f.status) << where;
                EXPECT_EQ(readFile(destination), prefix(bytes, dataStart)) << where;
                EXPECT_EQ(got.status, report.status) << where;
                EXPECT_EQ(got.system_error, report.system_error) << where;
                EXPECT_EQ(got.chunk_number, report.chunk_number) << where;
                EXPECT_EQ(got.chunks, report.chunks) << where;
                EXPECT_EQ(got.bytes_written, report.bytes_written) << where;
                EXPECT_EQ(std::memcmp(&got, &report, sizeof got), 0) << where;
                if (HasFailure()) return;  // one broken case explains the rest
            }
        }
    }
}

TEST_F(CopyTest, ShortTransfersFromTheSystemAreCompleted) {
    const Bytes bytes = KvrbBuilder().preamble(5).chunk(10).chunk(20).build();
    for (const Call call : {Call::read, Call::write}) {
        for (int nth = 1; nth <= 5; ++nth) {
            TestOs shortOs;
            shortOs.fault = Fault{call, nth, FaultKind::shortTransfer};
            EXPECT_EQ(copy(bytes), 1);
            EXPECT_EQ(readFile(destination), bytes);
        }
    }
}

TEST_F(CopyTest, ACallFromInsideACallIsTurnedAway) {
    writeFile(source, {});
    std::int32_t inner = -1;
    os.onMessage = [&] { inner = KVRBinfo(source.c_str(), dir.path("other.kv").c_str(), 1); };
    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 1), 0);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(os.messages.size(), 1u);
    EXPECT_FALSE(fileExists(dir.path("other.kv")));
    // The lock was released: the next call runs.
    writeFile(source, KvrbBuilder().build());
    os.onMessage = nullptr;
    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 1), 1);
}

TEST_F(CopyTest, CallsFromManyThreadsAreEachRight) {
    constexpr int threads = 8;
    constexpr int callsPerThread = 40;
    const Bytes good = KvrbBuilder().preamble(100).chunk(300).chunk(4000).chunk(1).build();
    const Bytes bad = prefix(good, good.size() - 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const std::string in = dir.path("in" + std::to_string(t));
            const std::string out = dir.path("out" + std::to_string(t));
            for (int i = 0; i < callsPerThread; ++i) {
                const bool succeed = (i + t) % 3 != 0;
                writeFile(in, succeed ? good : bad);
                const std::int32_t result = KVRBinfo(in.c_str(), out.c_str(), 0);
                const Bytes expected = succeed ? good : prefix(good, good.size() - 9);
                if (result != (succeed ? 1 : 0) || readFile(out) != expected) ++wrong;
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(wrong.load(), 0);
    expectAllClosed();
}

}  // namespace
}  // namespace marlune::testing
