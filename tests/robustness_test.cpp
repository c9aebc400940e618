// Faults that come from outside: a source that changes under the copy, a disk
// that fills up, and whatever a host may pass as a path.
#include <gtest/gtest.h>

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
    os.fault = Fault{Call::read, 3, FaultKind::noProgress};  // the first chunk header
    writeFile(source, good);
    EXPECT_EQ(convert(), 0);
    EXPECT_TRUE(os.faulted);
    EXPECT_EQ(readFile(source), good);
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCopyAudioData});
    EXPECT_EQ(readFile(destination), prefix(good, 82 + 9));
}

}  // namespace
}  // namespace marlune::testing
