// What a host may hand the library on a POSIX system, and what the system may do
// to it: odd paths, files that are no regular files, a disk that fills up, a
// file system that is read-only. Each must give a clear result and message and
// overwrite nothing that it should not.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>

#include "boundary/module_state.h"
#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

namespace fs = std::filesystem;

const std::string header = messages::cannotCopyHeader;
const std::string audio = messages::cannotCopyAudioData;
const std::string openSource = messages::cannotOpenSource;
const std::string createDestination = messages::cannotCreateDestination;

// Runs `call` on another thread and fails the whole process when it does not
// return: a call that blocks on a FIFO or a device would otherwise hang the suite.
template <typename Call>
std::int32_t withinSeconds(int seconds, Call call) {
    auto running = std::async(std::launch::async, call);
    if (running.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "the call did not return within %d s\n", seconds);
        std::_Exit(1);
    }
    return running.get();
}

// A tmpfs mounted for the test's lifetime; `reason` says why not when it cannot be.
class ScratchMount {
public:
    ScratchMount(const std::string& where, const std::string& options) : where_(where) {
        fs::create_directory(where_);
        if (geteuid() != 0) {
            reason_ = "mounting a tmpfs needs root (CI runs as root)";
        } else if (mount("tmpfs", where_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            reason_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
        } else {
            mounted_ = true;
        }
    }
    ~ScratchMount() {
        if (mounted_) umount2(where_.c_str(), MNT_DETACH);
    }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }
    bool makeReadOnly() { return mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

private:
    std::string where_;
    std::string reason_;
    bool mounted_ = false;
};

class Boundary : public ::testing::Test {
protected:
    TempDir dir;
    TestOs os;
    const Bytes good = KvrbBuilder().preamble(20).chunk(100).chunk(7).build();

    std::int32_t copy(const std::string& from, const std::string& to) {
        return withinSeconds(20, [&] { return KVRBinfo(from.c_str(), to.c_str(), 1); });
    }
    std::int32_t convert(const std::string& path) {
        return withinSeconds(20, [&] {
            const std::int32_t showErrors = 1;
            return IKVRBinfo(0, &showErrors, path.c_str());
        });
    }
    // The one message of the last call, which is then forgotten.
    std::string lastMessage() {
        std::string message =
            os.messages.size() == 1 ? os.messages.front() : "messages: " + std::to_string(os.messages.size());
        os.messages.clear();
        return message;
    }

