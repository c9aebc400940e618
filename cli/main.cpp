// marlune: copy, convert, salvage and inspect KVRB containers from the shell.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "help_text.h"

namespace marlune::cli {
namespace {

struct Arguments {
    std::string command;
    Settings settings;
    RunSettings run;
    bool help = false;
    bool version = false;
    bool showErrors = false;
    bool recursive = false;
    bool followLinks = false;
    bool nul = false;
    bool jobsGiven = false;
    std::string filesFrom;
};

int usageError(const std::string& problem) {
    std::fprintf(stderr, "marlune: %s\nTry 'marlune --help'.\n", problem.c_str());
    return exitUsage;
}

const char* helpFor(const std::string& command) {
    for (const HelpText& help : helpTexts) {
        if (command == help.command) return help.text;
    }
    return helpTexts[0].text;
}

bool isCommand(const std::string& word) {
    return !word.empty() && std::strcmp(helpFor(word), helpTexts[0].text) != 0;
}

bool parseWorkers(const std::string& text, unsigned& workers) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    workers = static_cast<unsigned>(std::stoul(text));
    return workers >= 1;
}

// Options may come before or after the command and among its files; "--" ends them.
// Returns an empty string, or what is wrong with the command line.
std::string parse(const std::vector<std::string>& words, Arguments& arguments) {
    Settings& settings = arguments.settings;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        const auto startsWith = [&word](const char* start) { return word.rfind(start, 0) == 0; };
        // The value of an option: the rest of the word (--jobs=4, -j4) or the next word.
        const auto value = [&](const char* name, std::string& out) {
            const std::size_t length = std::strlen(name);
            if (word.size() > length) {
                out = word.substr(length + (word[length] == '=' ? 1 : 0));
            } else if (i + 1 < words.size()) {
                out = words[++i];
            } else {
                return false;
            }
            return !out.empty();
        };
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            if (!arguments.command.empty()) {
                settings.operands.push_back(word);
            } else if (isCommand(word)) {
                arguments.command = word;
            } else {
                return "unknown command '" + word + "'";
            }
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "-h" || word == "--help") {
            arguments.help = true;
        } else if (word == "--version") {
            arguments.version = true;
        } else if (word == "--json") {
            arguments.run.json = true;
        } else if (word == "-q" || word == "--quiet" || word == "--show-errors") {
            settings.quiet = word != "--show-errors";
            arguments.showErrors = !settings.quiet;
        } else if (word == "-v" || word == "--verbose") {
            settings.verbose = true;
        } else if (word == "-r" || word == "--recursive") {
            arguments.recursive = true;
        } else if (word == "-L" || word == "--follow-links") {
            arguments.followLinks = true;
        } else if (word == "-0" || word == "--null") {
            arguments.nul = true;
        } else if (word == "-n" || word == "--dry-run") {
            settings.dryRun = true;
        } else if (word == "-f" || word == "--force") {
            settings.force = true;
        } else if (word == "--in-place") {
            settings.inPlace = true;
        } else if (word == "--sync") {
            settings.sync = true;
        } else if (word == "--mirror" || word == "--checksum" || word == "--delete") {
            (word == "--mirror" ? settings.mirror : word == "--delete" ? settings.remove : settings.checksum) = true;
        } else if (startsWith("--manifest")) {
            if (!value("--manifest", settings.manifest)) return "--manifest takes a FILE";
        } else if (word == "--kv-names") {
            settings.kvNames = true;
        } else if (startsWith("--jobs") || startsWith("-j")) {
            std::string text;
            if (!value(startsWith("--jobs") ? "--jobs" : "-j", text) || !parseWorkers(text, arguments.run.workers)) {
                return "-j takes a number of files from 1 to 9999";
            }
            arguments.jobsGiven = true;
        } else if (startsWith("--files-from")) {
            if (!value("--files-from", arguments.filesFrom)) return "--files-from takes a LIST";
        } else if (startsWith("--log")) {
            if (!value("--log", arguments.run.log)) return "--log takes a FILE";
        } else {
            return "unknown option '" + word + "'";
        }
    }
    return {};
}

