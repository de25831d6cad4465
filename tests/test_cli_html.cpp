// The HTML page beside a research report: written with the report or not at all, and
// rendered in headless Chromium (installed by scripts/deps.sh --test) without a JavaScript
// error, with every chart drawn and without a single request.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli_runner.hpp"
#include "core/json.hpp"

namespace fs = std::filesystem;
using varnek::core::Json;
using varnek::testkit::run_binary;
using varnek::testkit::run_varnek;
using varnek::testkit::shell_quote;
using varnek::testkit::slurp;
using varnek::testkit::TempDir;

namespace {

struct Rendered {
  int status = -1;
  std::string dom;
  std::vector<std::string> console;  // every console line the page produced
};

// Opens the page from disk in a fresh headless Chromium in which no host name resolves;
// the page's DOM after its scripts ran, and a screenshot when asked for.
Rendered render(const fs::path& page, const fs::path& screenshot = {}) {
  TempDir scratch;
  const fs::path out = scratch.path / "dom", err = scratch.path / "log";
  std::string cmd =
      "timeout 50 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--host-resolver-rules='MAP * ~NOTFOUND' --enable-logging=stderr --v=0 "
      "--virtual-time-budget=10000 --window-size=1280,1800 --user-data-dir=" +
      shell_quote((scratch.path / "profile").string());
  if (!screenshot.empty()) cmd += " --screenshot=" + shell_quote(screenshot.string());
  cmd += " --dump-dom " + shell_quote("file://" + fs::absolute(page).string()) + " >" +
         shell_quote(out.string()) + " 2>" + shell_quote(err.string()) + " </dev/null";
  const int raw = std::system(cmd.c_str());
  Rendered r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.dom = slurp(out);
  std::istringstream log(slurp(err));
  for (std::string line; std::getline(log, line);) {
    if (line.find(":CONSOLE") != std::string::npos) r.console.push_back(line);
  }
  return r;
}

// What is wrong with a rendered report page that should show `charts` charts.
std::vector<std::string> faults(const Rendered& r, std::size_t charts) {
  std::vector<std::string> found;
  if (r.status != 0) found.push_back("chromium exited with status " + std::to_string(r.status));
  for (const std::string& line : r.console) found.push_back("console: " + line);
  // The markers live on <html>; the page's texts cannot forge them there.
  const std::size_t at = r.dom.find("<html");
  const std::string tag =
      at == std::string::npos ? "" : r.dom.substr(at, r.dom.find("<head>") - at);
  if (tag.find("data-erreurs=") != std::string::npos) found.push_back("page error: " + tag);
  if (tag.find("data-rendu=\"complet\"") == std::string::npos) {
    found.push_back("not every chart was drawn: " + tag);
  } else if (tag.find("data-graphiques=\"" + std::to_string(charts) + "\"") == std::string::npos) {
    found.push_back("expected " + std::to_string(charts) + " charts: " + tag);
  }
  return found;
}

// The funnel and the frontier, the comparison when present, two curves per finalist.
std::size_t charts_of(const Json& report) {
  const bool compared =
      report["method_comparison"].is_array() && !report["method_comparison"].empty();
  return 2 + (compared ? 1 : 0) + 2 * report["survivors"].size();
}

std::string data_block(const std::string& page) {
  const std::string open = "<script type=\"application/json\" id=\"donnees\">";
  const std::size_t from = page.find(open) + open.size();
  return page.substr(from, page.find("</script>", from) - from);
}

std::vector<Json> events_of(const std::string& out) {
  std::vector<Json> events;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) events.push_back(Json::parse(line));
  return events;
}

