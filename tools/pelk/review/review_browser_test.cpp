// The review page in a real browser: headless Chromium opens the page of a
// small clip (through a harness page that drives it), and the test checks
// what a reviewer would see and do. Skipped, with a message, only when
// Chromium cannot start at all.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/synth/pen_scene.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;

std::string run_command(const std::string& command, int* code) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;) out.append(buf.data(), n);
  const int status = ::pclose(pipe);
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string chromium() {
  for (const char* c : {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"}) {
    if (fs::exists(c)) return c;
  }
  return "";
}

std::string chromium_flags(const fs::path& profile) {
  return " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking"
         " --disable-component-update --disable-sync --allow-file-access-from-files --user-data-dir=" +
         profile.string() + " ";
}

// Drives the page inside an iframe and writes what it found into <pre id=out>.
constexpr const char* kHarness = R"HTML(<!DOCTYPE html><html><body>
<iframe id="f" src="index.html" width="1200" height="900"></iframe><pre id="out">pending</pre>
<script>
const wait = (ms) => new Promise((r) => setTimeout(r, ms));
document.getElementById("f").addEventListener("load", async () => {
  const w = document.getElementById("f").contentWindow, d = w.document, r = {};
  for (let i = 0; i < 50 && d.body.getAttribute("data-ready") !== "true"; i++) await wait(100);
  r.ready = d.body.getAttribute("data-ready");
  r.marks = d.querySelectorAll(".mark").length;
  r.flaggedMarks = d.querySelectorAll(".mark-1, .mark-2, .mark-3").length;
  r.episodes = Array.from(d.querySelectorAll("[data-episode]")).map((e) => e.getAttribute("data-episode"));
  r.strips = d.querySelectorAll(".strip").length;
  r.rows = d.querySelectorAll("#report-table tbody tr").length;
  const current = () => Number(d.getElementById("flagged-position").getAttribute("data-current-frame"));
  r.first = current();
  await wait(500);
  const canvas = d.getElementById("flagged-canvas");
  r.images = [!canvas.hidden && canvas.getAttribute("data-frame") === String(r.first) && canvas.getAttribute("data-picture") === "frame image"];
  r.heat = Array.from(d.querySelectorAll("#flagged-heat tr")).map((tr) => Array.from(tr.cells).map((c) => c.textContent).join(" "));
  d.dispatchEvent(new w.KeyboardEvent("keydown", { key: "ArrowRight", bubbles: true }));
  r.afterRight = current();
  d.dispatchEvent(new w.KeyboardEvent("keydown", { key: "ArrowRight", bubbles: true }));
  d.dispatchEvent(new w.KeyboardEvent("keydown", { key: "ArrowLeft", bubbles: true }));
  r.afterRightLeft = current();
  const select = d.getElementById("box-filter");
  select.value = "Box2";
  select.dispatchEvent(new w.Event("change"));
  r.visibleWithBox2 = Array.from(d.querySelectorAll("#report-table tbody tr")).filter((t) => !t.classList.contains("hidden")).map((t) => t.cells[1].textContent + "|" + t.cells[6].textContent);
  select.value = "";
  select.dispatchEvent(new w.Event("change"));
  d.querySelector("#report-table th").click();
  d.querySelector("#report-table th").click();
  r.firstFrameAfterSortDesc = Number(d.querySelector("#report-table tbody tr").cells[0].textContent);
  r.downloads = Array.from(d.querySelectorAll("#downloads a")).map((a) => a.getAttribute("href"));
  r.resolutionShown = !d.getElementById("resolution-section").hidden;
  r.resolutionText = d.getElementById("resolution-summary").textContent;
  r.measures = d.getElementById("measures-section").hidden ? "" : d.getElementById("measures-summary").textContent;
  r.measureRows = d.querySelectorAll("#measures-table tr").length;
  // Everything the page loads or links: resource timing where the browser
  // records it, and every src and href of the document (scripts, style,
  // images, downloads), resolved against the page.
  r.resources = w.performance.getEntriesByType("resource").map((e) => e.name)
    .concat(Array.from(d.querySelectorAll("[src], [href]")).map((e) => new w.URL(e.getAttribute("src") || e.getAttribute("href"), w.location.href).href))
    .concat(Array.from(d.styleSheets).map((s) => s.href).filter(Boolean));
  r.page = w.location.href;
  document.getElementById("out").textContent = JSON.stringify(r);
});
</script></body></html>)HTML";

