// libmarlune.so as a host program sees it: linked, called through the public
// header, reporting on standard error.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <set>
#include <string>

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

// The words of `path`, one a line or space-separated.
std::set<std::string> wordsOf(const char* path) {
    std::ifstream file(path);
    std::set<std::string> words;
    for (std::string word; file >> word;) words.insert(word);
    return words;
}

// The names the version script lists between "global:" and "local:".
std::set<std::string> mapNames() {
    std::ifstream map(MARLUNE_EXPORT_MAP);
    std::set<std::string> names;
    bool global = false;
    for (std::string word; map >> word;) {
        if (word == "global:") {
            global = true;
        } else if (word == "local:") {
            global = false;
        } else if (global && word.size() > 1 && word.back() == ';') {
            names.insert(word.substr(0, word.size() - 1));
        }
    }
    return names;
}

TEST(Host, TheLibraryExportsTheNamesOfItsMapAndNoOtherOfItsSymbols) {
    const std::set<std::string> exported = mapNames();
    // Every external symbol of the library's objects, listed with nm at build time.
    const std::set<std::string> defined = wordsOf(MARLUNE_DEFINED_SYMBOLS);
    ASSERT_TRUE(exported.count("KVRBinfo")) << "no names read from " << MARLUNE_EXPORT_MAP;
    ASSERT_TRUE(defined.count("_ZN7marlune11moduleStateEv")) << "no symbols read from " << MARLUNE_DEFINED_SYMBOLS;

    void* library = dlopen("libmarlune.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    Dl_info own{};
    ASSERT_NE(dladdr(dlsym(library, "KVRBinfo"), &own), 0);
    // A name found in a library it depends on (libstdc++'s own instance of a
    // template) is not one it exports.
    const auto exportedByIt = [&](const std::string& name) {
        void* address = dlsym(library, name.c_str());
        Dl_info info{};
        return address != nullptr && (dladdr(address, &info) == 0 || info.dli_fbase == own.dli_fbase);
    };
    for (const std::string& name : exported) {
        EXPECT_TRUE(defined.count(name)) << name << " is in the map but defined nowhere";
        EXPECT_TRUE(exportedByIt(name)) << name;
    }
    std::size_t others = 0;
    for (const std::string& name : defined) {
        if (exported.count(name)) continue;
        ++others;
        EXPECT_FALSE(exportedByIt(name)) << name << " is exported";
    }
    EXPECT_GT(others, exported.size());
    dlclose(library);
}

}  // namespace
}  // namespace marlune::testing
