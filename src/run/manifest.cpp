#include "run/manifest.h"

#include "boundary/operations.h"
#include "run/paths.h"

namespace marlune::run {
namespace {

bool isHex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

// As coreutils writes a name that holds a backslash, a line feed or a carriage
// return: those three escaped, and the line marked by a leading backslash. A raw
// CR at a name's end would be taken for part of a CRLF line break.
std::string manifestLine(const std::string& hex, const std::string& relative) {
    std::string name;
    bool escaped = false;
    for (const char c : relative) {
        if (c == '\n' || c == '\r') {
            name += c == '\n' ? "\\n" : "\\r";
            escaped = true;
        } else if (c == '\\' && platform::pathSeparator != '\\') {
            name += "\\\\";
            escaped = true;
        } else {
            name += isSeparator(c) ? '/' : c;
        }
    }
    return (escaped ? "\\" : "") + hex + "  " + name + "\n";
}

Manifest::~Manifest() {
    abandon();
}

void Manifest::abandon() {
    failed_ = true;
    pending_.clear();
    if (!file_.isOpen()) return;
    file_.close();
    os_.deleteFile(partialName_.c_str());
}

bool Manifest::add(const std::string& hex, const std::string& relative) {
    if (failed_) return false;
    pending_ += manifestLine(hex, relative);
    return pending_.size() < (64u << 10) || flush();
}

bool Manifest::flush() {
    platform::Os& os = os_;
    if (!file_.isOpen() && !failed_) {
        partialName_ = partialNameFor(path_, 0);
        if (!file_.createNew(os, partialName_.c_str())) {
            error_ = file_.error();
            failed_ = true;
        } else {
            os.markInUse(file_.handle());
        }
    }
    if (!failed_ && !file_.write(pending_.data(), pending_.size())) {
        error_ = file_.error();
        failed_ = true;
    }
    pending_.clear();
    return !failed_;
}

bool Manifest::finish(int& error) {
    platform::Os& os = os_;
    const bool moved = flush() && file_.sync() && os.move(file_.handle(), partialName_.c_str(), path_.c_str(), true);
    if (!moved) {
        error = failed_ ? error_ : platform::lastSystemError();
        return false;
    }
    file_.close();
    return os.syncFolderOf(path_.c_str()) || (error = platform::lastSystemError(), false);
}

ManifestReader::ManifestReader(platform::Os& os, const std::string& path) {
    opened_ = file_.openForReading(os, path.c_str());
    platform::FileState state;
    if (opened_ && os.fileState(file_.handle(), state)) written_ = state.modified;
}

ManifestReader::~ManifestReader() = default;

bool ManifestReader::fill() {
    if (ended_) return false;
    buffer_.erase(0, at_);
    at_ = 0;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + (64u << 10));
    const std::int64_t got = file_.read(buffer_.data() + had, buffer_.size() - had);
    buffer_.resize(had + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got <= 0) ended_ = true;
    return got > 0;
}

bool ManifestReader::next(std::string& relative, std::string& hex, bool& bad) {
    std::size_t end;
    while ((end = buffer_.find('\n', at_)) == std::string::npos) {
        if (buffer_.size() - at_ > longestLine) return skipLine(relative, hex, bad);
        if (!fill()) {
            if (at_ == buffer_.size()) return false;
            end = buffer_.size();  // a last line without its line break
            buffer_ += '\n';
            break;
        }
    }
    std::string line = buffer_.substr(at_, end - at_);
    at_ = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool escaped = !line.empty() && line[0] == '\\';
    if (escaped) line.erase(0, 1);
    hex = line.substr(0, 64);
    bad = line.size() < 67 || !isHex(hex) || line[64] != ' ' || (line[65] != ' ' && line[65] != '*');
    relative.clear();
    // In an escaped line only \\, \n and \r stand for a character; any other
    // backslash makes the line unusable, as coreutils reads it.
    for (std::size_t i = 66; !bad && i < line.size(); ++i) {
        const char c = line[i];
        if (escaped && c == '\\') {
            const char e = i + 1 < line.size() ? line[++i] : '\0';
            if (e == '\\' || e == 'n' || e == 'r') {
                relative += e == 'n' ? '\n' : e == 'r' ? '\r' : '\\';
            } else {
                bad = true;
            }
        } else {
            relative += c == '/' ? platform::pathSeparator : c;
        }
    }
    for (char& c : hex) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    // A name that climbs out of the tree is no line of this tree's manifest.
    if (!bad && (relative.empty() || insideName(relative) != relative)) bad = true;
    return true;
}

// A line longer than any name could make (a file of another kind, say) is no
// manifest line: it is passed over without being held.
bool ManifestReader::skipLine(std::string& relative, std::string& hex, bool& bad) {
    relative.clear();
    hex.clear();
    bad = true;
    for (;;) {
        const std::size_t end = buffer_.find('\n', at_);
        if (end != std::string::npos) {
            at_ = end + 1;
            return true;
        }
        at_ = buffer_.size();
        if (!fill()) return true;
    }
}

bool replaceableByManifest(platform::Os& os, const std::string& path) {
    ManifestReader reader(os, path);
    if (!reader.opened()) return true;
    std::string relative, hex;
    bool bad = false;
    return !reader.next(relative, hex, bad) || !bad;
}

}  // namespace marlune::run
