// The interface for programs: every status reached and reported with its offsets,
// the report's and the options' sizes honoured, calls that really run at once, a
// cancelled copy, and names no code page can spell.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "boundary/operations.h"
#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

marlune_report freshReport() {
    marlune_report report{};
    report.size = sizeof report;
    return report;
}

struct Seen {
    std::vector<std::uint64_t> done;
    std::uint64_t total = 0;
    bool stop = false;
};

std::int32_t MARLUNE_CALL recordProgress(std::uint64_t done, std::uint64_t total, void* context) {
    auto* record = static_cast<Seen*>(context);
    record->done.push_back(done);
    record->total = total;
    return record->stop ? 1 : 0;
}

struct Meeting {
    explicit Meeting(int expected) : waiting(expected) {}
    std::mutex mutex;
    std::condition_variable arrived;
    int waiting;
    bool met = false;
};

std::int32_t MARLUNE_CALL meetTheOthers(std::uint64_t, std::uint64_t, void* context) {
    auto* place = static_cast<Meeting*>(context);
    std::unique_lock<std::mutex> lock(place->mutex);
    if (--place->waiting == 0) place->met = true;
    place->arrived.notify_all();
    place->arrived.wait_for(lock, std::chrono::seconds(20), [&] { return place->met; });
    return 0;
}

marlune_options optionsWith(std::int32_t placement, std::int32_t replace = 1) {
    marlune_options options{};
    options.size = sizeof options;
    options.placement = placement;
    options.replace = replace;
    return options;
}

class Api : public ::testing::Test {
protected:
    TempDir dir;
    std::string source = dir.path("take.snd");
    std::string destination = dir.path("take.kv");
    marlune_report report = freshReport();

    std::int32_t copy(const Bytes& bytes, const marlune_options* options = nullptr) {
        writeFile(source, bytes);
        return marlune_copy(source.c_str(), destination.c_str(), options, &report);
    }
};