// Runs `harness` (a page beside index.html in `page`) in headless Chromium
// with the profile `profile` and returns the JSON it wrote into <pre id=out>.
nlohmann::json run_harness(const std::string& browser, const std::string& page, const std::string& harness,
                           const fs::path& profile) {
  std::ofstream(page + "/harness.html") << harness;
  int code = 0;
  // Headless Chromium with a virtual time budget now and then never ends
  // (seen on a loaded machine): a run is cut after two minutes and tried
  // again with a fresh profile, so a stuck browser is not a stuck suite.
  std::string dom;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const fs::path fresh = attempt == 0 ? profile : fs::path(profile.string() + "_retry" + std::to_string(attempt));
    dom = run_command("timeout -k 10 120 " + browser + chromium_flags(fresh) +
                          "--virtual-time-budget=30000 --dump-dom file://" + page + "/harness.html 2>/dev/null",
                      &code);
    if (code != 124 && code != 137) break;
  }
  const auto start = dom.find("<pre id=\"out\">"), end = dom.find("</pre>");
  if (start == std::string::npos) return {{"error", dom.substr(0, 2000)}};
  std::string text = dom.substr(start + 14, end - start - 14);
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
    for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  }
  if (text == "pending") return {{"error", "the harness did not finish"}};
  return nlohmann::json::parse(text);
}

class ReviewPageBrowserTest : public testing::ScratchDirTest {
 protected:
  // A clip of 12 frames and 3 boxes: Box1 lies on Box0 in frames 4..7, Box2
  // vanishes in frame 9.
  void make_clip() {
    const cv::Size size(160, 120);
    cv::Mat3b image(size, cv::Vec3b(40, 40, 40));
    cv::imwrite(path("frame.png"), image);
    fs::create_directories(dir_ / "clip");
    for (int f = 0; f < 12; ++f) {
      const auto rect_mask = [&](cv::Rect r) {
        cv::Mat1b m = cv::Mat1b::zeros(size);
        m(r).setTo(1);
        return Mask(m);
      };
      std::vector<AnnotatedObject> objects{{1, rect_mask({10, 10, 30, 30})},
                                           {2, rect_mask(f >= 4 && f <= 7 ? cv::Rect(10, 10, 30, 30) : cv::Rect(60, 10, 30, 30))},
                                           {3, f == 9 ? Mask(cv::Mat1b::zeros(size)) : rect_mask({100, 60, 30, 30})}};
      write_annotation_file(path("clip/output_pp_" + std::to_string(f) + ".json"), path("frame.png"), objects);
    }
  }
};

