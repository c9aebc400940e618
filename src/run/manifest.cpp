#include "run/manifest.h"

#include "boundary/operations.h"
#include "run/paths.h"

namespace marlune::run {

std::string manifestLine(const std::string& hex, const std::string& relative) {
    std::string name;
    bool escaped = false;
    for (const char c : relative) {
        if (c == '\n') {
            name += "\\n";
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

}  // namespace marlune::run