// What is wrong with the options for the command, or an empty string.
std::string misuse(const Arguments& arguments) {
    const std::string& command = arguments.command;
    const Settings& settings = arguments.settings;
    const bool copying = command == "copy" || command == "salvage";
    const bool intoFolder = copying && (arguments.recursive || !arguments.filesFrom.empty());
    const bool many = command == "convert" || command == "info" || intoFolder;
    if (command.empty()) return "no command given";
    if ((settings.quiet || arguments.showErrors) && command == "info") {
        return "info reports by itself; -q and --show-errors belong to copy, convert and salvage";
    }
    if (!many && (arguments.followLinks || arguments.jobsGiven || arguments.nul)) {
        return "-L, -j and -0 work on many files: with convert, info, or copy and salvage with -r or --files-from";
    }
    if (command == "verify") {
        const bool fits = settings.operands.size() == (settings.manifest.empty() ? 2u : 1u);
        return fits ? "" : "verify takes SOURCE_FOLDER DESTINATION_FOLDER, or --manifest FILE DESTINATION_FOLDER";
    }
    const bool mirrorOnly = settings.checksum || settings.remove || !settings.manifest.empty();
    if ((mirrorOnly && !settings.mirror) || (settings.mirror && (!intoFolder || settings.kvNames)))
        return "--checksum, --delete and --manifest need --mirror, which copies a folder (-r) under its own names";
    if (command != "convert" && (settings.force || (settings.dryRun && !settings.mirror))) {
        return "-n is an option of convert and of copy --mirror, -f of convert";
    }
    if (settings.verbose && command != "convert" && !intoFolder) {
        return "-v is an option of convert, and of copy and salvage into a folder";
    }
    if (!copying && settings.sync) return "--sync is an option of copy and salvage";
    if (!intoFolder && settings.kvNames) return "--kv-names names the copies made into a folder (-r, --files-from)";
    if (settings.inPlace && (command != "copy" || intoFolder)) return "--in-place is an option of copy of one file";
    if (arguments.nul && arguments.filesFrom.empty()) return "-0 needs --files-from";
    if (arguments.followLinks && !arguments.recursive) return "-L needs -r";
    if (intoFolder && arguments.filesFrom.empty() && settings.operands.size() != 2) {
        return command + " -r takes a SOURCE_FOLDER and a DESTINATION_FOLDER";
    }
    if (intoFolder && !arguments.filesFrom.empty() && settings.operands.size() != 1) {
        return command + " --files-from LIST takes a DESTINATION_FOLDER";
    }
    if (copying && !intoFolder && settings.operands.size() != 2) return command + " takes a SOURCE and a DESTINATION";
    if (settings.operands.empty() && arguments.filesFrom.empty()) return command + " needs at least one FILE";
    return {};
}

enum class ListRead { done, unreadable, holdsNul };

// Reads names from `listPath` ("-": standard input), one a line (a CR before the
// line's end dropped) or NUL-separated. A list of lines that holds a NUL is
// refused whole (holdsNul): its names were meant for -0, and half a run is worse
// than none. Says why when the list cannot be read.
ListRead readList(const std::string& listPath, bool nulSeparated, std::vector<Operand>& names, std::string& why) {
    std::FILE* const file = openForReading(listPath);
    if (file == nullptr) {
        why = "cannot open the list " + listPath;
        return ListRead::unreadable;
    }
    const char end = nulSeparated ? '\0' : '\n';
    std::string name;
    bool holdsNul = false;
    const auto take = [&] {
        // A list written on Windows ends its lines with CR LF.
        if (!nulSeparated && !name.empty() && name.back() == '\r') name.pop_back();
        if (!name.empty()) names.push_back({name});
        name.clear();
    };
    int c = 0;
    while ((c = std::getc(file)) != EOF) {
        if (static_cast<char>(c) == end) {
            take();
        } else {
            holdsNul = holdsNul || c == 0;
            name += static_cast<char>(c);
        }
    }
    take();
    const bool failed = std::ferror(file) != 0;
    if (file != stdin) std::fclose(file);
    if (failed) {
        why = "reading the list " + listPath + " failed";
        return ListRead::unreadable;
    }
    if (holdsNul) {
        why = "the list " + listPath + " holds NUL bytes: a list of NUL-ended names needs -0";
        return ListRead::holdsNul;
    }
    return ListRead::done;
}