TEST_F(ReviewPageBrowserTest, ReviewerSeesFlaggedFramesFiltersRowsAndStepsWithArrowKeys) {
  const std::string browser = chromium();
  if (browser.empty()) GTEST_SKIP() << "Chromium is not installed (scripts/setup installs it)";
  int code = 0;
  run_command(browser + chromium_flags(dir_ / "probe") + "--dump-dom about:blank 2>/dev/null", &code);
  if (code != 0) GTEST_SKIP() << "Chromium cannot start here (exit code " << code << ")";

  make_clip();
  const std::string page = path("page");
  const std::string printed =
      run_command(std::string(PELK_BINARY) + " review " + path("clip") + " --out " + page + " --resolve --truth " + path("clip") +
                  " 2>&1",
                  &code);
  ASSERT_EQ(code, 0) << printed;
  std::ofstream(page + "/harness.html") << kHarness;
  const std::string dom = run_command(browser + chromium_flags(dir_ / "profile") +
                                          "--virtual-time-budget=20000 --dump-dom file://" + page + "/harness.html 2>/dev/null",
                                      &code);
  const auto start = dom.find("<pre id=\"out\">"), end = dom.find("</pre>");
  ASSERT_NE(start, std::string::npos) << dom;
  std::string text = dom.substr(start + 14, end - start - 14);
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
    for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  }
  ASSERT_NE(text, "pending") << "the harness did not finish";
  const nlohmann::json r = nlohmann::json::parse(text);
  EXPECT_EQ(r["ready"], "true");
  EXPECT_EQ(r["marks"], 12);
  EXPECT_EQ(r["flaggedMarks"], 5);  // frames 4..7 and 9
  EXPECT_EQ(r["episodes"], (nlohmann::json{"Box0-Box1", "Box1-Box0"}));
  EXPECT_EQ(r["strips"], 3);
  EXPECT_EQ(r["rows"], 9);  // 4 frames x 2 directions + 1 vanished mask
  EXPECT_EQ(r["first"], 4);
  EXPECT_EQ(r["images"], (nlohmann::json{true}));
  // Frame 4: Box1 lies wholly on Box0 (same square): 100 % both ways; the
  // diagonal is left at 0 as the table holds it.
  EXPECT_EQ(r["heat"], (nlohmann::json{" Box0 Box1 Box2", "Box0 0.00 100.00 0.00", "Box1 100.00 0.00 0.00",
                                       "Box2 0.00 0.00 0.00"}));
  // The flagged frame is drawn over the frame image where it lies and the
  // heat map from the table: no picture files.
  EXPECT_FALSE(fs::exists(page + "/frames/frame_0004.jpg"));
  EXPECT_FALSE(fs::exists(page + "/frames/heat_0004.png"));
  EXPECT_EQ(r["afterRight"], 5);
  EXPECT_EQ(r["afterRightLeft"], 5);
  EXPECT_EQ(r["visibleWithBox2"], nlohmann::json{"|Box2"});
  EXPECT_EQ(r["firstFrameAfterSortDesc"], 9);
  EXPECT_EQ(r["downloads"], nlohmann::json{"tracking_question_report.csv"});
  EXPECT_TRUE(r["resolutionShown"].get<bool>());
  // Measured against a truth folder (the clip itself): every animal found.
  EXPECT_EQ(r["measures"].get<std::string>().rfind("HOTA 100.0% (DetA 100.0%, AssA 100.0%), IDF1 100.0%", 0), 0u)
      << r["measures"];
  EXPECT_NE(r["measures"].get<std::string>().find("0 misses, 0 false positives"), std::string::npos) << r["measures"];
  EXPECT_EQ(r["measureRows"], 4);  // a header and the three animals
  // Every request stays inside the page's folder.
  const std::string folder = "file://" + page + "/";
  ASSERT_FALSE(r["resources"].empty());
  for (const auto& url : r["resources"]) EXPECT_EQ(url.get<std::string>().rfind(folder, 0), 0u) << url;

  // A screenshot of the page itself shows more than a blank window.
  const std::string shot = path("shot.png");
  run_command(browser + chromium_flags(dir_ / "profile2") + "--window-size=1200,1600 --screenshot=" + shot +
                  " file://" + page + "/index.html 2>/dev/null",
              &code);
  const cv::Mat picture = cv::imread(shot);
  ASSERT_FALSE(picture.empty());
  cv::Scalar mean, spread;
  cv::meanStdDev(picture, mean, spread);
  EXPECT_GT(spread[0], 10.0);
}

