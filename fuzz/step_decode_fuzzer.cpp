// Decodes arbitrary bytes as a step, as marlune_run_step does before any work. A
// step taken must be one a worker may run, hold no more files than its bytes can
// (memory follows the bytes, not the count they claim), and encode to bytes that
// decode to the same step. Anything else aborts, which libFuzzer reports.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "run/step.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using marlune::run::Step;
    Step step;
    std::vector<marlune::run::StepText> texts;
    if (!marlune::run::decode(reinterpret_cast<const char*>(data), size, step, &texts)) return 0;
    constexpr std::size_t leastFileBytes = 14;  // a file of empty texts and one-digit numbers
    if (!marlune::run::usable(step) || step.files.size() > size / leastFileBytes || texts.size() != step.files.size()) {
        std::abort();
    }
    const std::string bytes = marlune::run::encode(step);
    Step again;
    if (!marlune::run::decode(bytes.data(), bytes.size(), again) || marlune::run::encode(again) != bytes) std::abort();
    return 0;
}
