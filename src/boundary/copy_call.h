// One copy from start to end, in the steps a batch also takes one group at a
// time: open, copy, put the data on stable storage, move into place, and finish:
// check that the name still leads to the copy, release, and for a conversion
// remove the source if it is unchanged since its copy read it. A partial file
// that never took the destination's name goes however the call ends; one
// written in place stays.
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
    Outcome run();

    // Opens the source (in `sourceFolder`, where one is given) and finds the name
    // the copy takes (through a symbolic link, the file it leads to).
    bool open(platform::Handle sourceFolder = platform::noHandle);
    // Names at the destination are given inside this open folder from now on.
    void useTargetFolder(platform::Handle folder) { targetFolder_ = folder; }
    // Opens the source unless open() did, makes the destination and copies into it.
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
    // The last steps: the copy still named, the source unchanged, both files
    // closed, and a converted source removed. The call's final outcome.
    Outcome finish();
    Outcome fail(std::int32_t status, bool beforeChunks, int systemError);
    // The same, as a step's false.
    bool stop(std::int32_t status, bool beforeChunks, int systemError);

    bool failed() const { return failed_; }
    const Outcome& outcome() const { return outcome_; }
    // Where the copy is until it moves, and the name it takes then.
    const std::string& writtenName() const { return partial_.empty() ? target_ : partial_; }
    const std::string& target() const { return target_; }
    const platform::File& source() const { return files_.source; }
    // For a conversion: the source as open() found it.
    const platform::FileState& openedSource() const { return openedSource_; }
    platform::Handle targetFolder() const { return targetFolder_; }
    platform::Handle destination() const { return files_.destination.handle(); }
    bool foundComplete() const { return comparing_; }

private:
    // MARLUNE_OK, or the status of what refused the destination, with its error in `code`.
    std::int32_t createDestination(int& code);
    bool createPartial();
    platform::Path targetPath(const std::string& name) const { return {targetFolder_, name.c_str()}; }
    // Whether the copy writes into `written` on a thread of its own.
    bool overlaps(const platform::File* written) const;
    // The source as its copy read it, for a conversion: unchanged since it was opened.
    bool recordCopiedSource();
    // Gives the copy the source's time and mode where the request asks, after its last
    // write and before it is synced and moved.
    bool keepSourceTimesAndMode();
    // Through the open source: nothing changed since its copy ended.
    bool sourceUnchanged();
    // Closes both files; the outcome so far.
    Outcome release();
    void removeSource();

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
    bool opened_ = false;
    bool sourceElsewhere_ = false;  // the source's name led to another file at the end
    platform::Handle sourceFolder_ = platform::noHandle;
    platform::Handle targetFolder_ = platform::noHandle;
    platform::FileState openedSource_;
    platform::FileState copiedSource_;
    Outcome outcome_;
};

}  // namespace marlune
