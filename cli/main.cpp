// marlune: copy, convert and inspect KVRB containers from the shell.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "console.h"

namespace marlune::cli {
namespace {

constexpr const char* generalHelp =
    "Usage: marlune COMMAND [OPTION]... FILE...\n"
    "Copy, convert and inspect KVRB audio containers with the Marlune library.\n"
    "\n"
    "Commands:\n"
    "  copy SOURCE DESTINATION  copy a container, as KVRBinfo does\n"
    "  convert FILE...          convert each FILE to a .kv file beside it and remove\n"
    "                           FILE once converted, as IKVRBinfo does\n"
    "  info [--json] FILE...    tell whether each FILE is a complete container\n"
    "\n"
    "Options:\n"
    "  -q, --quiet        copy says nothing of a failure, convert only which file\n"
    "                     failed\n"
    "      --show-errors  say why each failure happened (the default)\n"
    "  -h, --help         show this help; `marlune COMMAND --help` shows a command's\n"
    "      --version      show the version\n"
    "\n"
    "Exit status: 0 on success, 1 when a copy or conversion failed or a file is not\n"
    "a complete container, 2 on a usage error.\n";

constexpr const char* copyHelp =
    "Usage: marlune copy [-q | --show-errors] SOURCE DESTINATION\n"
    "Copy the KVRB container SOURCE to DESTINATION, creating or truncating it.\n"
    "In a container whose lengthMode selects fixed-length chunks every chunk gets a\n"
    "330-byte payload and the length field 330; anything else is copied as it is.\n"
    "A failed copy is told on standard error, with the reason; it leaves DESTINATION\n"
    "holding the header, preamble and complete chunks copied before the failure.\n"
    "\n"
    "Exit status: 0 when copied, 1 when not, 2 on a usage error.\n";

constexpr const char* convertHelp =
    "Usage: marlune convert [-q | --show-errors] FILE...\n"
    "Convert each FILE to the .kv file beside it (its extension replaced by .kv) and\n"
    "remove FILE once the copy is complete. A FILE whose name ends in .kv is left\n"
    "alone. Goes on after a failure: each file that failed gets one line on standard\n"
    "error, and a closing summary counts the files converted, left alone and failed.\n"
    "On a terminal, a progress line shows while more than a handful are converted.\n"
    "\n"
    "Exit status: 0 when no file failed, 1 when one did, 2 on a usage error.\n";

constexpr const char* infoHelp =
    "Usage: marlune info [--json] FILE...\n"
    "Read each FILE, without changing it, as a copy would: its magic, lengthMode and\n"
    "the chunk lengths it selects, dataOffset and the preamble's size, the complete\n"
    "chunks and their payload bytes, and whether the container is complete; when it\n"
    "is not, why and where it falls short.\n"
    "\n"
    "  --json  one JSON object per file (an array of them for several files)\n"
    "\n"
    "Exit status: 0 when every FILE is a complete container, 1 otherwise, 2 on a\n"
    "usage error.\n";

struct Arguments {
    std::string command;
    std::vector<std::string> operands;
    bool help = false;
    bool version = false;
    bool json = false;
    bool quiet = false;
    bool showErrors = false;
};

int usageError(const std::string& problem) {
    std::fprintf(stderr, "marlune: %s\nTry 'marlune --help'.\n", problem.c_str());
    return exitUsage;
}

bool isCommand(std::string_view word) {
    return word == "copy" || word == "convert" || word == "info";
}

// Options may come before or after the command and among its files; "--" ends them.
// Returns an empty string, or what is wrong with the command line.
std::string parse(int argc, char** argv, Arguments& arguments) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (!optionsEnded && word.size() > 1 && word[0] == '-') {
            if (word == "--") {
                optionsEnded = true;
            } else if (word == "-h" || word == "--help") {
                arguments.help = true;
            } else if (word == "--version") {
                arguments.version = true;
            } else if (word == "--json") {
                arguments.json = true;
            } else if (word == "-q" || word == "--quiet") {
                arguments.quiet = true;
                arguments.showErrors = false;
            } else if (word == "--show-errors") {
                arguments.showErrors = true;
                arguments.quiet = false;
            } else {
                return "unknown option '" + std::string(word) + "'";
            }
        } else if (arguments.command.empty()) {
            if (!isCommand(word)) return "unknown command '" + std::string(word) + "'";
            arguments.command = word;
        } else {
            arguments.operands.emplace_back(word);
        }
    }
    return {};
}

const char* helpFor(const std::string& command) {
    if (command == "copy") return copyHelp;
    if (command == "convert") return convertHelp;
    if (command == "info") return infoHelp;
    return generalHelp;
}

int run(const Arguments& arguments) {
    const std::string& command = arguments.command;
    if (command.empty()) return usageError("no command given");
    if (arguments.json && command != "info") return usageError("--json is an option of info only");
    if ((arguments.quiet || arguments.showErrors) && command == "info") {
        return usageError("info reports by itself; -q and --show-errors belong to copy and convert");
    }
    if (command == "copy" && arguments.operands.size() != 2) {
        return usageError("copy takes a SOURCE and a DESTINATION");
    }
    if (arguments.operands.empty()) return usageError(command + " needs at least one FILE");

    const Reporting reporting{!arguments.quiet || arguments.showErrors};

    if (command == "copy") return copyCommand(arguments.operands[0], arguments.operands[1], reporting);
    if (command == "convert") return convertCommand(arguments.operands, reporting);
    return infoCommand(arguments.operands, arguments.json);
}

// Output that could not be written (a full disk, a closed pipe) is a failure too.
int finish(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("marlune: cannot write the output\n", stderr);
        return status == exitSuccess ? exitFailure : status;
    }
    return status;
}

}  // namespace
}  // namespace marlune::cli

int main(int argc, char** argv) {
    using namespace marlune::cli;
    Arguments arguments;
    const std::string problem = parse(argc, argv, arguments);
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
    return finish(run(arguments));
}
