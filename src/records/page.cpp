// The report page: one file, nothing fetched, readable without its script
// (which only sorts the table).
#include <algorithm>
#include <cstdio>

#include "records/records.h"
#include "records/text.h"
#include "run/job_policy.h"

namespace marlune::records {
namespace {

struct Bar {
    std::string label;
    std::uint64_t count;
};

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

// Horizontal bars, one a line, each with its count written beside it.
std::string barChart(const char* title, const std::vector<Bar>& bars) {
    // Room for the longest label (about 7 pixels a letter), the bars taking what is left.
    std::size_t longest = 0;
    for (const Bar& bar : bars) longest = std::max(longest, bar.label.size());
    const unsigned labelWidth = static_cast<unsigned>(std::clamp<std::size_t>(longest * 7 + 12, 230, 560));
    const unsigned barWidth = 800 - labelWidth;
    constexpr unsigned lineHeight = 22;
    if (bars.empty()) return "<p>none</p>\n";
    std::uint64_t largest = 1;
    for (const Bar& bar : bars) largest = std::max(largest, bar.count);
    const auto height = static_cast<unsigned>(bars.size()) * lineHeight + 4;
    std::string out = "<svg role=\"img\" aria-label=\"" + htmlEscaped(title) + "\" width=\"" +
                      number(labelWidth + barWidth + 90) + "\" height=\"" + number(height) +
                      "\" xmlns=\"http://www.w3.org/2000/svg\">";
    unsigned y = 2;
    for (const Bar& bar : bars) {
        const auto width = static_cast<unsigned>(static_cast<double>(barWidth) * static_cast<double>(bar.count) /
                                                 static_cast<double>(largest));
        const std::string label = htmlEscaped(bar.label);
        out += "<g><title>" + label + ": " + number(bar.count) + "</title>";
        out += "<text x=\"" + number(labelWidth - 6) + "\" y=\"" + std::to_string(y + 15) + "\" text-anchor=\"end\">" +
               label + "</text>";
        out += "<rect x=\"" + number(labelWidth) + "\" y=\"" + std::to_string(y + 3) + "\" width=\"" + number(width) +
               "\" height=\"" + number(lineHeight - 6) + "\"/>";
        out += "<text class=\"count\" x=\"" + number(labelWidth + width + 6) + "\" y=\"" + std::to_string(y + 15) +
               "\">" + number(bar.count) + "</text></g>";
        y += lineHeight;
    }
    return out + "</svg>\n";
}

std::string sizeLabel(std::size_t bin) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    const auto boundary = [](std::size_t at) {
        // 1 KiB * 4^(at-1): print in the largest unit that keeps it whole.
        std::uint64_t value = std::uint64_t{1024} << (2 * (at - 1));
        std::size_t unit = 0;
        while (value >= 1024 && value % 1024 == 0 && unit + 1 < 5) {
            value /= 1024;
            ++unit;
        }
        return number(value) + " " + units[unit];
    };
    if (bin == 0) return "under 1 KiB";
    if (bin + 1 == PageFacts::sizeBins) return boundary(bin) + " and more";
    return boundary(bin) + " to " + boundary(bin + 1);
}

// A status in words, with the constant a program or a search finds it by.
std::string statusWords(std::int32_t status) {
    const char* name = marlune_status_name(status);
    const char* text = marlune_status_text(status);
    return htmlEscaped(text ? text : "status " + std::to_string(status)) + " (<code>" +
           htmlEscaped(name ? name : std::to_string(status)) + "</code>)";
}

// Each value as people read it, the exact number in data-value.
std::string summaryTable(const Header& header, const Totals& totals) {
    std::string out = "<table id=\"summary\"><tbody>\n";
    const auto row = [&out](const std::string& key, const std::string& label, const std::string& value,
                            const std::string& shown) {
        out += "<tr><th scope=\"row\">" + htmlEscaped(label) + "</th><td data-key=\"" + key + "\" data-value=\"" +
               value + "\">" + htmlEscaped(shown) + "</td></tr>\n";
    };
    const auto counted = [&row](const std::string& key, const std::string& label, std::uint64_t value) {
        row(key, label, number(value), number(value));
    };
    counted("files", "files", totals.files + totals.notStarted);
    for (std::size_t i = 0; i < totals.outcomes.size(); ++i) {
        const char* name = marlune_outcome_name(static_cast<std::int32_t>(i));
        if (name && totals.outcomes[i] != 0) counted(std::string("outcome:") + name, name, totals.outcomes[i]);
    }
    if (totals.notStarted != 0) counted("notStarted", "not started", totals.notStarted);
    if (totals.linksNotFollowed != 0) counted("linksNotFollowed", "links not followed", totals.linksNotFollowed);
    row("bytesRead", "read", number(totals.bytesRead), readableBytes(totals.bytesRead));
    // A verify or an examination writes nothing: no line says it wrote 0 or its reads.
    if (run::policyOf(header.job, header.flags).writes) {
        row("bytesWritten", "written", number(totals.bytesWritten), readableBytes(totals.bytesWritten));
    }
    if (totals.bytesNotWritten != 0) {
        row("bytesNotWritten", "still to write when the destination filled up", number(totals.bytesNotWritten),
            readableBytes(totals.bytesNotWritten));
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", totals.seconds);
    row("seconds", "time taken", seconds, readableSeconds(totals.seconds));
    return out + "</tbody></table>\n";
}

// The verdict first: one sentence in its colour, then what else was found.
std::string verdictBlock(const std::vector<Finding>& found) {
    const auto tone = [](Finding::Tone value) {
        return value == Finding::Tone::safe ? "safe" : value == Finding::Tone::warning ? "warning" : "unsafe";
    };
    std::string out = "<p id=\"verdict\" class=\"" + std::string(tone(found.front().tone)) + "\">" +
                      htmlEscaped(found.front().sentence) + ".</p>\n";
    if (found.size() == 1) return out;
    out += "<ul id=\"also\">";
    for (std::size_t i = 1; i < found.size(); ++i) {
        out += "<li class=\"" + std::string(tone(found[i].tone)) + "\">" + htmlEscaped(found[i].sentence) + ".</li>";
    }
    return out + "</ul>\n";
}

std::string code(const std::string& name) {
    return "<code>" + htmlEscaped(shellEscaped(name)) + "</code>";
}

// What was worked on, and what became of the manifest.
std::string whatBlock(const Header& header, const Totals& totals) {
    const run::JobPolicy policy = run::policyOf(header.job, header.flags);
    std::string out;
    if (header.job == MARLUNE_JOB_VERIFY) {
        out +=
            "<p id=\"checked\">Checked " + (header.destination.empty() ? "the destination" : code(header.destination));
        if (!header.manifest.empty()) {
            out += " against the manifest " + code(header.manifest) +
                   (header.manifestDate.empty() ? "" : ", written " + htmlEscaped(header.manifestDate) + " (UTC)") +
                   ": each file it lists hashed and compared with its digest, a file it does not list told as extra.";
        } else {
            out += " against " + (header.source.empty() ? std::string("its source") : code(header.source)) +
                   ": each file of either folder compared with its counterpart; nothing was written.";
        }
        return out + "</p>\n";
    }
    if (!header.source.empty() && !header.destination.empty()) {
        out += "<p id=\"from\">From " + code(header.source) + " into " + code(header.destination) + ".</p>\n";
    }
    if (!policy.mirrors) return out;
    out += "<p id=\"manifest\">";
    if (header.manifest.empty()) {
        out += "No manifest was asked for.";
    } else if (!totals.manifestTold) {
        out += "A manifest was asked for at " + code(header.manifest) + "; whether it was written is not known.";
    } else if (totals.manifestStatus == MARLUNE_OK) {
        out += "The manifest is written: " + code(header.manifest) + ".";
    } else {
        out += "No manifest was written at " + code(header.manifest) + ": " + statusWords(totals.manifestStatus) + ".";
    }
    return out + "</p>\n";
}

// A size cell: as people read it, sorted by its bytes.
std::string sizeCell(bool shown, std::uint64_t bytes) {
    if (!shown) return "<td class=\"n\"></td>";
    return "<td class=\"n\" data-sort=\"" + number(bytes) + "\">" + htmlEscaped(readableBytes(bytes)) + "</td>";
}

std::string filesTable(const PageFacts& facts) {
    if (facts.rows.empty()) return "<p id=\"no-files\">No file failed, differs, is damaged or suspect.</p>\n";
    std::string out =
        "<table id=\"files\" class=\"sortable\"><thead><tr><th>file</th><th>outcome</th><th>status</th>"
        "<th>cut piece</th><th class=\"n\">cut at</th><th class=\"n\">size</th>"
        "<th class=\"n\">missing</th></tr></thead><tbody>\n";
    for (const PageFacts::Row& row : facts.rows) {
        const bool cut = !row.piece.empty();
        out += "<tr><td>" + htmlEscaped(row.file) + "</td><td>" + htmlEscaped(row.outcome) + "</td><td>" +
               statusWords(row.status) + "</td><td>" + htmlEscaped(row.piece) + "</td>" + sizeCell(cut, row.offset) +
               sizeCell(true, row.size) + sizeCell(cut, row.missing) + "</tr>\n";
    }
    out += "</tbody></table>\n";
    if (facts.rowsLeft != 0) {
        out += "<p id=\"more\" data-count=\"" + number(facts.rowsLeft) + "\">and " + number(facts.rowsLeft) +
               " more such files, not listed here (the CSV table and the log list every file)</p>\n";
    }
    return out;
}

constexpr const char* style =
    "body{font-family:sans-serif;margin:2em;max-width:60em;color:#222}"
    "table{border-collapse:collapse;margin:0.5em 0}th,td{border:1px solid #bbb;padding:0.2em 0.6em;text-align:left}"
    "td.n,th.n{text-align:right}#summary td{text-align:right}"
    "table.sortable th{cursor:pointer;background:#eee}svg text{font-size:13px}svg rect{fill:#4a78a8}"
    "svg text.count{fill:#222}p.run{color:#555}code{font-size:90%}"
    "#verdict{font-size:1.5em;font-weight:bold;padding:0.6em 0.8em;border-radius:0.3em;border-left:0.5em solid}"
    "#verdict.safe{background:#e3f4e1;border-color:#2e7d32;color:#1b5e20}"
    "#verdict.warning{background:#fff3d6;border-color:#c77c00;color:#7a4a00}"
    "#verdict.unsafe{background:#fde2e0;border-color:#c62828;color:#8e1c1c}"
    "#also li.unsafe{color:#8e1c1c}#also li.warning{color:#7a4a00}";

// Sorts the table by the column clicked; numbers as numbers.
constexpr const char* sortScript =
    "document.querySelectorAll('table.sortable').forEach(function(table){"
    "table.querySelectorAll('th').forEach(function(th,column){th.addEventListener('click',function(){"
    "var body=table.tBodies[0];var rows=Array.prototype.slice.call(body.rows);"
    "var down=th.getAttribute('data-order')!=='up';th.setAttribute('data-order',down?'up':'down');"
    "rows.sort(function(a,b){var x=a.cells[column].textContent,y=b.cells[column].textContent;"
    "var sx=a.cells[column].getAttribute('data-sort'),sy=b.cells[column].getAttribute('data-sort');"
    "if(sx!==null)x=sx;if(sy!==null)y=sy;"
    "var nx=parseFloat(x),ny=parseFloat(y);var c=isNaN(nx)||isNaN(ny)?x.localeCompare(y):nx-ny;"
    "return down?c:-c;});rows.forEach(function(row){body.appendChild(row);});});});});";

}  // namespace

std::string pageText(const Header& header, const Totals& totals, const PageFacts& facts) {
    const std::string title = "marlune " + header.command + ": report of the run of " + header.started;
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n";
    // Nothing is fetched from anywhere: the page is all there is.
    out +=
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
        "script-src 'unsafe-inline'\">\n";
    out += "<title>" + htmlEscaped(title) + "</title><style>" + style + "</style></head><body>\n";
    out += verdictBlock(verdictOf(header, totals));
    out += "<h1>" + htmlEscaped(title) + "</h1>\n";
    out += "<p class=\"run\">marlune " + htmlEscaped(header.version) + ", started " + htmlEscaped(header.started) +
           " (UTC) in <code>" + htmlEscaped(header.folder) + "</code>: <code id=\"command-line\">" +
           htmlEscaped(header.commandLine) + "</code></p>\n";
    out += whatBlock(header, totals);
    out += "<h2>Summary</h2>\n" + summaryTable(header, totals);
    out += "<h2>Files that failed, differ, are damaged or suspect</h2>\n" + filesTable(facts);

    std::vector<Bar> outcomes;
    for (std::size_t i = 0; i < totals.outcomes.size(); ++i) {
        const char* name = marlune_outcome_name(static_cast<std::int32_t>(i));
        if (name && totals.outcomes[i] != 0) outcomes.push_back({name, totals.outcomes[i]});
    }
    out += "<h2>Files by outcome</h2>\n" + barChart("files by outcome", outcomes);
    std::vector<Bar> statuses;
    for (const auto& [status, count] : facts.statuses) {
        const char* text = marlune_status_text(status);
        const char* name = marlune_status_name(status);
        statuses.push_back(
            {std::string(text ? text : "status") + " (" + (name ? name : std::to_string(status)) + ")", count});
    }
    out += "<h2>Files by status</h2>\n" + barChart("files by status", statuses);
    std::vector<Bar> sizes;
    for (std::size_t i = 0; i < facts.sizes.size(); ++i) sizes.push_back({sizeLabel(i), facts.sizes[i]});
    out += "<h2>Sizes of the files read</h2>\n" + barChart("sizes of the files read", sizes);
    std::vector<Bar> cuts;
    std::uint64_t cutShort = 0;
    for (std::size_t i = 0; i < facts.cuts.size(); ++i) {
        cuts.push_back({"at " + sizeLabel(i), facts.cuts[i]});
        cutShort += facts.cuts[i];
    }
    if (cutShort != 0) {
        out += "<h2>Where in the files the cuts fall</h2>\n<p>The offset of the piece cut short.</p>\n" +
               barChart("offsets of the cuts", cuts);
    }
    out += "<script>" + std::string(sortScript) + "</script>\n</body></html>\n";
    return out;
}

}  // namespace marlune::records
