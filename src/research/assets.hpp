#pragma once
// The files inlined into the report page at build time: uPlot (third_party/uplot, pinned
// there with its licence) and the page's own script and stylesheet. The build generates
// their definitions from the files (cmake/embed_files.cmake); nothing here is hand-copied.
#include <string_view>

namespace varnek::research::assets {

extern const std::string_view uplot_js;   // third_party/uplot/uPlot.iife.min.js
extern const std::string_view uplot_css;  // third_party/uplot/uPlot.min.css
extern const std::string_view page_js;    // src/research/report_page.js
extern const std::string_view page_css;   // src/research/report_page.css

}  // namespace varnek::research::assets
