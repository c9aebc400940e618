// Marlune.dll as a Windows host sees it: loaded with LoadLibraryA from the
// program's folder and called through GetProcAddress, by name and by ordinal.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <type_traits>

#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {
namespace {

// The types a host declares for itself, not taken from marlune.h.
#ifdef _WIN64
using CopyFunction = std::int32_t (*)(const char*, const char*, std::int32_t);
using ConvertFunction = std::int32_t (*)(std::int32_t, const std::int32_t*, const char*);
#else
using CopyFunction = std::int32_t(__stdcall*)(const char*, const char*, std::int32_t);
using ConvertFunction = std::int32_t(__stdcall*)(std::int32_t, const std::int32_t*, const char*);
#endif
static_assert(std::is_same_v<CopyFunction, decltype(&KVRBinfo)>, "marlune.h declares what hosts call");
static_assert(std::is_same_v<ConvertFunction, decltype(&IKVRBinfo)>, "marlune.h declares what hosts call");

class Library {
public:
    Library() : module_(LoadLibraryA("Marlune.dll")) {}
    ~Library() {
        if (module_) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    HMODULE module() const { return module_; }
    FARPROC byName(const char* name) const { return GetProcAddress(module_, name); }
    FARPROC byOrdinal(WORD ordinal) const { return GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)); }
    CopyFunction copy() const { return reinterpret_cast<CopyFunction>(byName("KVRBinfo")); }
    ConvertFunction convert() const { return reinterpret_cast<ConvertFunction>(byName("IKVRBinfo")); }

private:
    HMODULE module_;
};

TEST(Win32Host, FindsEveryFunctionByNameAndByOrdinalAndNothingElse) {
    Library library;
    ASSERT_NE(library.module(), nullptr) << GetLastError();
    struct Export {
        const char* name;
        WORD ordinal;
    };
    // The library's one list of exports, as CMake made it.
    const Export exports[] = {
#include "marlune_exports.inc"
    };
    for (const Export& each : exports) {
        ASSERT_NE(library.byName(each.name), nullptr) << each.name;
        EXPECT_EQ(library.byOrdinal(each.ordinal), library.byName(each.name)) << each.name;
    }
    ASSERT_GT(std::size(exports), 2u);  // the list was read
    // No ordinal the list does not hold, up to one past its last (ordinals held for later stay empty).
    WORD last = 0;
    for (const Export& each : exports) last = std::max(last, each.ordinal);
    for (WORD ordinal = 1; ordinal <= last + 1; ++ordinal) {
        const bool listed = std::any_of(std::begin(exports), std::end(exports),
                                        [ordinal](const Export& each) { return each.ordinal == ordinal; });
        if (!listed) EXPECT_EQ(library.byOrdinal(ordinal), nullptr) << ordinal;
    }
    using VersionFunction = const char*(MARLUNE_CALL*)();
    EXPECT_STREQ(reinterpret_cast<VersionFunction>(library.byName("marlune_version"))(), "1.0.0");
    for (const char* other : {"_KVRBinfo@12", "KVRBinfo@12", "kvrbinfo", "DllMain", "_ZN7marlune11moduleStateEv", "marlune_copy@16"}) {
        EXPECT_EQ(library.byName(other), nullptr) << other;
    }
}

#if defined(__i386__)
// Pushes three arguments, calls `function` and gives how many bytes of them are
// still on the stack afterwards: 0 for a function that pops its own (__stdcall).
std::intptr_t bytesLeftOnStack(FARPROC function, std::intptr_t a, std::intptr_t b, std::intptr_t c) {
    const std::intptr_t call[4] = {a, b, c, reinterpret_cast<std::intptr_t>(function)};
    std::intptr_t left = 0;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl 8(%1)\n\t"
        "pushl 4(%1)\n\t"
        "pushl (%1)\n\t"
        "call *12(%1)\n\t"
        "subl %%esp, %%esi\n\t"
        "addl %%esi, %%esp\n\t"
        : "=&S"(left)
        : "r"(call)
        : "eax", "ecx", "edx", "memory", "cc");
    return left;
}