// Proofreading drives the page as a person does: step to the episode with
// the keyboard and accept its verdict, exchange two animals by hand on
// another frame, reload (the decisions are kept), export; then the exported
// file, applied with `pelk repair --apply`, brings the clip back to its
// truth, and --undo restores every byte.
constexpr const char* kProofHarness = R"HTML(<!DOCTYPE html><html><body>
<iframe id="f" src="index.html" width="1400" height="1000"></iframe><pre id="out">pending</pre>
<script>
const wait = (ms) => new Promise((r) => setTimeout(r, ms));
let loads = 0;
const r = {};
document.getElementById("f").addEventListener("load", async () => {
  loads++;
  const w = document.getElementById("f").contentWindow, d = w.document;
  for (let i = 0; i < 80 && d.body.getAttribute("data-ready") !== "true"; i++) await wait(100);
  const key = (k) => d.dispatchEvent(new w.KeyboardEvent("keydown", { key: k, bubbles: true }));
  const frame = () => Number(d.getElementById("proof-frame").getAttribute("data-frame"));
  if (loads === 1) {
    w.localStorage.clear();
    r.cards = Array.from(d.querySelectorAll("[data-card]")).map((c) => c.getAttribute("data-card"));
    const target = Number(r.cards.find((c) => c.startsWith("Box1-Box2@")).split("@")[1]);
    const visited = [];
    for (let i = 0; i < 200 && frame() !== target; i++) { key("PageDown"); visited.push(frame()); }
    r.reached = frame();
    const card = () => d.querySelector('[data-card^="Box1-Box2@"]');
    r.verdict = card().querySelector("p").textContent;
    r.active = card().classList.contains("active");
    key("k");
    r.overridden = card().getAttribute("data-decided");
    key("a");
    r.decided = card().getAttribute("data-decided");
    for (let i = 0; i < 400 && frame() > 20; i++) key("ArrowLeft");
    r.handFrame = frame();
    d.getElementById("swap-a").value = "Box6";
    d.getElementById("swap-b").value = "Box8";
    key("e");
    key("?");
    r.helpShown = !d.getElementById("help").hidden;
    key("Escape");
    r.countBefore = Number(d.getElementById("decision-count").getAttribute("data-count"));
    w.location.reload();
    return;
  }
  r.countAfterReload = Number(d.getElementById("decision-count").getAttribute("data-count"));
  r.decidedAfterReload = d.querySelector('[data-card^="Box1-Box2@"]').getAttribute("data-decided");
  key("s");
  r.corrections = d.getElementById("corrections-json").value;
  r.canvas = d.getElementById("proof-canvas").width;
  r.resources = w.performance.getEntriesByType("resource").map((e) => e.name);
  document.getElementById("out").textContent = JSON.stringify(r);
});
</script></body></html>)HTML";

