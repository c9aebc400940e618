#include "container/examine.h"

namespace marlune::container {

Examination examine(platform::Os& os, const char* path) {
    Examination examination;
    platform::File file;
    CopyBuffer buffer;
    if (!file.openForReading(os, path)) {
        examination.finding = Finding::cannotOpen;
    } else if (examination.fileSize = file.sizeAtOpen(); !buffer.allocateFor(examination.fileSize)) {
        examination.finding = Finding::noMemory;
    } else {
        ContainerCopy judge(file, nullptr, buffer, examination.header);
        if (judge.copyHeader()) judge.copyAudioData();
        static_cast<CopyReport&>(examination) = judge.report();
    }
    return examination;
}

}  // namespace marlune::container