TEST(Win32Host, BothFunctionsPopTheirThreeArguments) {
    Library library;
    ASSERT_NE(library.module(), nullptr);
    const std::int32_t quiet = 0;
    const char* converted = "a.kv";
    EXPECT_EQ(bytesLeftOnStack(library.byOrdinal(1), reinterpret_cast<std::intptr_t>("absent-source"),
                               reinterpret_cast<std::intptr_t>("absent-destination"), 0),
              0);
    EXPECT_EQ(bytesLeftOnStack(library.byOrdinal(2), 7, reinterpret_cast<std::intptr_t>(&quiet),
                               reinterpret_cast<std::intptr_t>(converted)),
              0);
}
#endif

// A caller whose idea of the convention were wrong would lose or gain 12 bytes of
// stack on every call: thousands of calls would not come back alive.
TEST(Win32Host, ManyCallsThroughThePointerTypesComeBackWithTheirResults) {
    Library library;
    const CopyFunction copy = library.copy();
    const ConvertFunction convert = reinterpret_cast<ConvertFunction>(library.byOrdinal(2));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(convert, nullptr);
    const std::int32_t quiet = 0;
    int wrong = 0;
    for (int i = 0; i < 20000; ++i) {
        if (copy("", "out.kv", 0) != 0) ++wrong;
        if (convert(i, &quiet, "done.kv") != -1) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
}

TEST(Win32Host, CopiesAndConvertsWithoutLeakingHandles) {
    Library library;
    const CopyFunction copy = library.copy();
    const ConvertFunction convert = library.convert();
    ASSERT_NE(copy, nullptr);
    TempDir dir;
    const Bytes bytes = KvrbBuilder().preamble(3).chunk(9).build();
    const std::int32_t quiet = 0;
    int wrong = 0;
    const auto round = [&] {
        writeFile(dir.path("a.snd"), bytes);
        wrong += copy(dir.path("a.snd").c_str(), dir.path("b.kv").c_str(), 0) != 1;
        wrong += copy(dir.path("missing").c_str(), dir.path("b.kv").c_str(), 0) != 0;
        wrong += copy(dir.path("a.snd").c_str(), dir.path("A.SND").c_str(), 0) != 0;
        wrong += copy(dir.path("a.snd").c_str(), dir.path("no\\folder.kv").c_str(), 0) != 0;
        wrong += convert(0, &quiet, dir.path("a.snd").c_str()) != -1;
        wrong += readFile(dir.path("a.kv")) != bytes || fileExists(dir.path("a.snd"));
    };
    round();  // whatever the system sets up once, on first use, is not a leak
    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int i = 0; i < 50; ++i) round();
    EXPECT_EQ(wrong, 0);
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

TEST(Win32Host, LoadingAddsTheTwoErrorModeFlagsAndKeepsTheHostsOwn) {
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    ASSERT_EQ(GetModuleHandleA("Marlune.dll"), nullptr);  // not loaded yet: the flags come from loading
    Library library;
    ASSERT_NE(library.module(), nullptr);
    EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS |
                                                 SEM_NOOPENFILEERRORBOX));
}

TEST(Win32Host, WorksAgainAfterBeingUnloadedAndLoadedAgain) {
    TempDir dir;
    const Bytes bytes = KvrbBuilder().lengthMode(0).chunk(12, 330).build();
    writeFile(dir.path("in.snd"), bytes);
    for (int round = 0; round < 3; ++round) {
        Library library;
        ASSERT_NE(library.copy(), nullptr) << round;
        EXPECT_EQ(library.copy()(dir.path("in.snd").c_str(), dir.path("out.kv").c_str(), 0), 1) << round;
        EXPECT_EQ(readFile(dir.path("out.kv")), KvrbBuilder().lengthMode(0).chunk(330).build()) << round;
    }
}

}  // namespace
}  // namespace marlune::testing