// `-` is standard input (or, as DESTINATION, output) where a stream can stand for a
// file; standard output that holds a copy takes nothing else. An empty string, or
// what is wrong.
std::string streamMisuse(const Arguments& arguments) {
    const std::vector<std::string>& operands = arguments.settings.operands;
    const auto dashes = std::count(operands.begin(), operands.end(), "-");
    if (dashes == 0) return {};
    if (arguments.command == "convert") return "convert takes named files: - (standard input) has no .kv name";
    if (arguments.command != "info" && (arguments.recursive || !arguments.filesFrom.empty())) {
        return arguments.command + " into a folder takes named folders, not -";
    }
    if (arguments.command == "info") {
        return dashes > 1 || arguments.filesFrom == "-" ? "standard input is read once: one - or --files-from -" : "";
    }
    if (operands.back() != "-") return {};
    if (arguments.run.json) return "--json goes to standard output, which holds the copy when DESTINATION is -";
    if (arguments.settings.inPlace) return "--in-place writes into a DESTINATION file, not standard output";
    return {};
}

int run(Arguments& arguments) {
    Settings& settings = arguments.settings;
    RunSettings& run = arguments.run;
    run.progress = isTerminal(stderr);
    settings.recursive = arguments.recursive;
    settings.followLinks = arguments.followLinks;
    const std::string& command = arguments.command;
    const bool copying = command == "copy" || command == "salvage";
    if (copying && !arguments.recursive && arguments.filesFrom.empty()) {
        const auto single = copyCommand(settings, command == "salvage");
        return runCommand({{settings.operands[0], false, true}}, run, *single);
    }
    std::vector<Operand> operands;
    for (const std::string& operand : settings.operands)
        operands.push_back({operand, copying || command == "verify", operand == "-"});
    if (copying || (command == "verify" && operands.size() == 2)) operands.pop_back();  // the destination folder
    std::string why;
    const ListRead read =
        arguments.filesFrom.empty() ? ListRead::done : readList(arguments.filesFrom, arguments.nul, operands, why);
    if (read == ListRead::holdsNul) return usageError(why);
    if (read == ListRead::unreadable) {
        std::fprintf(stderr, "marlune: %s\n", why.c_str());
        return exitFailure;
    }
    const auto chosen = command == "verify"    ? verifyCommand(settings)
                        : copying              ? mirrorCommand(settings, command == "salvage")
                        : command == "convert" ? convertCommand(settings)
                                               : infoCommand(settings);
    return runCommand(operands, run, *chosen);
}

// Output that could not be written (a full disk, a closed pipe) is told by its own status.
int finish(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("marlune: cannot write the output\n", stderr);
        return exitOutputClosed;
    }
    return status;
}

}  // namespace
}  // namespace marlune::cli

int main(int argc, char** argv) {
    using namespace marlune::cli;
    const Utf8Console console;
    ignoreClosedPipes();
    Arguments arguments;
    const std::string problem = parse(commandLine(argc, argv), arguments);
    // Help and version win over anything else on the line, as people expect.
    if (arguments.help) {
        std::fputs(helpFor(arguments.command), stdout);
        return finish(exitSuccess);
    }
    if (arguments.version) {
        std::printf("marlune %s\n", marlune_version());
        return finish(exitSuccess);
    }
    if (!problem.empty()) return usageError(problem);
    const std::string wrong = misuse(arguments);
    if (!wrong.empty()) return usageError(wrong);
    const std::string streams = streamMisuse(arguments);
    if (!streams.empty()) return usageError(streams);
    return finish(run(arguments));
}
