// marlune: copy, convert, salvage and inspect KVRB containers from the shell.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "help_text.h"

namespace marlune::cli {
namespace {

struct Arguments : Settings, RunSettings {
    std::string command;
    bool help = false;
    bool version = false;
    bool showErrors = false;
    bool nul = false;
    std::string jobs;
    std::string filesFrom;
    std::string maxDeleteText;
};

// An option: its spellings, and the flag it sets (clearing another) or the value it takes.
struct Option {
    const char* shortName;  // "-r"; "" for none
    const char* longName;
    bool Arguments::*flag = nullptr;  // with a value: set when the option is given
    bool Arguments::*clears = nullptr;
    std::string Arguments::*value = nullptr;  // the next word, the rest after "=" (or after a short name)
    const char* valueMissing = nullptr;       // what is wrong without one; null: an empty value is allowed
};

const Option optionTable[] = {
    {"-h", "--help", &Arguments::help},
    {"", "--version", &Arguments::version},
    {"", "--json", &Arguments::json},
    {"-q", "--quiet", &Arguments::quiet, &Arguments::showErrors},
    {"", "--show-errors", &Arguments::showErrors, &Arguments::quiet},
    {"-v", "--verbose", &Arguments::verbose},
    {"-r", "--recursive", &Arguments::recursive},
    {"-L", "--follow-links", &Arguments::followLinks},
    {"-0", "--null", &Arguments::nul},
    {"-n", "--dry-run", &Arguments::dryRun},
    {"-f", "--force", &Arguments::force},
    {"", "--in-place", &Arguments::inPlace},
    {"", "--sync", &Arguments::sync},
    {"", "--kv-names", &Arguments::kvNames},
    {"", "--mirror", &Arguments::mirror},
    {"", "--checksum", &Arguments::checksum},
    {"", "--delete", &Arguments::remove},
    {"", "--delete-from-empty", &Arguments::deleteFromEmpty},
    {"", "--max-delete", nullptr, nullptr, &Arguments::maxDeleteText, "--max-delete takes a number of files from 1 up"},
    {"", "--manifest", nullptr, nullptr, &Arguments::manifest, "--manifest takes a FILE"},
    {"", "--log-all", &Arguments::logAll},
    {"", "--strict", &Arguments::strict},
    {"-j", "--jobs", nullptr, nullptr, &Arguments::jobs, "-j takes a number of files from 1 to 9999"},
    {"", "--files-from", nullptr, nullptr, &Arguments::filesFrom, "--files-from takes a LIST"},
    {"", "--log", nullptr, nullptr, &Arguments::log, "--log takes a FILE"},
    {"", "--failed-list", nullptr, nullptr, &Arguments::failedList, "--failed-list takes a FILE"},
    {"", "--suspect-list", nullptr, nullptr, &Arguments::suspectList, "--suspect-list takes a FILE"},
    {"", "--csv", nullptr, nullptr, &Arguments::csv, "--csv takes a FILE"},
    {"", "--report", nullptr, nullptr, &Arguments::report, "--report takes a FILE"},
    // An empty list is allowed: no extension makes a suspect.
    {"", "--suspect-ext", &Arguments::suspectExtensionsGiven, nullptr, &Arguments::suspectExtensions},
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

bool parseCount(const std::string& text, std::uint64_t& count) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    count = std::stoull(text);
    return count >= 1;
}

// The table's option the word spells, with what follows its name in the word ("=4", "4" of -j4).
const Option* optionOf(const std::string& word, std::string& rest) {
    for (const Option& option : optionTable) {
        for (const std::string name : {option.shortName, option.longName}) {
            if (name.empty() || word.compare(0, name.size(), name) != 0) continue;
            rest = word.substr(name.size());
            if (rest.empty() || (option.value && (rest[0] == '=' || name.size() == 2))) return &option;
        }
    }
    return nullptr;
}

// The value: the rest of the word (--jobs=4, -j4) or the next word. What is wrong, or an empty string.
std::string takeValue(const Option& option, const std::string& rest, const std::vector<std::string>& words,
                      std::size_t& i, Arguments& arguments) {
    std::string& value = arguments.*option.value;
    if (!rest.empty()) {
        value = rest.substr(rest[0] == '=' ? 1 : 0);
    } else if (i + 1 < words.size()) {
        value = words[++i];
    }
    if (option.flag) arguments.*option.flag = true;
    const bool jobsWrong = option.value == &Arguments::jobs && !parseWorkers(value, arguments.workers);
    const bool mostWrong = option.value == &Arguments::maxDeleteText && !parseCount(value, arguments.maxDelete);
    return option.valueMissing && (value.empty() || jobsWrong || mostWrong) ? option.valueMissing : "";
}

// Options may come before or after the command and among its files; "--" ends them.
// Returns an empty string, or what is wrong with the command line.
std::string parse(const std::vector<std::string>& words, Arguments& arguments) {
    bool optionsEnded = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        std::string rest;
        const Option* option = nullptr;
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            if (!arguments.command.empty()) {
                arguments.operands.push_back(word);
            } else if (isCommand(word)) {
                arguments.command = word;
            } else {
                return "unknown command '" + word + "'";
            }
        } else if (word == "--") {
            optionsEnded = true;
        } else if ((option = optionOf(word, rest)) == nullptr) {
            return "unknown option '" + word + "'";
        } else if (option->value) {
            if (std::string wrong = takeValue(*option, rest, words, i, arguments); !wrong.empty()) return wrong;
        } else {
            arguments.*option->flag = true;
            if (option->clears) arguments.*option->clears = false;
        }
    }
    return {};
}