TEST_F(ReviewPageBrowserTest, ProofreadingExportsCorrectionsThatRepairTheClip) {
  const std::string browser = chromium();
  if (browser.empty()) GTEST_SKIP() << "Chromium is not installed (scripts/setup installs it)";
  int code = 0;
  run_command(browser + chromium_flags(dir_ / "probe") + "--dump-dom about:blank 2>/dev/null", &code);
  if (code != 0) GTEST_SKIP() << "Chromium cannot start here (exit code " << code << ")";

  // The synthetic pen: the walker lies by its neighbour (their masks touch
  // in frames 31..44); the tracker exchanged them after that, and exchanged
  // Box6 and Box8 from frame 20 where no episode explains it.
  synth::SceneConfig config;
  config.seed = 5;
  config.frame_size = {590, 720};
  config.frames = 60;
  const synth::PenScene scene(config);
  const std::vector<std::string> frames = scene.write_frames(path("frames"), 0, 60);
  fs::create_directories(dir_ / "truth");
  fs::create_directories(dir_ / "tracked");
  for (int f = 0; f < 60; ++f) {
    std::vector<AnnotatedObject> truth, tracked;
    for (const auto& t : scene.truth(f)) {
      truth.push_back({t.identity + 1, t.mask});
      int id = t.identity;
      if (f > 44 && (id == 1 || id == 2)) id = 3 - id;
      if (f >= 20 && (id == 6 || id == 8)) id = 14 - id;
      tracked.push_back({id + 1, t.mask});
    }
    const std::string name = "/output_pp_" + std::to_string(f) + ".json";
    write_annotation_file(path("truth") + name, frames[static_cast<std::size_t>(f)], truth);
    write_annotation_file(path("tracked") + name, frames[static_cast<std::size_t>(f)], tracked);
  }
  std::map<std::string, std::string> before;
  for (const auto& e : fs::directory_iterator(dir_ / "tracked")) before[e.path().string()] = testing::slurp(e.path());
  const std::string page = path("page");
  const std::string printed = run_command(std::string(PELK_BINARY) + " review " + path("tracked") + " --out " + page +
                                              " --resolve 2>&1", &code);
  ASSERT_EQ(code, 0) << printed;
  // The page refers to the frames where they lie: it stays small.
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(page)) bytes += e.is_regular_file() ? e.file_size() : 0;
  EXPECT_LT(bytes, std::uintmax_t{3} << 20);

  const nlohmann::json r = run_harness(browser, page, kProofHarness, dir_ / "profile");
  ASSERT_FALSE(r.contains("error")) << r["error"];
  EXPECT_NE(r["verdict"].get<std::string>().find("Verdict: exchanged."), std::string::npos) << r["verdict"];
  EXPECT_TRUE(r["active"].get<bool>());
  EXPECT_EQ(r["overridden"], "keep");
  EXPECT_EQ(r["decided"], "exchange") << "accepting the verdict replaces the override";
  EXPECT_EQ(r["handFrame"], 20);
  EXPECT_TRUE(r["helpShown"].get<bool>());
  EXPECT_EQ(r["countBefore"], 2);
  EXPECT_EQ(r["countAfterReload"], 2) << "decisions are kept over a reload";
  EXPECT_EQ(r["decidedAfterReload"], "exchange");
  EXPECT_GT(r["canvas"].get<int>(), 100);
  for (const auto& url : r["resources"]) EXPECT_EQ(url.get<std::string>().rfind("file://", 0), 0u) << url;

  const std::string corrections = path("corrections.json");
  std::ofstream(corrections) << r["corrections"].get<std::string>();
  std::string out = run_command(std::string(PELK_BINARY) + " repair " + path("tracked") + " --apply " + corrections +
                                    " --dry-run 2>&1", &code);
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("would exchange Box6 and Box8 (object ids 7 and 9) from frame 20, Box1 and Box2 (object ids 2 and 3) from frame 45 in 40 files"), std::string::npos)
      << out;
  out = run_command(std::string(PELK_BINARY) + " evaluate " + path("tracked") + " " + path("truth") + " 2>&1", &code);
  EXPECT_EQ(out.find("IDF1 100.0%"), std::string::npos) << "the swaps are there before the corrections: " << out;
  out = run_command(std::string(PELK_BINARY) + " repair " + path("tracked") + " --apply " + corrections + " 2>&1", &code);
  ASSERT_EQ(code, 0) << out;
  out = run_command(std::string(PELK_BINARY) + " evaluate " + path("tracked") + " " + path("truth") + " 2>&1", &code);
  EXPECT_NE(out.find("IDF1 100.0%"), std::string::npos) << out;
  out = run_command(std::string(PELK_BINARY) + " repair " + path("tracked") + " --undo 2>&1", &code);
  ASSERT_EQ(code, 0) << out;
  std::map<std::string, std::string> after;
  for (const auto& e : fs::directory_iterator(dir_ / "tracked")) after[e.path().string()] = testing::slurp(e.path());
  EXPECT_EQ(after, before);

  // Screenshots for a person to look at: the page with the decisions made.
  fs::create_directories(PELK_TEST_OUTPUT_DIR);
  const std::string shot = std::string(PELK_TEST_OUTPUT_DIR) + "/review_proofreading.png";
  run_command(browser + chromium_flags(dir_ / "profile") + "--window-size=1400,1300 --screenshot=" + shot + " file://" +
                  page + "/index.html 2>/dev/null",
              &code);
  const cv::Mat picture = cv::imread(shot);
  ASSERT_FALSE(picture.empty()) << shot;
  cv::Scalar mean, spread;
  cv::meanStdDev(picture, mean, spread);
  EXPECT_GT(spread[0], 10.0);
}

}  // namespace
}  // namespace pelk
