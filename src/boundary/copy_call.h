// One copy from start to end, in the steps a batch also takes one group at a
// time: copy, put the data on stable storage, move into place, check that the
// name still leads to the copy, release. A partial file that never took the
// destination's name goes however the call ends; one written in place stays.
#pragma once

#include <cstdint>
#include <string>

#include "boundary/operations.h"

namespace marlune {

class CopyCall {
public:
    CopyCall(const CopyRequest& request, CopyFiles& files, marlune_report& report)
        : request_(request), os_(request.os), files_(files), report_(report) {}
    ~CopyCall();
    CopyCall(const CopyCall&) = delete;
    CopyCall& operator=(const CopyCall&) = delete;

    // Every step on its own, as run() takes them. Each is false once the call has
    // failed (then outcome() says how, and the files are closed).
    Outcome run(bool* sourceStillNamed);

    // Opens the source, makes the destination and copies into it.
    bool copy();
    // Puts the copy's data on stable storage, as far as the durability asks; for a
    // conversion run again, checks and syncs the file it found complete.
    bool syncData();
    // For a conversion run again: the file found is exactly the copy, to its end.
    bool checkFound();
    // Gives a copy written beside its destination the destination's name.
    bool moveIntoPlace();
    // The source may go only while its copy has the name: whatever took it meanwhile
    // (another conversion, a move) is not this recording.
    bool copyStillNamed();
    // Closes both files; the call's final outcome. `sourceStillNamed`: whether the
    // source's path still led to the file copied.
    Outcome release(bool* sourceStillNamed);
    Outcome fail(std::int32_t status, bool beforeChunks, int systemError);
    // The same, as a step's false.
    bool stop(std::int32_t status, bool beforeChunks, int systemError);

    bool failed() const { return failed_; }
    const Outcome& outcome() const { return outcome_; }
    // Where the copy is until it moves, and the name it takes then.
    const std::string& writtenName() const { return partial_.empty() ? target_ : partial_; }
    const std::string& target() const { return target_; }
    platform::Handle destination() const { return files_.destination.handle(); }
    bool foundComplete() const { return comparing_; }

private:
    // MARLUNE_OK, or the status of what refused the destination, with its error in `code`.
    std::int32_t createDestination(int& code);
    bool createPartial();

    const CopyRequest& request_;
    platform::Os& os_;
    CopyFiles& files_;
    marlune_report& report_;
    std::string target_;
    std::string partial_;
    // A conversion run again: the destination holds a copy, to be compared rather than written.
    bool comparing_ = false;
    bool salvaged_ = false;
    bool failed_ = false;
    Outcome outcome_;
};

}  // namespace marlune