// What is wrong with the options for the command, or an empty string.
std::string misuse(const Arguments& arguments) {
    const std::string& command = arguments.command;
    const Settings& settings = arguments;
    const bool copying = command == "copy" || command == "salvage";
    const bool intoFolder = copying && (arguments.recursive || !arguments.filesFrom.empty());
    const bool many = command == "convert" || command == "info" || command == "verify" || intoFolder;
    if (command.empty()) return "no command given";
    if ((settings.quiet || arguments.showErrors) && command == "info") {
        return "info reports by itself; -q and --show-errors belong to copy, convert and salvage";
    }
    if (!many && (arguments.followLinks || !arguments.jobs.empty() || arguments.nul)) {
        return "-L, -j and -0 work on many files: with convert, info, or copy and salvage with -r or --files-from";
    }
    if (command == "verify") {
        // Taken before, they were dropped without a word: verify reads two named trees, or a manifest and one.
        if (!arguments.filesFrom.empty() || arguments.nul || settings.inPlace) {
            return "verify compares named folders: no --files-from, -0 or --in-place";
        }
        if (settings.quiet || arguments.showErrors) return "verify tells every difference; -q and --show-errors are not its";
        const bool fits = settings.operands.size() == (settings.manifest.empty() ? 2u : 1u);
        return fits ? "" : "verify takes SOURCE_FOLDER DESTINATION_FOLDER, or --manifest FILE DESTINATION_FOLDER";
    }
    // What the options do together is the library's to say (refusal); here only what this command line spells.
    if (copying && settings.mirror && !intoFolder) return "--mirror copies a folder (-r) or a list (--files-from)";
    if (settings.verbose && command != "convert" && !intoFolder) {
        return "-v is an option of convert, and of copy and salvage into a folder";
    }
    if (copying && !intoFolder && settings.kvNames) {
        return "--kv-names names the copies made into a folder (-r, --files-from)";
    }
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

// `-` is standard input (or, as DESTINATION, output) where a stream can stand for a
// file; standard output that holds a copy takes nothing else. An empty string, or
// what is wrong.
std::string streamMisuse(const Arguments& arguments) {
    const std::vector<std::string>& operands = arguments.operands;
    const auto dashes = std::count(operands.begin(), operands.end(), "-");
    if (dashes == 0) return {};
    if (arguments.command == "convert") return "convert takes named files: - (standard input) has no .kv name";
    if (arguments.command == "verify") return "verify compares named folders, not -";
    if (arguments.command != "info" && (arguments.recursive || !arguments.filesFrom.empty())) {
        return arguments.command + " into a folder takes named folders, not -";
    }
    if (arguments.command == "info") {
        return dashes > 1 || arguments.filesFrom == "-" ? "standard input is read once: one - or --files-from -" : "";
    }
    if (operands.back() != "-") return {};
    if (arguments.json) return "--json goes to standard output, which holds the copy when DESTINATION is -";
    if (arguments.inPlace) return "--in-place writes into a DESTINATION file, not standard output";
    return {};
}

std::unique_ptr<Command> commandFor(const Arguments& arguments, bool oneFile) {
    const std::string& command = arguments.command;
    if (command == "verify") return verifyCommand(arguments);
    if (command == "copy" || command == "salvage") return copyCommand(arguments, command == "salvage", oneFile);
    return command == "convert" ? convertCommand(arguments) : infoCommand(arguments);
}

bool oneFile(const Arguments& arguments) {
    const bool copying = arguments.command == "copy" || arguments.command == "salvage";
    return copying && !arguments.recursive && arguments.filesFrom.empty();
}

// The library's sentence for options of the command that do not go together, or an empty string.
std::string refusal(const Arguments& arguments) {
    const marlune_run_options options = commandFor(arguments, oneFile(arguments))->job();
    char sentence[256] = {};  // holds any of the library's
    return marlune_run_check(&options, sentence, sizeof sentence) == MARLUNE_OK ? std::string() : sentence;
}

int run(Arguments& arguments) {
    arguments.progress = isTerminal(stderr);
    const std::string& command = arguments.command;
    const bool copying = command == "copy" || command == "salvage";
    if (oneFile(arguments)) {
        const auto single = commandFor(arguments, true);
        return runCommand({{arguments.operands[0], false, true}}, arguments, *single);
    }
    std::vector<Operand> operands;
    const bool verifying = command == "verify";
    for (const std::string& operand : arguments.operands) {
        operands.push_back({operand, copying || verifying, operand == "-"});
    }
    if (copying || (verifying && operands.size() == 2)) operands.pop_back();  // the destination folder
    std::string why;
    const ListRead read =
        arguments.filesFrom.empty() ? ListRead::done : readList(arguments.filesFrom, arguments.nul, operands, why);
    if (read == ListRead::holdsNul) return usageError(why);
    if (read == ListRead::unreadable) {
        std::fprintf(stderr, "marlune: %s\n", why.c_str());
        return exitFailure;
    }
    return runCommand(operands, arguments, *commandFor(arguments, false));
}

// Output that could not be written (a full disk, a closed pipe) is told by its own status.
int finish(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || outputLost()) {
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
    const std::vector<std::string> words = commandLine(argc, argv);
    const std::string problem = parse(words, arguments);
    for (const std::string& word : words)
        arguments.commandLine += (arguments.commandLine.empty() ? "" : " ") + shown(word);
    // Help and version win over anything else on the line, as people expect.
    if (arguments.help) {
        std::fputs(helpFor(arguments.command), stdout);
        return finish(exitSuccess);
    }
    if (arguments.version) {
        std::printf("marlune %s\n", marlune_version());
        return finish(exitSuccess);
    }
    std::string wrong = problem.empty() ? misuse(arguments) : problem;
    if (wrong.empty()) wrong = streamMisuse(arguments);
    if (wrong.empty()) wrong = refusal(arguments);
    return wrong.empty() ? finish(run(arguments)) : usageError(wrong);
}