// Each way a source can fall short, with where and how much.
TEST_F(Api, EveryShortfallOfTheSourceHasItsStatusAndPlace) {
    const Bytes good = KvrbBuilder().preamble(10).chunk(100).chunk(50).build();  // 92 + 108 + 58 bytes
    const struct {
        const char* what;
        Bytes bytes;
        std::int32_t status;
        std::uint64_t offset, size, missing, chunk;
    } cases[] = {
        {"not a container", KvrbBuilder().magic("RIFF").build(), MARLUNE_NOT_A_CONTAINER, 0, 0, 0, 0},
        {"header cut", prefix(good, 50), MARLUNE_HEADER_CUT, 0, 82, 32, 0},
        {"dataOffset in the header", KvrbBuilder().dataOffset(40).build(), MARLUNE_DATA_OFFSET_BELOW_HEADER, 0, 0, 0,
         0},
        {"preamble cut", prefix(good, 85), MARLUNE_PREAMBLE_CUT, 82, 10, 7, 0},
        {"chunk header cut", prefix(good, 92 + 108 + 3), MARLUNE_CHUNK_HEADER_CUT, 200, 8, 5, 2},
        {"payload cut", prefix(good, good.size() - 1), MARLUNE_PAYLOAD_CUT, 208, 50, 1, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(copy(c.bytes), c.status) << c.what;
        EXPECT_EQ(report.status, c.status) << c.what;
        EXPECT_EQ(report.system_error, 0) << c.what;
        EXPECT_EQ(report.cut_offset, c.offset) << c.what;
        EXPECT_EQ(report.cut_size, c.size) << c.what;
        EXPECT_EQ(report.cut_missing, c.missing) << c.what;
        EXPECT_EQ(report.chunk_number, c.chunk) << c.what;
        EXPECT_EQ(report.source_bytes, c.bytes.size()) << c.what;
        EXPECT_FALSE(fileExists(destination)) << c.what << ": a failed copy beside leaves nothing";
        EXPECT_EQ(dir.names(), std::vector<std::string>{"take.snd"}) << c.what;
        EXPECT_EQ(marlune_examine(source.c_str(), nullptr), c.status) << c.what;
    }

    EXPECT_EQ(copy(good), MARLUNE_OK);
    EXPECT_EQ(readFile(destination), good);
    EXPECT_EQ(std::string(report.magic, 4), "KVRB");
    EXPECT_EQ(report.length_mode, 1);
    EXPECT_EQ(report.data_offset, 92u);
    EXPECT_EQ(report.header_bytes, 82u);
    EXPECT_EQ(report.chunks, 2u);
    EXPECT_EQ(report.payload_bytes, 150u);
    EXPECT_EQ(report.bytes_written, good.size());
}

TEST_F(Api, NamesAndFilesThatCannotBeCopied) {
    const Bytes good = KvrbBuilder().chunk(3).build();
    writeFile(source, good);
    const std::string absent = dir.path("absent.snd");
    const std::string folder = dir.path("");
    const std::string noFolder = dir.path("none/take.kv");
    const struct {
        const char* what;
        const char* from;
        const char* to;
        std::int32_t status;
    } cases[] = {
        {"no source", nullptr, destination.c_str(), MARLUNE_NO_SOURCE_NAME},
        {"empty source", "", destination.c_str(), MARLUNE_NO_SOURCE_NAME},
        {"no destination", source.c_str(), nullptr, MARLUNE_NO_DESTINATION_NAME},
        {"missing source", absent.c_str(), destination.c_str(), MARLUNE_SOURCE_MISSING},
        {"a folder as source", folder.c_str(), destination.c_str(), MARLUNE_SOURCE_NOT_A_FILE},
        {"no such folder", source.c_str(), noFolder.c_str(), MARLUNE_DESTINATION_UNCREATABLE},
        {"the source itself", source.c_str(), source.c_str(), MARLUNE_DESTINATION_IS_SOURCE},
    };
    for (const auto& c : cases) {
        for (const std::int32_t placement : {MARLUNE_BESIDE, MARLUNE_IN_PLACE}) {
            const marlune_options options = optionsWith(placement);
            platform::setLastSystemError(ErrorCodes::io);
            EXPECT_EQ(marlune_copy(c.from, c.to, &options, &report), c.status) << c.what << ", " << placement;
            // A name refused for what it holds, or none, is no failure of the system's.
            if (c.status < MARLUNE_SOURCE_MISSING ||
                (c.status == MARLUNE_DESTINATION_IS_SOURCE && placement == MARLUNE_BESIDE)) {
                EXPECT_EQ(report.system_error, 0) << c.what;
            }
            EXPECT_EQ(readFile(source), good) << c.what;
        }
    }
    // Asked not to replace it, an existing destination is kept, in place as beside.
    writeFile(destination, {7});
    for (const std::int32_t placement : {MARLUNE_BESIDE, MARLUNE_IN_PLACE}) {
        const marlune_options keep = optionsWith(placement, 0);
        platform::setLastSystemError(ErrorCodes::io);  // left by some earlier call: not this one's
        EXPECT_EQ(marlune_copy(source.c_str(), destination.c_str(), &keep, &report), MARLUNE_DESTINATION_EXISTS);
        if (placement == MARLUNE_BESIDE) {
            EXPECT_EQ(report.system_error, 0);
        }
        EXPECT_EQ(readFile(destination), Bytes{7});
    }
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"}));
}

// The system's failures, as the core meets them, with the system's code.
TEST_F(Api, SystemFailuresHaveTheirStatusAndTheSystemsCode) {
    const Bytes good = KvrbBuilder().chunk(3).build();
    const struct {
        Fault fault;
        Durability durability;
        std::int32_t status;
    } cases[] = {
        {{Call::read, 1, FaultKind::error, ErrorCodes::io}, Durability::asWritten, MARLUNE_READ_ERROR},
        {{Call::write, 1, FaultKind::error, ErrorCodes::io}, Durability::asWritten, MARLUNE_WRITE_ERROR},
        {{Call::write, 2, FaultKind::error, ErrorCodes::diskFull}, Durability::asWritten, MARLUNE_DISK_FULL},
        {{Call::write, 1, FaultKind::noProgress}, Durability::asWritten, MARLUNE_DISK_FULL},
        {{Call::sync, 1, FaultKind::error, ErrorCodes::io}, Durability::data, MARLUNE_SYNC_ERROR},
        {{Call::syncFolder, 1, FaultKind::error, ErrorCodes::io}, Durability::dataAndName, MARLUNE_SYNC_ERROR},
        {{Call::move, 1, FaultKind::error, ErrorCodes::io}, Durability::asWritten, MARLUNE_WRITE_ERROR},
    };
    for (const auto& c : cases) {
        writeFile(source, good);
        TestOs os;
        os.fault = c.fault;
        CopyRequest request(os, source.c_str(), destination.c_str());
        request.durability = c.durability;
        platform::File from;
        platform::File to;
        container::Header header{};
        CopyFiles files{from, to, header};
        marlune_report filled{};
        EXPECT_EQ(copyContainer(request, files, filled).status, c.status) << static_cast<int>(c.fault.call);
        EXPECT_EQ(filled.system_error, c.fault.kind == FaultKind::noProgress ? 0 : c.fault.code);
        EXPECT_EQ(os.openFiles(), 0u);
        EXPECT_FALSE(fileExists(destination));
        EXPECT_EQ(dir.names(), std::vector<std::string>{"take.snd"});
    }
}

TEST_F(Api, AReportIsFilledAsFarAsItsSizeSays) {
    const Bytes bytes = KvrbBuilder().chunk(3).build();
    writeFile(source, bytes);
    for (const std::uint32_t size : {0u, 7u, 8u, 12u, 40u, static_cast<std::uint32_t>(sizeof(marlune_report))}) {
        alignas(marlune_report) unsigned char raw[sizeof(marlune_report) + 16];
        std::memset(raw, 0xEE, sizeof raw);
        std::memcpy(raw, &size, sizeof size);
        auto* partial = reinterpret_cast<marlune_report*>(raw);
        EXPECT_EQ(marlune_examine(source.c_str(), partial), MARLUNE_OK);
        const std::size_t filled = size < 8 ? 0 : size;
        std::uint32_t sizeAfter = 0;
        std::memcpy(&sizeAfter, raw, sizeof sizeAfter);
        EXPECT_EQ(sizeAfter, size);
        for (std::size_t i = std::max<std::size_t>(filled, 4); i < sizeof raw; ++i) {
            ASSERT_EQ(raw[i], 0xEE) << "byte " << i << " of a report of size " << size;
        }
        if (filled >= 8) {
            EXPECT_EQ(partial->status, MARLUNE_OK);
        }
    }
    // A report from a later version, larger than this one: this much is filled.
    alignas(marlune_report) unsigned char larger[sizeof(marlune_report) + 16];
    std::memset(larger, 0xEE, sizeof larger);
    const auto largerSize = static_cast<std::uint32_t>(sizeof larger);
    std::memcpy(larger, &largerSize, sizeof largerSize);
    EXPECT_EQ(marlune_examine(source.c_str(), reinterpret_cast<marlune_report*>(larger)), MARLUNE_OK);
    EXPECT_EQ(larger[sizeof(marlune_report)], 0xEE);
    EXPECT_EQ(reinterpret_cast<marlune_report*>(larger)->source_bytes, bytes.size());
}

// Options past their `size` take the defaults: an options struct of an older
// version that ends before `placement` copies beside.
TEST_F(Api, OptionsAreReadAsFarAsTheirSizeSays) {
    const Bytes bytes = KvrbBuilder().chunk(3).build();
    marlune_options options = optionsWith(MARLUNE_IN_PLACE, 0);
    options.size = offsetof(marlune_options, placement);
    writeFile(destination, {1});
    EXPECT_EQ(copy(bytes, &options), MARLUNE_DESTINATION_EXISTS);  // replace 0 was read
    options.replace = 1;
    EXPECT_EQ(copy(KvrbBuilder().build(), &options), MARLUNE_OK);
    EXPECT_EQ(readFile(destination), KvrbBuilder().build());
    EXPECT_EQ(copy(prefix(bytes, bytes.size() - 1), &options), MARLUNE_PAYLOAD_CUT);
    EXPECT_EQ(readFile(destination), KvrbBuilder().build()) << "the default placement is beside";
    // A size that ends inside a field leaves all of that field to its default.
    options.replace = 0;
    for (std::uint32_t size = 5; size < offsetof(marlune_options, placement); ++size) {
        options.size = size;
        EXPECT_EQ(copy(bytes, &options), MARLUNE_OK) << size;
    }
}

// A judged conversion answers what the conversion would, and changes nothing.
TEST_F(Api, AJudgedConversionAnswersAsTheConversionWouldAndTouchesNothing) {
    const Bytes fixed = KvrbBuilder().lengthMode(0).chunk(9, 330).build();
    const Bytes converted = KvrbBuilder().lengthMode(0).chunk(330).build();
    marlune_options keep = optionsWith(MARLUNE_BESIDE, 0);
    const std::vector<std::string> before = {"take.snd"};
    writeFile(source, fixed);
    EXPECT_EQ(marlune_judge_convert(source.c_str(), &keep, &report), MARLUNE_OK);
    EXPECT_EQ(report.length_fields_set, 1u);
    EXPECT_EQ(report.bytes_written, 0u);
    EXPECT_EQ(dir.names(), before);
    writeFile(destination, converted);
    EXPECT_EQ(marlune_judge_convert(source.c_str(), &keep, &report), MARLUNE_FINISHED);
    writeFile(destination, fixed);
    EXPECT_EQ(marlune_judge_convert(source.c_str(), &keep, &report), MARLUNE_DESTINATION_EXISTS);
    EXPECT_EQ(marlune_judge_convert(source.c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(readFile(destination), fixed);
    EXPECT_EQ(readFile(source), fixed);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"}));
    writeFile(source, prefix(fixed, fixed.size() - 1));
    EXPECT_EQ(marlune_judge_convert(source.c_str(), nullptr, &report), MARLUNE_PAYLOAD_CUT);
    EXPECT_EQ(marlune_judge_convert(destination.c_str(), nullptr, &report), MARLUNE_ALREADY_CONVERTED);
}

TEST(KvName, IsTheConversionsNameAndTellsTheRoomItNeeds) {
    char name[16] = {};
    EXPECT_EQ(marlune_kv_name("dir.x/take.snd", nullptr, 0), 14u);
    EXPECT_EQ(marlune_kv_name("dir.x/take.snd", name, 13), 14u);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(marlune_kv_name("dir.x/take.snd", name, sizeof name), 14u);
    EXPECT_STREQ(name, "dir.x/take.kv");
    EXPECT_EQ(marlune_kv_name("take", name, sizeof name), 8u);
    EXPECT_STREQ(name, "take.kv");
    EXPECT_EQ(marlune_kv_name(nullptr, name, sizeof name), 0u);
}

// Files too short for a header whose bytes already rule out both magics hold no
// container at all; a start of a magic is a header cut short.
TEST_F(Api, TinyFilesAreNoContainersUnlessTheyStartAMagic) {
    for (const char* text : {"", "hi\n", "ab", "K!", "fx4"}) {
        writeFile(source, Bytes(text, text + std::strlen(text)));
        EXPECT_EQ(marlune_examine(source.c_str(), &report), MARLUNE_NOT_A_CONTAINER) << text;
        EXPECT_EQ(report.header_bytes, std::strlen(text));
    }
    for (const char* text : {"K", "KVR", "fx3", "KVRB"}) {
        writeFile(source, Bytes(text, text + std::strlen(text)));
        EXPECT_EQ(marlune_examine(source.c_str(), &report), MARLUNE_HEADER_CUT) << text;
    }
}

TEST_F(Api, ConvertingFollowsTheOriginalRulesAndSaysWhatItDid) {
    const Bytes fixed = KvrbBuilder().lengthMode(0).chunk(9, 330).build();
    writeFile(source, fixed);
    EXPECT_EQ(marlune_convert(source.c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(readFile(destination), KvrbBuilder().lengthMode(0).chunk(330).build());
    EXPECT_FALSE(fileExists(source));
    EXPECT_EQ(report.length_fields_set, 1u);
    EXPECT_EQ(marlune_convert(destination.c_str(), nullptr, &report), MARLUNE_ALREADY_CONVERTED);

    // An earlier .kv that is this file's conversion finishes the job; any other is kept.
    writeFile(source, fixed);
    const marlune_options keep = optionsWith(MARLUNE_IN_PLACE, 0);  // placement is not a conversion's to choose
    EXPECT_EQ(marlune_convert(source.c_str(), &keep, &report), MARLUNE_FINISHED);
    EXPECT_EQ(report.bytes_written, 0u);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"take.kv"});
    EXPECT_EQ(readFile(destination), KvrbBuilder().lengthMode(0).chunk(330).build());

    // Longer, shorter, and as long but for one byte.
    const Bytes converted = KvrbBuilder().lengthMode(0).chunk(330).build();
    Bytes changed = converted;
    changed.back() ^= 1;
    for (const Bytes& earlier : {KvrbBuilder().lengthMode(0).chunk(330).chunk(330).build(),
                                 prefix(converted, converted.size() - 100), changed}) {
        writeFile(source, fixed);
        writeFile(destination, earlier);
        EXPECT_EQ(marlune_convert(source.c_str(), &keep, &report), MARLUNE_DESTINATION_EXISTS);
        EXPECT_EQ(readFile(destination), earlier);
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"}));
    }
}

// Salvage: a source whose chunks are cut short gives every whole chunk, a complete
// container; one cut in its header or preamble cannot be salvaged.
TEST_F(Api, ASalvageKeepsEveryWholeChunkAndSaysWhatWasLost) {
    const Bytes whole = KvrbBuilder().lengthMode(0).preamble(4).chunk(9, 330).chunk(330).build();
    const Bytes cut =
        prefix(KvrbBuilder().lengthMode(0).preamble(4).chunk(9, 330).chunk(330).chunk(330).build(), whole.size() + 100);
    marlune_options options = optionsWith(MARLUNE_BESIDE);
    options.salvage = 1;
    EXPECT_EQ(copy(cut, &options), MARLUNE_SALVAGED);
    EXPECT_EQ(readFile(destination), KvrbBuilder().lengthMode(0).preamble(4).chunk(330).chunk(330).build());
    EXPECT_EQ(report.cut_offset, whole.size() + 8);
    EXPECT_EQ(report.cut_missing, 330u - 92u);
    EXPECT_EQ(report.chunk_number, 3u);
    EXPECT_EQ(marlune_examine(destination.c_str(), nullptr), MARLUNE_OK);
    EXPECT_EQ(copy(whole, &options), MARLUNE_OK);
    EXPECT_EQ(copy(prefix(whole, 84), &options), MARLUNE_PREAMBLE_CUT);
    EXPECT_EQ(marlune_examine(destination.c_str(), nullptr), MARLUNE_OK) << "a failed salvage leaves the last copy";
}

// A cancelled copy ends as a failure: beside, the destination stays as it was.
TEST_F(Api, AProgressCallbackSeesTheCopyAndCanStopIt) {
    KvrbBuilder builder;
    for (int i = 0; i < 60; ++i) builder.chunk(60000);  // 3.6 MB
    const Bytes large = builder.build();
    Seen seen;
    marlune_options options = optionsWith(MARLUNE_BESIDE);
    options.progress_context = &seen;
    options.progress = recordProgress;
    EXPECT_EQ(copy(large, &options), MARLUNE_OK);
    ASSERT_GE(seen.done.size(), 3u);
    EXPECT_TRUE(std::is_sorted(seen.done.begin(), seen.done.end()));
    EXPECT_EQ(seen.done.back(), large.size());
    EXPECT_EQ(seen.total, large.size());

    writeFile(destination, {5});
    seen = Seen{};
    seen.stop = true;
    EXPECT_EQ(copy(large, &options), MARLUNE_CANCELLED);
    EXPECT_EQ(seen.done.size(), 1u);
    EXPECT_EQ(readFile(destination), Bytes{5});
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"}));
}

// Every copy's progress callback waits until all of them are running: calls that
// were serialised would never all be there at once.
TEST_F(Api, CallsFromManyThreadsRunAtOnce) {
    constexpr int copies = 8;
    Meeting meeting(copies);
    marlune_options options = optionsWith(MARLUNE_BESIDE);
    options.progress_context = &meeting;
    options.progress = meetTheOthers;
    const Bytes bytes = KvrbBuilder().lengthMode(0).chunk(4, 330).chunk(330).build();
    std::vector<std::thread> threads;
    std::vector<std::int32_t> statuses(copies, -1);
    for (int i = 0; i < copies; ++i) {
        const std::string from = dir.path("in" + std::to_string(i) + ".snd");
        writeFile(from, bytes);
        threads.emplace_back([&, i, from] {
            marlune_report mine = freshReport();
            const std::string to = dir.path("out" + std::to_string(i) + ".kv");
            statuses[static_cast<std::size_t>(i)] = marlune_copy(from.c_str(), to.c_str(), &options, &mine);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(meeting.met);
    EXPECT_EQ(statuses, std::vector<std::int32_t>(copies, MARLUNE_OK));
    for (int i = 0; i < copies; ++i) {
        EXPECT_EQ(readFile(dir.path("out" + std::to_string(i) + ".kv")),
                  KvrbBuilder().lengthMode(0).chunk(330).chunk(330).build());
    }
}

// Names in scripts no ANSI code page holds, and paths past 260 characters.
TEST_F(Api, UnicodeAndLongPaths) {
    const Bytes bytes = KvrbBuilder().chunk(3).build();
    const std::string folder = dir.path(std::string(150, 'd'));
    std::filesystem::create_directory(std::filesystem::u8path(folder));
    const std::string unicode = folder + "/" + std::string(120, 'f') + "-\xE9\x8C\xB2\xE9\x9F\xB3-\xF0\x9F\x8E\xB5.snd";
    ASSERT_GT(unicode.size(), 260u);
    const std::filesystem::path onDisk = std::filesystem::u8path(unicode);
    {
        std::ofstream out(onDisk, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }
    EXPECT_EQ(marlune_examine(unicode.c_str(), &report), MARLUNE_OK);
    EXPECT_EQ(marlune_copy(unicode.c_str(), (unicode + ".copy").c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(marlune_convert(unicode.c_str(), nullptr, &report), MARLUNE_OK);
    const std::string converted = unicode.substr(0, unicode.size() - 4) + ".kv";
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(converted)));
    EXPECT_FALSE(std::filesystem::exists(onDisk));
#ifdef _WIN32
    const std::wstring wide = std::filesystem::u8path(converted).wstring();
    EXPECT_EQ(marlune_examine_w(wide.c_str(), &report), MARLUNE_OK);
    EXPECT_EQ(marlune_copy_w(wide.c_str(), (wide + L".snd").c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(marlune_convert_w((wide + L".snd").c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(wide + L".kv")));
    // A lone surrogate is no name.
    const wchar_t broken[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    EXPECT_EQ(marlune_examine_w(broken, &report), MARLUNE_BAD_NAME);
    EXPECT_EQ(marlune_examine("\xFF\xFE.snd", &report), MARLUNE_BAD_NAME);
#endif
}

// A status has words exactly when it has a name, and every name is a status's.
TEST(ApiText, EveryStatusHasWordsAndANameAndTheVersionIsTheLibrarys) {
    int named = 0;
    for (std::int32_t status = -1; status < 100; ++status) {
        ASSERT_NE(marlune_status_text(status), nullptr);
        const bool known = std::strcmp(marlune_status_name(status), "MARLUNE_UNKNOWN") != 0;
        EXPECT_EQ(known, std::strcmp(marlune_status_text(status), "unknown status") != 0) << status;
        named += known ? 1 : 0;
    }
    EXPECT_EQ(named, 55);
    EXPECT_STREQ(marlune_status_text(MARLUNE_PAYLOAD_CUT), "the source ends inside a chunk's payload");
    EXPECT_STREQ(marlune_status_name(MARLUNE_PAYLOAD_CUT), "MARLUNE_PAYLOAD_CUT");
    EXPECT_STREQ(marlune_status_name(MARLUNE_FINISHED), "MARLUNE_FINISHED");
    EXPECT_STREQ(marlune_version(), "1.0.0");
}

// A conversion run again over a .kv longer than a page that differs from it in one
// byte: refused, the .kv kept, and the report names no chunk for a difference in
// the header or preamble, and the first chunk for one in the chunks, wherever.
TEST_F(Api, AnEarlierKvThatDiffersIsReportedByWhereItDiffers) {
    KvrbBuilder from = KvrbBuilder().lengthMode(0).preamble(100);
    KvrbBuilder to = KvrbBuilder().lengthMode(0).preamble(100);
    for (int i = 0; i < 40; ++i) {
        from.chunk(9, 330);
        to.chunk(330);
    }
    const Bytes fixed = from.build();
    const Bytes converted = to.build();
    ASSERT_GT(converted.size(), 4096u * 3);
    const marlune_options keep = optionsWith(MARLUNE_IN_PLACE, 0);
    // In the header, the preamble, the first chunk, and past the first page.
    for (const std::size_t at : {40, 120, 200, 5000}) {
        Bytes earlier = converted;
        earlier[at] ^= 1;
        writeFile(source, fixed);
        writeFile(destination, earlier);
        marlune_report expected{};
        expected.size = sizeof expected;
        expected.status = MARLUNE_DESTINATION_EXISTS;
        expected.chunk_number = at < 182 ? 0 : 1;
        std::memcpy(expected.magic, "KVRB", 4);
        expected.data_offset = 182;
        expected.header_bytes = 82;
        expected.source_bytes = fixed.size();
        report = marlune_report{};
        report.size = sizeof report;
        EXPECT_EQ(marlune_convert(source.c_str(), &keep, &report), MARLUNE_DESTINATION_EXISTS) << at;
        EXPECT_EQ(readFile(destination), earlier) << at;
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"})) << at;
        EXPECT_EQ(report.chunk_number, expected.chunk_number) << at;
        EXPECT_EQ(std::memcmp(&report, &expected, sizeof report), 0) << at;
    }
}

}  // namespace
}  // namespace marlune::testing
