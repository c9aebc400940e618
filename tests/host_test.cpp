// libmarlune.so as a host program sees it: linked, called through the public
// header, reporting on standard error.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {
namespace {

int openDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++count;
        closedir(fds);
    }
    return count;
}

// Runs `call` with standard error sent to a file, and gives back what it wrote.
template <typename Call>
std::string stderrOf(const TempDir& dir, Call call) {
    const std::string path = dir.path("stderr.txt");
    const int saved = dup(STDERR_FILENO);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, STDERR_FILENO);
    close(file);
    call();
    dup2(saved, STDERR_FILENO);
    close(saved);
    const Bytes text = readFile(path);
    return std::string(text.begin(), text.end());
}

TEST(Host, FailuresAreOneLineOnStandardErrorWhenAskedFor) {
    TempDir dir;
    const std::string source = dir.path("in.snd");
    writeFile(source, KvrbBuilder().magic("RIFF").build());
    const std::string destination = dir.path("out.kv");
    std::int32_t result = -1;
    EXPECT_EQ(stderrOf(dir, [&] { result = KVRBinfo(source.c_str(), destination.c_str(), 1); }),
              "Marlune: Unable to copy KVRB header.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(destination), Bytes{});  // created before the header was read
    EXPECT_EQ(stderrOf(dir, [&] { result = KVRBinfo("", destination.c_str(), 1); }),
              "Marlune: Error in source or destination filename.\n");
    EXPECT_EQ(stderrOf(dir, [&] { result = KVRBinfo(source.c_str(), destination.c_str(), 0); }), "");
    EXPECT_EQ(result, 0);
}

TEST(Host, CopiesAndConvertsWithoutLeakingDescriptors) {
    TempDir dir;
    const Bytes bytes = KvrbBuilder().preamble(3).chunk(9).build();
    const int before = openDescriptors();
    for (int i = 0; i < 50; ++i) {
        writeFile(dir.path("a.snd"), bytes);
        ASSERT_EQ(KVRBinfo(dir.path("a.snd").c_str(), dir.path("b.kv").c_str(), 0), 1);
        ASSERT_EQ(KVRBinfo(dir.path("missing").c_str(), dir.path("b.kv").c_str(), 0), 0);
        ASSERT_EQ(KVRBinfo(dir.path("a.snd").c_str(), dir.path("a.snd").c_str(), 0), 0);
        const std::int32_t quiet = 0;
        ASSERT_EQ(IKVRBinfo(0, &quiet, dir.path("a.snd").c_str()), -1);
        ASSERT_EQ(readFile(dir.path("a.kv")), bytes);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Host, TheLibraryExportsOnlyItsTwoFunctions) {
    void* library = dlopen("libmarlune.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    EXPECT_NE(dlsym(library, "KVRBinfo"), nullptr);
    EXPECT_NE(dlsym(library, "IKVRBinfo"), nullptr);
    for (const char* internal : {"_ZN7marlune11moduleStateEv", "_ZN7marlune11reportErrorEPKc",
                                 "_ZN7marlune9container10copyHeaderERNS_8platform4FileES3_RSt5arrayIhLm82EE"}) {
        EXPECT_EQ(dlsym(library, internal), nullptr) << internal;
    }
    dlclose(library);
}

}  // namespace
}  // namespace marlune::testing
