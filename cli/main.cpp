// marlune: copy, convert, salvage and inspect KVRB containers from the shell.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "console.h"
#include "files.h"

namespace marlune::cli {
namespace {

constexpr const char* generalHelp =
    "Usage: marlune COMMAND [OPTION]... FILE...\n"
    "Copy, convert, salvage and inspect KVRB audio containers with the Marlune library.\n"
    "\n"
    "Commands:\n"
    "  copy SOURCE DESTINATION     copy a container; DESTINATION is replaced only once\n"
    "                              the copy is complete\n"
    "  convert FILE|FOLDER...      convert each FILE to a .kv file beside it and remove\n"
    "                              FILE once converted, as IKVRBinfo does; an existing\n"
    "                              .kv file is kept unless --force\n"
    "  salvage SOURCE DESTINATION  copy the whole chunks of a container cut short, and\n"
    "                              say what was lost\n"
    "  info FILE|FOLDER...         tell whether each FILE is a complete container\n"
    "\n"
    "Options (see `marlune COMMAND --help` for which command takes which):\n"
    "  -r, --recursive        walk the folders given (convert, info)\n"
    "  -L, --follow-links     walk symbolic links to folders too\n"
    "  -j, --jobs N           work on N files at once (default: the processors)\n"
    "      --files-from LIST  also take the files named in LIST, one a line; - reads\n"
    "                         standard input\n"
    "  -0, --null             names in LIST end with NUL, as find -print0 writes\n"
    "  -n, --dry-run          convert: say what would be done, write nothing\n"
    "  -f, --force            convert: replace an existing .kv once the new is complete\n"
    "      --in-place         copy: write into DESTINATION itself, as KVRBinfo does\n"
    "      --json             one JSON object a line for each file, then a summary\n"
    "  -v, --verbose          convert: a line for every file, not only for problems\n"
    "  -q, --quiet            a failure's line says only which file failed\n"
    "      --show-errors      say why each failure happened (the default)\n"
    "  -h, --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "Exit status: 0 on success, 1 when a file failed, 2 on a usage error, 130 when\n"
    "stopped by Ctrl-C, 141 when standard output could not be written (a closed\n"
    "pipe, as after | head: the work in progress is abandoned as by Ctrl-C).\n";

constexpr const char* copyHelp =
    "Usage: marlune copy [--in-place] [--json] [-q] SOURCE DESTINATION\n"
    "Copy the KVRB container SOURCE to DESTINATION. In a container whose lengthMode\n"
    "selects fixed-length chunks every chunk gets a 330-byte payload and the length\n"
    "field 330; anything else is copied as it is.\n"
    "The copy is written beside DESTINATION and moved over it once complete: a\n"
    "failed copy leaves an existing DESTINATION as it was and no partial file.\n"
    "\n"
    "  --in-place  write into DESTINATION itself, created or truncated, as KVRBinfo\n"
    "              does: a failed copy leaves the header, preamble and whole chunks\n"
    "              copied before the failure there\n"
    "  --json      one JSON object for the file, then a summary object\n"
    "  -q          say nothing of a failure\n"
    "\n"
    "Exit status: 0 when copied, 1 when not, 2 on a usage error, 141 when standard\n"
    "output could not be written.\n";

constexpr const char* convertHelp =
    "Usage: marlune convert [OPTION]... FILE|FOLDER...\n"
    "Convert each FILE to the .kv file beside it (its extension replaced by .kv) and\n"
    "remove FILE once the copy and its name are on stable storage. A FILE whose name\n"
    "ends in .kv is left alone; a file that is no container is skipped; an existing\n"
    ".kv file is kept (and told) unless --force. Goes on after a failure: a failed\n"
    "conversion keeps FILE and leaves nothing at its .kv name.\n"
    "Two files of the run with one .kv name (a.snd, a.wav), or one file named twice,\n"
    "are found before any work: the first is converted, the others left and told.\n"
    "A partial file that a crash left (*.marlune-partial) is removed unless a\n"
    "conversion still writes it; a FILE whose .kv holds its conversion already (a\n"
    "crash came before FILE was removed) is removed and told as finished.\n"
    "\n"
    "  -r, --recursive        walk FOLDERs, in name order; links to folders are not\n"
    "                         walked unless -L\n"
    "  -L, --follow-links     walk links to folders (each folder once)\n"
    "  -j, --jobs N           convert N files at once (default: the processors)\n"
    "      --files-from LIST  convert the files named in LIST (- : standard input)\n"
    "  -0, --null             names in LIST end with NUL (find -print0); a LIST of\n"
    "                         lines that holds a NUL is refused\n"
    "  -n, --dry-run          say what would be converted, skipped, kept or refused,\n"
    "                         and why, without writing anything\n"
    "  -f, --force            replace an existing .kv, once the new one is complete\n"
    "      --json             one JSON object a line for each file, then a summary\n"
    "  -v, --verbose          a line for every file on standard output\n"
    "  -q, --quiet            a failure's line says only `not converted`\n"
    "\n"
    "Each failure and each kept .kv gets a line on standard error; a summary on\n"
    "standard output counts every outcome, with bytes, time and throughput. On a\n"
    "terminal a progress line shows files and bytes done, rate and time left.\n"
    "Ctrl-C stops cleanly: files in progress are abandoned as failures are.\n"
    "\n"
    "Exit status: 0 when no file failed or collided, 1 when one did, 2 on a usage\n"
    "error, 130 when stopped by Ctrl-C, 141 when standard output could not be\n"
    "written (a closed pipe: stopped as by Ctrl-C).\n";

constexpr const char* salvageHelp =
    "Usage: marlune salvage [--json] [-q] SOURCE DESTINATION\n"
    "Copy a container whose chunks are cut short (a recorder that died) to\n"
    "DESTINATION: its header, its preamble and every whole chunk, a complete\n"
    "container (fixed-length chunks get 330 as a copy gives them), and say exactly\n"
    "what was lost: the piece cut short, its offset, its expected and missing bytes.\n"
    "A complete SOURCE is copied as it is. A file that is no container, or whose\n"
    "header or preamble is cut short, cannot be salvaged. DESTINATION is written\n"
    "beside and moved into place once complete.\n"
    "\n"
    "  --json  one JSON object for the file, then a summary object\n"
    "  -q      say nothing of a failure\n"
    "\n"
    "Exit status: 0 when salvaged or copied, 1 when not, 2 on a usage error, 141\n"
    "when standard output could not be written.\n";

constexpr const char* infoHelp =
    "Usage: marlune info [OPTION]... FILE|FOLDER...\n"
    "Read each FILE, without changing it, as a copy would: its magic, lengthMode and\n"
    "the chunk lengths it selects, dataOffset and the preamble's size, the complete\n"
    "chunks and their payload bytes, and whether the container is complete; when it\n"
    "is not, why and where it falls short. A file that is no container is told, and\n"
    "counted as skipped.\n"
    "\n"
    "  -r, --recursive        walk FOLDERs, in name order\n"
    "  -L, --follow-links     walk links to folders too\n"
    "  -j, --jobs N           read N files at once (default: the processors)\n"
    "      --files-from LIST  read the files named in LIST (- : standard input)\n"
    "  -0, --null             names in LIST end with NUL (find -print0)\n"
    "      --json             one JSON object a line for each file, then a summary\n"
    "\n"
    "Exit status: 0 when every container is complete, 1 otherwise, 2 on a usage\n"
    "error, 130 when stopped by Ctrl-C, 141 when standard output could not be\n"
    "written (the files in progress are abandoned).\n";

struct Arguments {
    std::string command;
    Settings settings;
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

bool isCommand(std::string_view word) {
    return word == "copy" || word == "convert" || word == "info" || word == "salvage";
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
        // The value of an option: the rest of the word (--jobs=4, -j4) or the next word.
        const auto value = [&](const std::string& name, std::string& out) {
            if (word.size() > name.size()) {
                out = word.substr(name.size() + (word[name.size()] == '=' ? 1 : 0));
                return true;
            }
            if (i + 1 >= words.size()) return false;
            out = words[++i];
            return true;
        };
        const auto startsWith = [&word](const char* start) { return word.rfind(start, 0) == 0; };
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            if (arguments.command.empty()) {
                if (!isCommand(word)) return "unknown command '" + word + "'";
                arguments.command = word;
            } else {
                settings.operands.push_back(word);
            }
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "-h" || word == "--help") {
            arguments.help = true;
        } else if (word == "--version") {
            arguments.version = true;
        } else if (word == "--json") {
            settings.json = true;
        } else if (word == "-q" || word == "--quiet") {
            settings.quiet = true;
            arguments.showErrors = false;
        } else if (word == "--show-errors") {
            arguments.showErrors = true;
            settings.quiet = false;
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
        } else if (startsWith("--jobs") || startsWith("-j")) {
            std::string text;
            const bool given = value(startsWith("--jobs") ? "--jobs" : "-j", text);
            if (!given || !parseWorkers(text, settings.workers)) return "-j takes a number of files from 1 to 9999";
            arguments.jobsGiven = true;
        } else if (startsWith("--files-from")) {
            if (!value("--files-from", arguments.filesFrom) || arguments.filesFrom.empty()) {
                return "--files-from takes a LIST";
            }
        } else {
            return "unknown option '" + word + "'";
        }
    }
    return {};
}

const char* helpFor(const std::string& command) {
    if (command == "copy") return copyHelp;
    if (command == "convert") return convertHelp;
    if (command == "salvage") return salvageHelp;
    if (command == "info") return infoHelp;
    return generalHelp;
}

// What is wrong with the options for the command, or an empty string.
std::string misuse(const Arguments& arguments) {
    const std::string& command = arguments.command;
    const Settings& settings = arguments.settings;
    const bool batch = command == "convert" || command == "info";
    const bool pair = command == "copy" || command == "salvage";
    if (command.empty()) return "no command given";
    if ((settings.quiet || arguments.showErrors) && command == "info") {
        return "info reports by itself; -q and --show-errors belong to copy, convert and salvage";
    }
    if (!batch && (arguments.recursive || arguments.followLinks || arguments.jobsGiven ||
                   !arguments.filesFrom.empty() || arguments.nul)) {
        return "-r, -L, -j, --files-from and -0 are options of convert and info";
    }
    if (command != "convert" && (settings.dryRun || settings.force || settings.verbose)) {
        return "-n, -f and -v are options of convert";
    }
    if (command != "copy" && settings.inPlace) return "--in-place is an option of copy";
    if (arguments.nul && arguments.filesFrom.empty()) return "-0 needs --files-from";
    if (arguments.followLinks && !arguments.recursive) return "-L needs -r";
    if (pair && settings.operands.size() != 2) return command + " takes a SOURCE and a DESTINATION";
    if (settings.operands.empty() && arguments.filesFrom.empty()) return command + " needs at least one FILE";
    return {};
}

int run(Arguments& arguments) {
    Settings& settings = arguments.settings;
    settings.progress = isTerminal(stderr);
    if (arguments.command == "copy") return copyCommand(settings);
    if (arguments.command == "salvage") return salvageCommand(settings);

    if (!arguments.jobsGiven) settings.workers = std::max(1u, std::thread::hardware_concurrency());
    Gathering gathering;
    gathering.recursive = arguments.recursive;
    gathering.followLinks = arguments.followLinks;
    gathering.sizes = settings.progress;
    FileList list;
    for (const std::string& operand : settings.operands) addOperand(list, operand, gathering);
    if (!arguments.filesFrom.empty()) {
        std::string why;
        const ListRead read = addFromList(list, arguments.filesFrom, arguments.nul, gathering, why);
        if (read == ListRead::holdsNul) return usageError(why);
        if (read == ListRead::unreadable) {
            std::fprintf(stderr, "marlune: %s\n", why.c_str());
            return exitFailure;
        }
    }
    if (arguments.command == "convert") return convertCommand(list, settings);
    return infoCommand(list, settings);
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
        std::fputs("marlune " MARLUNE_VERSION "\n", stdout);
        return finish(exitSuccess);
    }
    if (!problem.empty()) return usageError(problem);
    const std::string wrong = misuse(arguments);
    if (!wrong.empty()) return usageError(wrong);
    return finish(run(arguments));
}
