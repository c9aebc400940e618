// --files-from: the names of a list, as the engine takes them.
#include <cstdio>

#include "commands.h"
#include "console.h"

namespace marlune::cli {

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

}  // namespace marlune::cli