bool has_event(const std::vector<Json>& events, const std::string& kind) {
  for (const Json& e : events) {
    if (e["t"] == kind) return true;
  }
  return false;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A small run with everything the page can show: a method comparison, an account profile,
// and a hypothesis that tries to break out of the page's data.
Json small_spec(const fs::path& report) {
  Json prop = Json::parse(slurp(std::string(VARNEK_EXAMPLES) + "/prop_firm.json"));
  return {{"synthetic_bars", 6000},
          {"seed", 2},
          {"families", {"donchian_breakout", "ema_cross"}},
          {"funnel",
           {{"screen", 3000},
            {"backtest", 800},
            {"promote", 80},
            {"walk_forward", 12},
            {"robustness", 5}}},
          {"compare_methods", 300},
          {"prop_profiles", Json::array({prop["prop_profiles"][0]})},
          {"hypothesis", "</script><img src=\"http://example.invalid/x.png\"><!--<script>"},
          {"report_path", report.string()}};
}

void require_chromium() {
  ASSERT_EQ(std::system("command -v chromium >/dev/null 2>&1"), 0)
      << "chromium is missing: run scripts/deps.sh --test as root (make test does)";
}

}  // namespace

TEST(CliHtml, QuickstartPageRendersWithinTwoMegabytes) {
  require_chromium();
  TempDir dir;
  Json spec = Json::parse(slurp(std::string(VARNEK_EXAMPLES) + "/quickstart.json"));
  spec["report_path"] = (dir.path / "quickstart-report.json").string();
  const auto r = run_varnek({"research", dir.write("quickstart.json", spec.dump()).string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json report = Json::parse(slurp(dir.path / "quickstart-report.json"));
  const fs::path page = dir.path / "quickstart-report.html";
  ASSERT_TRUE(fs::is_regular_file(page));
  const auto bytes = fs::file_size(page);
  RecordProperty("html_bytes", std::to_string(bytes));
  std::printf("quickstart page: %ju bytes\n", static_cast<std::uintmax_t>(bytes));
  EXPECT_LT(bytes, 2'000'000u);
  // Every trade of every finalist is on the page.
  const Json data = Json::parse(data_block(slurp(page)));
  ASSERT_EQ(data["survivors"].size(), report["survivors"].size());
  ASSERT_GE(report["survivors"].size(), 1u);
  for (std::size_t i = 0; i < report["survivors"].size(); ++i) {
    EXPECT_EQ(data["survivors"][i]["trades"]["r"].size(), report["survivors"][i]["trades"].size());
  }

  const fs::path shots = VARNEK_TEST_OUTPUT;
  fs::create_directories(shots);
  const fs::path shot = shots / "quickstart-report.png";
  fs::remove(shot);
  const Rendered rendered = render(page, shot);
  EXPECT_EQ(faults(rendered, charts_of(report)), std::vector<std::string>{});
  EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 10'000u) << "no screenshot at " << shot;
}

TEST(CliHtml, EveryChartAndNoMarkupFromTheReport) {
  require_chromium();
  TempDir dir;
  // A report path without ".json" gets ".html" added.
  const auto r = run_varnek(
      {"research", dir.write("spec.json", small_spec(dir.path / "rapport").dump()).string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"rapport", "rapport.html", "spec.json"}));
  const Json report = Json::parse(slurp(dir.path / "rapport"));
  ASSERT_TRUE(report["method_comparison"].is_array());
  ASSERT_EQ(report["survivors"][0]["prop"].size(), 1u);
  // Had the hypothesis escaped the data, its image would have been requested and blocked.
  EXPECT_EQ(faults(render(dir.path / "rapport.html"), charts_of(report)),
            std::vector<std::string>{});
}

// The check itself: a page that throws, requests something or leaves a chart undrawn fails it.
TEST(CliHtml, TheBrowserCheckCatchesBrokenPages) {
  require_chromium();
  TempDir dir;
  ASSERT_EQ(run_varnek({"research",
                        dir.write("spec.json", small_spec(dir.path / "r.json").dump()).string()})
                .status,
            0);
  const std::string page = slurp(dir.path / "r.html");
  const std::size_t charts = charts_of(Json::parse(slurp(dir.path / "r.json")));
  const std::string main = "<main id=\"rapport\"></main>";
  const std::string page_script = "<script>\n// The research report page";
  ASSERT_NE(page.find(main), std::string::npos);
  ASSERT_NE(page.find(page_script), std::string::npos);
  const struct {
    std::string name, anchor, insert, fault;
  } cases[] = {
      {"request", main, "<img src=\"http://example.invalid/pixel.png\">", "example.invalid"},
      {"local file", main, "<script>fetch('file:///etc/hostname');</script>", "etc/hostname"},
      {"error", page_script, "<script>undefinedName.x = 1;</script>\n", "undefinedName"},
      // uPlot's helpers without its drawing: no error, but no chart either.
      {"undrawn", page_script, "<script>uPlot = Object.assign(function () {}, uPlot);</script>\n",
       "not every chart was drawn"},
  };
  for (const auto& c : cases) {
    std::string broken = page;
    broken.insert(broken.find(c.anchor) + (c.anchor == main ? main.size() : 0), c.insert);
    const fs::path path = dir.write(c.name + ".html", broken);
    const std::vector<std::string> found = faults(render(path), charts);
    std::string all;
    for (const std::string& f : found) all += f + "\n";
    EXPECT_NE(all.find(c.fault), std::string::npos) << c.name << ":\n" << all;
  }
}

// A page that cannot be written is found before the work, as the report is; one that fails
// after the report was written takes the report with it. Either way: status 1, the report
// message, no file and no temporary left.
TEST(CliHtml, NoReportWithoutItsPage) {
  TempDir dir;
  fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  const fs::path rw = dir.path / "rw", ro = dir.path / "ro";
  fs::create_directories(rw);
  fs::create_directories(ro);
  fs::permissions(rw, fs::perms::all);
  // The report itself could be written (its link leads to a writable folder); its page not.
  fs::create_symlink(rw / "r.json", ro / "r.json");
  struct Writable {  // again when the test ends, so the scratch folder can go
    fs::path dir;
    ~Writable() { fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add); }
  } restore{ro};
  fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const auto spec = dir.write("ro.json", small_spec(ro / "r.json").dump());
  // Root writes into read-only folders: the run drops to an unprivileged user.
  const auto r = ::geteuid() == 0
                     ? run_binary("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                              VARNEK_BIN, "research", spec.string()})
                     : run_varnek({"research", spec.string()});
  EXPECT_EQ(r.status, 1) << r.err;
  auto events = events_of(r.out);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.end()[-2]["user_fr"], "Le rapport n'a pas pu être enregistré.");
  EXPECT_EQ(events.end()[-2]["technical"], (ro / "r.html").string() + ": Permission denied");
  EXPECT_FALSE(has_event(events, "dataset"));  // refused before any work
  EXPECT_EQ(names_in(rw), std::vector<std::string>{});
  EXPECT_EQ(names_in(ro), std::vector<std::string>{"r.json"});

  // The page lands on a full device once the report is written.
  const fs::path full = dir.path / "full";
  fs::create_directories(full);
  fs::create_symlink("/dev/full", full / "r.html");
  const auto late =
      run_varnek({"research", dir.write("full.json", small_spec(full / "r.json").dump()).string()});
  EXPECT_EQ(late.status, 1) << late.err;
  events = events_of(late.out);
  ASSERT_GE(events.size(), 2u);
  EXPECT_TRUE(has_event(events, "test_unlocked"));
  EXPECT_EQ(events.end()[-2]["user_fr"], "Le rapport n'a pas pu être enregistré.");
  EXPECT_EQ(events.end()[-2]["technical"],
            (full / "r.html").string() + ": No space left on device");
  EXPECT_EQ(events.back()["status"], "failed");
  EXPECT_EQ(names_in(full), std::vector<std::string>{"r.html"});
}
