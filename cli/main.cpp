// marlune: copy, convert, salvage and inspect KVRB containers from the shell.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
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
    if (command != "convert" && (settings.dryRun || settings.force)) return "-n and -f are options of convert";
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

// Folders walked and the list read into one list of files; says why when the list cannot be read.
ListRead gather(const Arguments& arguments, const std::vector<std::string>& operands, FileList& list,
                std::string& why) {
    Gathering gathering;
    gathering.recursive = arguments.recursive;
    gathering.followLinks = arguments.followLinks;
    // For the progress line, and for the bounds of the groups that convert and copy make;
    // info would stat each listed file for nothing.
    gathering.sizes = arguments.run.progress || arguments.command != "info";
    for (const std::string& operand : operands) addOperand(list, operand, gathering);
    if (arguments.filesFrom.empty()) return ListRead::done;
    return addFromList(list, arguments.filesFrom, arguments.nul, gathering, why);
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
    const bool copying = arguments.command == "copy" || arguments.command == "salvage";
    FileList list;
    if (copying && !arguments.recursive && arguments.filesFrom.empty()) {
        list.files.push_back(settings.operands[0]);
        const auto command = arguments.command == "copy" ? copyCommand(settings) : salvageCommand(settings);
        return runCommand(list, run, *command);
    }
    if (!arguments.jobsGiven) run.workers = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::string> operands = settings.operands;
    if (copying) {
        operands.pop_back();  // the destination folder
        if (!operands.empty()) {
            const std::string& source = operands[0];
            if (!isFolder(source)) return usageError(arguments.command + " -r: " + source + " is not a folder");
            if (isWithin(settings.operands.back(), source)) {
                return usageError(arguments.command + " -r: the destination lies within " + source);
            }
            settings.sourceFolderLength = joinPath(source, "").size();
        }
    }
    std::string why;
    const ListRead read = gather(arguments, operands, list, why);
    if (read == ListRead::holdsNul) return usageError(why);
    if (read == ListRead::unreadable) {
        std::fprintf(stderr, "marlune: %s\n", why.c_str());
        return exitFailure;
    }
    const std::string& command = arguments.command;
    const auto chosen = copying                ? mirrorCommand(settings, list, command == "salvage")
                        : command == "convert" ? convertCommand(settings, list)
                                               : infoCommand();
    return runCommand(list, run, *chosen);
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