    // A path of exactly `length` bytes inside the test folder, in components that a
    // file system takes; its folders are made when `make` is set.
    std::string pathOfLength(std::size_t length, bool make) {
        std::string path = dir.path("");
        while (length > path.size() + 201) {
            path += std::string(200, 'd');
            if (make) fs::create_directory(path);
            path += '/';
        }
        return path + std::string(length - path.size(), 'f');
    }
};

TEST_F(Boundary, PathsOfEveryLength) {
    EXPECT_EQ(copy("", dir.path("out.kv")), 0);
    EXPECT_EQ(lastMessage(), messages::badName);

    const std::string source = dir.path("in.snd");
    writeFile(source, good);
    // No 260-byte limit here: paths up to the system's own limit work.
    for (const std::size_t length : {259u, 260u}) {
        const std::string longSource = pathOfLength(length, true).replace(length - 4, 4, ".snd");
        const std::string longDestination = longSource.substr(0, length - 4) + ".kv";
        ASSERT_EQ(longSource.size(), length);
        writeFile(longSource, good);
        EXPECT_EQ(copy(longSource, source + ".copy"), 1) << length;
        EXPECT_EQ(copy(source, longDestination), 1) << length;
        EXPECT_EQ(readFile(longDestination), good) << length;
        fs::remove(longDestination);
        EXPECT_EQ(convert(longSource), -1) << length;
        EXPECT_EQ(readFile(longDestination), good) << length;
        EXPECT_FALSE(fileExists(longSource)) << length;
    }
    // Past the system's limit (4096 bytes with its terminator): refused, nothing touched.
    for (const std::size_t length : {4096u, 70000u}) {
        const std::string tooLong = pathOfLength(length, false);
        EXPECT_EQ(copy(tooLong, dir.path("out.kv")), 0) << length;
        EXPECT_EQ(lastMessage(), openSource) << length;
        EXPECT_FALSE(fileExists(dir.path("out.kv"))) << length;
        EXPECT_EQ(copy(source, tooLong), 0) << length;
        EXPECT_EQ(lastMessage(), createDestination) << length;
        EXPECT_EQ(convert(tooLong), 0) << length;
        EXPECT_EQ(lastMessage(), openSource) << length;
    }
    EXPECT_EQ(readFile(source), good);
    EXPECT_EQ(os.openFiles(), 0u);
}

// Paths are bytes: names that are no valid text in any encoding work like others.
TEST_F(Boundary, PathsThatAreNoValidText) {
    const std::string source = dir.path("take\xff\xfe\x80\x01.snd");
    const std::string destination = dir.path("out\xc0\xaf\n.kv");
    writeFile(source, good);
    EXPECT_EQ(copy(source, destination), 1);
    EXPECT_EQ(readFile(destination), good);
    EXPECT_EQ(convert(source), -1);
    EXPECT_EQ(readFile(dir.path("take\xff\xfe\x80\x01.kv")), good);
    EXPECT_FALSE(fileExists(source));
    EXPECT_TRUE(os.messages.empty());
}

TEST_F(Boundary, FoldersAreNeitherSourceNorDestination) {
    const std::string folder = dir.path("folder.snd");
    fs::create_directory(folder);
    writeFile(folder + "/inside", {1, 2});
    const std::string source = dir.path("in.snd");
    writeFile(source, good);

    EXPECT_EQ(copy(source, folder), 0);
    EXPECT_EQ(lastMessage(), createDestination);
    EXPECT_EQ(copy(folder, dir.path("out.kv")), 0);
    EXPECT_EQ(lastMessage(), openSource);
    EXPECT_FALSE(fileExists(dir.path("out.kv")));
    EXPECT_EQ(convert(folder), 0);
    EXPECT_EQ(lastMessage(), openSource);
    EXPECT_FALSE(fileExists(dir.path("folder.kv")));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(readFile(folder + "/inside"), (Bytes{1, 2}));
    EXPECT_EQ(readFile(source), good);
}

TEST_F(Boundary, DevicesAreNeitherSourceNorDestination) {
    const std::string source = dir.path("in.snd");
    writeFile(source, good);
    for (const char* device : {"/dev/null", "/dev/full", "/dev/zero"}) {
        if (!fileExists(device)) continue;
        EXPECT_EQ(copy(source, device), 0) << device;
        EXPECT_EQ(lastMessage(), createDestination) << device;
        // /dev/zero would never end: a copy from it must not even start.
        EXPECT_EQ(copy(device, dir.path("out.kv")), 0) << device;
        EXPECT_EQ(lastMessage(), openSource) << device;
        EXPECT_TRUE(fs::is_character_file(device)) << device;
    }
    EXPECT_FALSE(fileExists(dir.path("out.kv")));
    EXPECT_EQ(os.openFiles(), 0u);
}

// Nobody at the other end of a FIFO: opening it must not wait for one.
TEST_F(Boundary, AFifoNeverHangsTheCall) {
    const std::string fifo = dir.path("pipe.snd");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    const std::string source = dir.path("in.snd");
    writeFile(source, good);
    EXPECT_EQ(copy(fifo, dir.path("out.kv")), 0);
    EXPECT_EQ(lastMessage(), openSource);
    EXPECT_EQ(copy(source, fifo), 0);
    EXPECT_EQ(lastMessage(), createDestination);
    EXPECT_EQ(convert(fifo), 0);
    EXPECT_EQ(lastMessage(), openSource);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_FALSE(fileExists(dir.path("out.kv")));
    EXPECT_FALSE(fileExists(dir.path("pipe.kv")));
}

// Permission bits do not stop root, so as root the files are put on a tmpfs
// mounted read-only instead; otherwise the bits are used.
TEST_F(Boundary, AFileThatCannotBeWrittenIsLeftAsItWas) {
    const Bytes previous = {'o', 'l', 'd'};
    const std::string source = dir.path("in.snd");
    writeFile(source, good);
    std::string locked;
    std::string lockedSource;
    std::string lockedFolder;
    ScratchMount readOnly(dir.path("ro"), "size=64k");
    if (geteuid() == 0) {
        if (!readOnly.mounted()) GTEST_SKIP() << readOnly.reason();
        locked = dir.path("ro/out.kv");
        lockedSource = dir.path("ro/take.snd");
        writeFile(locked, previous);
        writeFile(lockedSource, good);
        ASSERT_TRUE(readOnly.makeReadOnly()) << std::strerror(errno);
    } else {
        locked = dir.path("out.kv");
        writeFile(locked, previous);
        fs::permissions(locked, fs::perms::owner_read);
        lockedFolder = dir.path("locked");
        fs::create_directory(lockedFolder);
        lockedSource = lockedFolder + "/take.snd";
        writeFile(lockedSource, good);
        fs::permissions(lockedFolder, fs::perms::owner_read | fs::perms::owner_exec);
    }
    EXPECT_EQ(copy(source, locked), 0);
    EXPECT_EQ(lastMessage(), createDestination);
    EXPECT_EQ(readFile(locked), previous);
    // Its destination cannot be made beside it: the source stays.
    EXPECT_EQ(convert(lockedSource), 0);
    EXPECT_EQ(lastMessage(), createDestination);
    EXPECT_EQ(readFile(lockedSource), good);
    if (!lockedFolder.empty()) fs::permissions(lockedFolder, fs::perms::owner_all);  // so that it can be removed
}

// The sizes at which a copy of a container with a `preamble`-byte preamble and
// equal chunks of `payload` bytes holds only whole parts.
std::vector<std::size_t> wholePartSizes(std::size_t preamble, std::size_t payload, std::size_t chunks) {
    std::vector<std::size_t> sizes = {0, 82};
    for (std::size_t i = 0; i <= chunks; ++i) sizes.push_back(82 + preamble + i * (8 + payload));
    return sizes;
}

bool holdsWholeParts(const Bytes& written, const Bytes& source, const std::vector<std::size_t>& sizes) {
    return std::find(sizes.begin(), sizes.end(), written.size()) != sizes.end() &&
           written == prefix(source, written.size());
}

// What may stand at the ".kv" name of a conversion: a folder or a device is
// refused before anything is written; through a symbolic link the file it leads
// to is replaced and the link kept; a file with other hard links is replaced at
// that name only, the other names keeping the earlier file.
TEST_F(Boundary, WhatStandsAtTheKvNameOfAConversion) {
    const Bytes earlier = KvrbBuilder().chunk(5).build();
    const std::string source = dir.path("take.snd");
    const std::string kv = dir.path("take.kv");

    fs::create_directory(kv);
    writeFile(source, good);
    EXPECT_EQ(convert(source), 0);
    EXPECT_EQ(lastMessage(), createDestination);
    EXPECT_EQ(readFile(source), good);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"}));
    fs::remove(kv);

    fs::create_directory(dir.path("elsewhere"));
    const std::string target = dir.path("elsewhere/kept.kv");
    writeFile(target, earlier);
    fs::create_symlink(target, kv);
    EXPECT_EQ(convert(source), -1);
    EXPECT_TRUE(fs::is_symlink(kv));
    EXPECT_EQ(readFile(target), good);
    EXPECT_EQ(dir.names("elsewhere"), std::vector<std::string>{"kept.kv"});
    EXPECT_FALSE(fileExists(source));
    fs::remove(kv);

    const std::string otherName = dir.path("elsewhere/other.kv");
    writeFile(kv, earlier);
    fs::create_hard_link(kv, otherName);
    writeFile(source, good);
    EXPECT_EQ(convert(source), -1);
    EXPECT_EQ(readFile(kv), good);
    EXPECT_EQ(readFile(otherName), earlier);
    EXPECT_EQ(fs::hard_link_count(kv), 1u);
}

// The partial file is created exclusively: a link planted at its name is not
// followed, and a file there is not reused.
TEST_F(Boundary, ANewFileNeverFollowsALinkOrReusesAFile) {
    const std::string planted = dir.path("take.kv.0123456789abcdef.marlune-partial");
    const std::string victim = dir.path("victim");
    writeFile(victim, good);
    fs::create_symlink(victim, planted);
    platform::Handle file = platform::noHandle;
    EXPECT_FALSE(platform::nativeOs().createNew(planted.c_str(), file, platform::Access::usual));
    EXPECT_EQ(errno, EEXIST);
    fs::remove(planted);
    writeFile(planted, good);
    EXPECT_FALSE(platform::nativeOs().createNew(planted.c_str(), file, platform::Access::usual));
    EXPECT_EQ(readFile(victim), good);
    EXPECT_EQ(readFile(planted), good);
}

// A real full disk: a tmpfs of 256 KiB that the copy fills part way through.
TEST_F(Boundary, ADiskThatFillsUpLeavesWholePartsAndKeepsTheSource) {
    ScratchMount small(dir.path("small"), "size=256k");
    if (!small.mounted()) GTEST_SKIP() << small.reason();

    constexpr std::size_t preamble = 70000;
    constexpr std::size_t payload = 5000;
    constexpr std::size_t chunks = 60;  // about 370 KiB in all
    KvrbBuilder builder;
    builder.preamble(preamble);
    for (std::size_t i = 0; i < chunks; ++i) builder.chunk(payload);
    const Bytes big = builder.build();
    const auto sizes = wholePartSizes(preamble, payload, chunks);

    const std::string source = dir.path("big.snd");
    writeFile(source, big);
    const std::string destination = dir.path("small/big.kv");
    EXPECT_EQ(copy(source, destination), 0);
    EXPECT_EQ(lastMessage(), audio);
    const Bytes written = readFile(destination);
    EXPECT_TRUE(holdsWholeParts(written, big, sizes)) << written.size() << " bytes";
    EXPECT_GT(written.size(), 82 + preamble);
    EXPECT_EQ(os.openFiles(), 0u);

    // Filled up in the preamble: the header alone stays.
    fs::remove(destination);
    writeFile(dir.path("small/filler"), Bytes(190 * 1024, 0));
    EXPECT_EQ(copy(source, destination), 0);
    EXPECT_EQ(lastMessage(), header);
    EXPECT_EQ(readFile(destination), prefix(big, 82));
    fs::remove(destination);
    fs::remove(dir.path("small/filler"));

    // A conversion whose destination does not fit keeps its source, leaves an
    // earlier conversion at the ".kv" name as it was, and nothing beside it.
    KvrbBuilder half;
    half.preamble(100);
    for (std::size_t i = 0; i < 30; ++i) half.chunk(payload);
    const Bytes medium = half.build();
    const Bytes earlier = KvrbBuilder().chunk(3000).build();
    const std::string onSmall = dir.path("small/take.snd");
    writeFile(onSmall, medium);
    writeFile(dir.path("small/take.kv"), earlier);
    EXPECT_EQ(convert(onSmall), 0);
    EXPECT_EQ(lastMessage(), audio);
    EXPECT_EQ(readFile(onSmall), medium);
    EXPECT_EQ(readFile(dir.path("small/take.kv")), earlier);
    EXPECT_EQ(dir.names("small"), (std::vector<std::string>{"take.kv", "take.snd"}));
}

}  // namespace
}  // namespace marlune::testing
