#pragma once
// The research report as one self-contained HTML page beside the JSON file, and the writes
// of the two files.
//
// The page works offline from disk: uPlot, its stylesheet and the page's own script and
// styles are inlined, the data is one <script type="application/json"> block, and a
// Content-Security-Policy forbids every request (only inline scripts, inline styles and
// data: images are allowed), so nothing can be fetched even by mistake.
#include <optional>
#include <string>

#include "core/json.hpp"
#include "core/result.hpp"

namespace varnek::research {

// Where the page of a report goes: the report's path with ".html" in place of a final
// ".json", or with ".html" added. None when the report path leads (through links) to a
// device or a FIFO: such a report is a stream, with no folder beside it for a page.
std::optional<std::string> page_path(const std::string& report_path);

// What the page's script reads: the report as written, except that each finalist's
// "trades" become columns (one array per trade field, in trade order) with prices and
// money rounded to 2 decimals and "r" to 3 (the precision the trade table shows; the JSON
// report keeps every digit), and each finalist gains "equity_ts": the time of each point of
// its "equity" curve (the first bar's, then each trade's exit), reduced by the same rule as
// the curve, absent when the lengths do not match. Beside them, "frontier" (the backtest
// stage's [trades, expectancy_r, family] points) and "families" (key and French label by
// family index).
core::Json page_data(const core::Json& report, const core::Json& frontier);

// The whole page. The data block is compact JSON with every "<" written "\u003c", so no
// text of the report (a hypothesis, a file name) can close the block or open markup.
std::string report_page(const core::Json& report, const core::Json& frontier);

// Checks that both files can be written, before any work: the errors read
// "{path}: {OS error}" for the file that cannot.
core::Result<bool> probe_report_files(const std::string& report_path);

// Writes the pretty JSON report to `report_path` and then its page, each through
// core::replace_file (a temporary beside it and a rename). When the page cannot be
// written, the report just written is removed again if it is a regular file, so a failed
// run leaves neither; the error then reads "{page path}: {OS error}". A failure of the
// report itself is its OS error text alone.
core::Result<bool> write_report_files(const std::string& report_path, const core::Json& report,
                                      const core::Json& frontier);

}  // namespace varnek::research
