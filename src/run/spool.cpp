#include "run/spool.h"

namespace marlune::run {
namespace {

constexpr std::size_t pieceSize = 64u << 10;

}  // namespace

bool NameSpool::spill() {
    if (!scratch_.isOpen() && !scratch_.createScratch(os_)) {
        error_ = scratch_.error() ? scratch_.error() : -1;
        return false;
    }
    if (!scratch_.write(buffer_.data(), buffer_.size())) {
        error_ = scratch_.error() ? scratch_.error() : -1;
        return false;
    }
    buffer_.clear();
    return true;
}

bool NameSpool::add(const std::string& name) {
    if (error_ != 0) return false;
    buffer_ += name;
    buffer_ += '\0';
    ++count_;
    const std::size_t bound = scratch_.isOpen() ? pieceSize : memoryBound_;
    return buffer_.size() <= bound || spill();
}

bool NameSpool::fill() {
    buffer_.erase(0, at_);
    at_ = 0;
    if (ended_ || !scratch_.isOpen()) return false;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + pieceSize);
    const std::int64_t got = scratch_.read(buffer_.data() + had, pieceSize);
    buffer_.resize(had + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got < 0) error_ = scratch_.error() ? scratch_.error() : -1;
    if (got <= 0) ended_ = true;
    return got > 0;
}

bool NameSpool::next(std::string& name) {
    if (!reading_) {
        reading_ = true;
        if (scratch_.isOpen() && (!spill() || !scratch_.rewind())) {
            if (error_ == 0) error_ = scratch_.error() ? scratch_.error() : -1;
            return false;
        }
    }
    if (error_ != 0) return false;
    std::size_t end;
    while ((end = buffer_.find('\0', at_)) == std::string::npos) {
        if (!fill()) return false;
    }
    name.assign(buffer_, at_, end - at_);
    at_ = end + 1;
    return true;
}

}  // namespace marlune::run
