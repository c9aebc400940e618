// Faults that come from outside: a source that changes under the copy, a disk
// that fills up, and whatever a host may pass as a path.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "boundary/api.h"
#include "boundary/module_state.h"
#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

class SourceChanges : public ::testing::Test {
protected:
    TempDir dir;
    TestOs os;
    std::string source = dir.path("take.snd");
    std::string destination = dir.path("take.kv");
    const Bytes good = KvrbBuilder().preamble(9).chunk(100).chunk(200).chunk(300).build();

    std::int32_t convert() {
        const std::int32_t showErrors = 1;
        return IKVRBinfo(0, &showErrors, source.c_str());
    }
};

// A read that gives nothing before the source's end used to pass for the end of
// the container: the conversion then deleted the source with chunks missing.
TEST_F(SourceChanges, AReadEndingEarlyIsNoEndOfTheContainer) {
    KvrbBuilder builder = KvrbBuilder().preamble(9);
    for (int i = 0; i < 6; ++i) builder.chunk(1000);
    const Bytes longer = builder.build();
    // Half of the file arrives, then the system says it has ended.
    os.fault = Fault{Call::read, 1, FaultKind::shortTransfer};
    os.secondFault = Fault{Call::read, 2, FaultKind::noProgress};
    writeFile(source, longer);
    EXPECT_EQ(convert(), 0);
    EXPECT_TRUE(os.faulted);
    EXPECT_EQ(readFile(source), longer);
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCopyAudioData});
    EXPECT_FALSE(fileExists(destination));
}

// Another program renames a new file over the source while it is converted (as
// editors save): the copy holds what was read, and the new file must survive.
TEST_F(SourceChanges, ASourceReplacedDuringAConversionIsNotDeleted) {
    const Bytes replacement = KvrbBuilder().lengthMode(0).chunk(330).build();
    for (int nth = 1; nth <= 8; ++nth) {
        writeFile(source, good);
        writeFile(dir.path("new.snd"), replacement);
        bool replaced = false;
        os.onCall = [&](Call call, int n) {
            if (call != Call::read || n != nth) return;
            std::error_code error;  // refused where an open file cannot be replaced
            std::filesystem::rename(dir.path("new.snd"), source, error);
            replaced = !error;
        };
        EXPECT_EQ(convert(), -1) << nth;
        os.onCall = nullptr;
        EXPECT_EQ(readFile(destination), good) << nth;
        if (replaced) {
            EXPECT_EQ(readFile(source), replacement) << nth;
        } else {
            EXPECT_FALSE(fileExists(source)) << nth;
        }
        std::filesystem::remove(dir.path("new.snd"));
    }
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(os.openFiles(), 0u);
}

// A source deleted by someone else while it is converted: what was read is
// complete in the destination, or the conversion fails and says so.
TEST_F(SourceChanges, ASourceRemovedDuringAConversionLeavesAWholeCopy) {
    for (int nth = 1; nth <= 8; ++nth) {
        writeFile(source, good);
        os.onCall = [&](Call call, int n) {
            std::error_code ignored;  // refused where an open file cannot be deleted
            if (call == Call::read && n == nth) std::filesystem::remove(source, ignored);
        };
        EXPECT_EQ(convert(), -1) << nth;
        os.onCall = nullptr;
        EXPECT_EQ(readFile(destination), good) << nth;
        EXPECT_FALSE(fileExists(source)) << nth;
    }
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(os.openFiles(), 0u);
}

// Another program appends a chunk once the copy has read the source, before the
// source is removed: the source, with its new chunk, must stay. The ".kv" file
// is a whole conversion of what was read, and stays too.
TEST_F(SourceChanges, ASourceThatChangesAfterItsCopyIsKept) {
    const Bytes longer = KvrbBuilder().preamble(9).chunk(100).chunk(200).chunk(300).chunk(40).build();
    const Bytes chunk(longer.begin() + static_cast<std::ptrdiff_t>(good.size()), longer.end());
    for (const Call when : {Call::move, Call::syncFolder}) {
        for (const bool original : {true, false}) {
            writeFile(source, good);
            std::filesystem::remove(destination);
            os.messages.clear();
            bool appended = false;
            os.onCall = [&](Call call, int) {
                if (call != when || appended) return;
                appended = true;
                std::ofstream(source, std::ios::binary | std::ios::app)
                    .write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
            };
            if (original) {
                EXPECT_EQ(convert(), 0);
                EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCopyAudioData});
            } else {
                marlune_report report{};
                report.size = sizeof report;
                EXPECT_EQ(convertThrough(os, source.c_str(), nullptr, &report), MARLUNE_SOURCE_CHANGED);
                EXPECT_EQ(report.status, MARLUNE_SOURCE_CHANGED);
            }
            os.onCall = nullptr;
            EXPECT_TRUE(appended);
            EXPECT_EQ(readFile(source), longer);
            EXPECT_EQ(readFile(destination), good);
            EXPECT_EQ(dir.names().size(), 2u);
        }
    }
    EXPECT_EQ(os.openFiles(), 0u);
}

}  // namespace
}  // namespace marlune::testing
