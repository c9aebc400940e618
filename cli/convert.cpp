// convert: every file to its .kv name, in groups put on stable storage together,
// or judged for a dry run; the library's run settles collisions and partial files.
#include "commands.h"

namespace marlune::cli {
namespace {

class Convert : public Command {
public:
    explicit Convert(const Settings& settings) : settings_(settings) {}
    const char* name() const override { return "convert"; }
    bool dryRun() const override { return settings_.dryRun; }

    marlune_run_options job() const override { return jobOf(MARLUNE_JOB_CONVERT, settings_); }

    std::string text(const std::string& file, const FileResult& result, const Record&) const override {
        if (settings_.dryRun) {
            return worded(file, result,
                          {{MARLUNE_OUTCOME_WOULD_CONVERT, "would convert to %t"},
                           {MARLUNE_OUTCOME_ALREADY_KV, "already .kv"},
                           {MARLUNE_OUTCOME_SKIPPED, "would skip: %r"},
                           {MARLUNE_OUTCOME_SUSPECT, "would skip: %r"},
                           {MARLUNE_OUTCOME_KEPT, "would keep %t: it exists"},
                           {MARLUNE_OUTCOME_COLLISION, "would not convert: %r"},
                           {MARLUNE_OUTCOME_FINISHED, "would finish: %t holds its conversion already"},
                           {anyOutcome, "would fail: %r"}});
        }
        const std::string notConverted = settings_.quiet ? "not converted" : "not converted: %r";
        const std::string told = worded(file, result,
                                        {{MARLUNE_OUTCOME_FAILED, settings_.quiet ? "not converted" : "%r"},
                                         {MARLUNE_OUTCOME_KEPT, "kept %t: it exists (--force replaces it)"},
                                         {MARLUNE_OUTCOME_COLLISION, notConverted}});
        if (!told.empty() || !settings_.verbose) return told;
        return worded(file, result,
                      {{MARLUNE_OUTCOME_ALREADY_KV, "already .kv"},
                       {MARLUNE_OUTCOME_SKIPPED, "skipped: %r"},
                       {MARLUNE_OUTCOME_SUSPECT, "skipped: %r"},
                       {MARLUNE_OUTCOME_FINISHED, "finished: %t held its conversion already"},
                       {MARLUNE_OUTCOME_PARTIAL_REMOVED, "removed: %r"},
                       {MARLUNE_OUTCOME_CANCELLED, "not converted: %r"},
                       {anyOutcome, "converted to %t"}});
    }

    std::string counts(const Tally& tally) const override {
        const auto part = [&tally](std::int32_t outcome, const char* words) {
            return std::to_string(tally[outcome]) + words;
        };
        // What only a crash or an odd list brings is told only when met.
        const auto ifAny = [&](std::int32_t outcome, const std::string& words) {
            return tally[outcome] == 0 ? std::string() : words;
        };
        const std::string collided =
            ifAny(MARLUNE_OUTCOME_COLLISION,
                  ", " + part(MARLUNE_OUTCOME_COLLISION, " colliding (named twice, or one .kv name for two)")) +
            countsIfMet(tally);
        if (settings_.dryRun) {
            return part(MARLUNE_OUTCOME_WOULD_CONVERT, " to convert, ") +
                   ifAny(MARLUNE_OUTCOME_FINISHED, part(MARLUNE_OUTCOME_FINISHED, " to finish, ")) +
                   part(MARLUNE_OUTCOME_ALREADY_KV, " already .kv, ") +
                   part(MARLUNE_OUTCOME_SKIPPED, " to skip (not a container), ") +
                   part(MARLUNE_OUTCOME_KEPT, " to keep (.kv exists), ") + part(MARLUNE_OUTCOME_FAILED, " refused") +
                   collided + "\n";
        }
        const std::uint64_t removed = tally[MARLUNE_OUTCOME_PARTIAL_REMOVED];
        return part(MARLUNE_OUTCOME_CONVERTED, " converted, ") +
               ifAny(MARLUNE_OUTCOME_FINISHED, part(MARLUNE_OUTCOME_FINISHED, " finished, ")) +
               part(MARLUNE_OUTCOME_ALREADY_KV, " already .kv, ") +
               part(MARLUNE_OUTCOME_SKIPPED, " skipped (not a container), ") +
               part(MARLUNE_OUTCOME_KEPT, " kept (.kv exists), ") + part(MARLUNE_OUTCOME_FAILED, " failed") + collided +
               "\n" +
               ifAny(MARLUNE_OUTCOME_PARTIAL_REMOVED, counted(removed, "partial file", "partial files") +
                                                          " of conversions stopped by a crash removed\n");
    }

private:
    const Settings& settings_;
};

}  // namespace

marlune_run_options jobOf(std::int32_t job, const Settings& settings) {
    marlune_run_options options{};
    options.size = sizeof options;
    options.job = job;
    if (settings.recursive) options.flags |= MARLUNE_RUN_RECURSIVE;
    if (settings.followLinks) options.flags |= MARLUNE_RUN_FOLLOW_LINKS;
    if (settings.kvNames) options.flags |= MARLUNE_RUN_KV_NAMES;
    if (settings.dryRun) options.flags |= MARLUNE_RUN_JUDGE_ONLY;
    if (settings.force) options.flags |= MARLUNE_RUN_REPLACE;
    if (settings.mirror) options.flags |= MARLUNE_RUN_MIRROR;
    if (settings.checksum) options.flags |= MARLUNE_RUN_CHECKSUM;
    if (settings.remove) options.flags |= MARLUNE_RUN_DELETE;
    if (settings.deleteFromEmpty) options.flags |= MARLUNE_RUN_DELETE_FROM_EMPTY;
    options.max_delete = settings.maxDelete;
    if (!settings.manifest.empty()) options.manifest = settings.manifest.c_str();
    options.durability = settings.sync ? MARLUNE_DURABLE_DATA_AND_NAME : MARLUNE_DURABLE_NONE;
    if (settings.suspectExtensionsGiven) options.suspect_extensions = settings.suspectExtensions.c_str();
    return options;
}

std::unique_ptr<Command> convertCommand(const Settings& settings) {
    return std::make_unique<Convert>(settings);
}

}  // namespace marlune::cli
