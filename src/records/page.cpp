// The report page: one file, nothing fetched, readable without its script
// (which only sorts the table).
#include <algorithm>
#include <cstdio>

#include "records/records.h"
#include "records/text.h"

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
    constexpr int labelWidth = 230;
    constexpr int barWidth = 420;
    constexpr int lineHeight = 22;
    if (bars.empty()) return "<p>none</p>\n";
    std::uint64_t largest = 1;
    for (const Bar& bar : bars) largest = std::max(largest, bar.count);
    const int height = static_cast<int>(bars.size()) * lineHeight + 4;
    std::string out = "<svg role=\"img\" aria-label=\"" + htmlEscaped(title) + "\" width=\"" +
                      number(labelWidth + barWidth + 90) + "\" height=\"" + number(static_cast<unsigned>(height)) +
                      "\" xmlns=\"http://www.w3.org/2000/svg\">";
    int y = 2;
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

std::string summaryTable(const Totals& totals) {
    std::string out = "<table id=\"summary\"><tbody>\n";
    const auto row = [&out](const std::string& key, const std::string& label, const std::string& value) {
        out += "<tr><th scope=\"row\">" + htmlEscaped(label) + "</th><td data-key=\"" + key + "\">" + value +
               "</td></tr>\n";
    };
    row("files", "files", number(totals.files + totals.notStarted));
    for (std::size_t i = 0; i < totals.outcomes.size(); ++i) {
        const char* name = marlune_outcome_name(static_cast<std::int32_t>(i));
        if (name && totals.outcomes[i] != 0) row(std::string("outcome:") + name, name, number(totals.outcomes[i]));
    }
    row("notStarted", "not started", number(totals.notStarted));
    row("linksNotFollowed", "links not followed", number(totals.linksNotFollowed));
    row("bytesRead", "bytes read", number(totals.bytesRead));
    row("bytesWritten", "bytes written", number(totals.bytesWritten));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", totals.seconds);
    row("seconds", "seconds", seconds);
    return out + "</tbody></table>\n";
}

std::string filesTable(const PageFacts& facts) {
    if (facts.rows.empty()) return "<p>No file is damaged or suspect.</p>\n";
    std::string out =
        "<table id=\"files\" class=\"sortable\"><thead><tr><th>file</th><th>outcome</th><th>status</th>"
        "<th>cut piece</th><th class=\"n\">cut offset</th><th class=\"n\">size</th>"
        "<th class=\"n\">missing bytes</th></tr></thead><tbody>\n";
    for (const PageFacts::Row& row : facts.rows) {
        out += "<tr><td>" + htmlEscaped(row.file) + "</td><td>" + htmlEscaped(row.outcome) + "</td><td>" +
               htmlEscaped(row.status) + "</td><td>" + htmlEscaped(row.piece) + "</td><td class=\"n\">" +
               (row.piece.empty() ? "" : number(row.offset)) + "</td><td class=\"n\">" + number(row.size) +
               "</td><td class=\"n\">" + (row.piece.empty() ? "" : number(row.missing)) + "</td></tr>\n";
    }
    out += "</tbody></table>\n";
    if (facts.rowsLeft != 0) {
        out += "<p id=\"more\" data-count=\"" + number(facts.rowsLeft) + "\">and " + number(facts.rowsLeft) +
               " more damaged or suspect files, not listed here (the CSV table and the log list every file)</p>\n";
    }
    return out;
}

constexpr const char* style =
    "body{font-family:sans-serif;margin:2em;max-width:60em;color:#222}"
    "table{border-collapse:collapse;margin:0.5em 0}th,td{border:1px solid #bbb;padding:0.2em 0.6em;text-align:left}"
    "td.n,th.n{text-align:right}#summary td{text-align:right}"
    "table.sortable th{cursor:pointer;background:#eee}svg text{font-size:13px}svg rect{fill:#4a78a8}"
    "svg text.count{fill:#222}p.run{color:#555}";

// Sorts the table by the column clicked; numbers as numbers.
constexpr const char* sortScript =
    "document.querySelectorAll('table.sortable').forEach(function(table){"
    "table.querySelectorAll('th').forEach(function(th,column){th.addEventListener('click',function(){"
    "var body=table.tBodies[0];var rows=Array.prototype.slice.call(body.rows);"
    "var down=th.getAttribute('data-order')!=='up';th.setAttribute('data-order',down?'up':'down');"
    "rows.sort(function(a,b){var x=a.cells[column].textContent,y=b.cells[column].textContent;"
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
    out += "<h1>" + htmlEscaped(title) + "</h1>\n";
    out += "<p class=\"run\">marlune " + htmlEscaped(header.version) + ", started " + htmlEscaped(header.started) +
           " (UTC) in <code>" + htmlEscaped(header.folder) + "</code>: <code id=\"command-line\">" +
           htmlEscaped(header.commandLine) + "</code></p>\n";
    out += "<h2>Summary</h2>\n" + summaryTable(totals);

    std::vector<Bar> outcomes;
    for (std::size_t i = 0; i < totals.outcomes.size(); ++i) {
        const char* name = marlune_outcome_name(static_cast<std::int32_t>(i));
        if (name && totals.outcomes[i] != 0) outcomes.push_back({name, totals.outcomes[i]});
    }
    out += "<h2>Files by outcome</h2>\n" + barChart("files by outcome", outcomes);
    std::vector<Bar> statuses;
    for (const auto& [status, count] : facts.statuses) {
        const char* name = marlune_status_name(status);
        statuses.push_back({name ? name : "status " + std::to_string(status), count});
    }
    out += "<h2>Files by status</h2>\n" + barChart("files by status", statuses);
    std::vector<Bar> sizes;
    for (std::size_t i = 0; i < facts.sizes.size(); ++i) sizes.push_back({sizeLabel(i), facts.sizes[i]});
    out += "<h2>Sizes of the files read</h2>\n" + barChart("sizes of the files read", sizes);
    std::vector<Bar> cuts;
    for (std::size_t i = 0; i < facts.cuts.size(); ++i) cuts.push_back({"at " + sizeLabel(i), facts.cuts[i]});
    out += "<h2>Where in the files the cuts fall</h2>\n<p>The offset of the piece cut short.</p>\n" +
           barChart("offsets of the cuts", cuts);
    out += "<h2>Damaged and suspect files</h2>\n" + filesTable(facts);
    out += "<script>" + std::string(sortScript) + "</script>\n</body></html>\n";
    return out;
}

}  // namespace marlune::records
