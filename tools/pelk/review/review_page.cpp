#include "review/review_page.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <map>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "commands.hpp"
#include "model_steps.hpp"
#include "pelk_utils/annotation/corrections.hpp"
#include "pelk_utils/annotation/file_changes.hpp"
#include "pelk_utils/annotation/render.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"
#include "pelk_utils/quality/tracking_report.hpp"
#include "review/review_assets.hpp"
#include "review/review_data.hpp"

namespace pelk::cli {
namespace fs = std::filesystem;
namespace {

using nlohmann::json;

// One colour sequence for every picture of a page: an animal keeps its
// colour from frame to frame, and the page is reproducible.
constexpr std::uint32_t kReviewColourSeed = 20240405;

json cell_json(const std::optional<ReportCell>& cell) {
  if (!cell) return nullptr;
  return std::visit([](const auto& v) { return json(v); }, *cell);
}

json finite_or_null(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

std::vector<std::string> box_order(const ClipAnnotationData& clip) {
  std::vector<std::string> boxes;
  for (const auto& [key, record] : clip) {
    for (const auto& [box, mask] : record.masks_dict) {
      if (std::find(boxes.begin(), boxes.end(), box) == boxes.end()) boxes.push_back(box);
    }
  }
  return boxes;
}

// Frame keys worth a picture: every flagged frame, evenly thinned to `most`.
std::vector<int> pictured_frames(const std::vector<int>& status, int most) {
  std::vector<int> flagged;
  for (std::size_t k = 0; k < status.size(); ++k) {
    if (status[k] != 0) flagged.push_back(static_cast<int>(k));
  }
  if (static_cast<int>(flagged.size()) <= most) return flagged;
  std::vector<int> chosen;
  for (int i = 0; i < most; ++i) chosen.push_back(flagged[static_cast<std::size_t>(i) * flagged.size() / static_cast<std::size_t>(most)]);
  return chosen;
}

std::string frame_notes(int frame, const TrackingReport& report) {
  std::string notes;
  for (const ReportRow& r : report.overlap_frames_data) {
    if (r.frame_id == frame) notes += (notes.empty() ? "" : "; ") + *r.box_pair + " " + format_number(*r.intersection_value) + "%";
  }
  for (const ReportRow& r : report.zero_area_frames) {
    if (r.frame_id == frame) notes += (notes.empty() ? "" : "; ") + *r.box_id + " vanished";
  }
  return notes;
}

json resolution_json(const OverlapResolution& r) {
  json frames = json::array();
  for (std::size_t i = 0; i < r.frame_scores.size(); ++i) {
    json scores = json::array();
    for (double s : r.frame_scores[i].mismatch_scores) scores.push_back(finite_or_null(s));
    frames.push_back({{"frame", r.frame_scores[i].frame}, {"scores", scores}, {"worst", r.worst_boxes[i]}});
  }
  json out = {{"boxes", r.test_boxes}, {"frames", frames}};
  out["test_frame"] = r.test_frame ? json(*r.test_frame) : json(nullptr);
  out["reference_frame"] = r.reference_frame ? json(*r.reference_frame) : json(nullptr);
  out["box"] = r.most_frequent_box ? json(*r.most_frequent_box) : json(nullptr);
  out["message"] = r.test_frame ? "every compared frame lies outside the clip" : "no overlap episode has a first frame";
  return out;
}

json measures_json(const TrackingMeasures& m) {
  json identities = json::array();
  for (const IdentityRecord& r : m.identities) {
    identities.push_back({r.truth_box, r.frames, r.tracked, r.assigned_box, r.own_identity, r.other_identity,
                          r.most_other_box});
  }
  return {{"hota", m.hota.hota}, {"deta", m.hota.deta}, {"assa", m.hota.assa}, {"idf1", m.idf1}, {"idp", m.id_precision}, {"idr", m.id_recall}, {"mota", m.mota},
          {"switches", m.id_switches}, {"misses", m.misses}, {"false_positives", m.false_positives},
          {"mean_iou", m.mean_iou}, {"frames", m.frames}, {"identities", identities}};
}

// The outline of a mask as flat [x0, y0, x1, y1, ...] polygons in frame
// pixels, simplified to within one pixel: the page draws them itself.
json outline(const Mask& mask) {
  json polygons = json::array();
  if (mask.empty()) return polygons;
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask.roi().clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, mask.bounds().tl());
  for (const auto& contour : contours) {
    std::vector<cv::Point> simple;
    cv::approxPolyDP(contour, simple, 1.0, true);
    json flat = json::array();
    for (const cv::Point& p : simple) flat.push_back(p.x), flat.push_back(p.y);
    polygons.push_back(flat);
  }
  return polygons;
}

// Every frame for proofreading: its image where it lies (a path relative to
// the page, not a copy) and each box's outline.
json proof_frames(const ClipAnnotationData& clip, const fs::path& page) {
  json frames = json::array();
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(fs::absolute(page), ec);
  for (const auto& [key, record] : clip) {
    json boxes = json::object();
    cv::Size size;
    for (const auto& [box, mask] : record.masks_dict) {
      boxes[box] = outline(mask);
      size = mask.size();
    }
    const fs::path image = fs::weakly_canonical(fs::absolute(record.image_path), ec);
    const std::string relative = fs::exists(image, ec) ? image.lexically_relative(base).generic_string() : std::string();
    frames.push_back({{"image", relative.empty() ? json(nullptr) : json(relative)},
                      {"width", size.width}, {"height", size.height}, {"boxes", boxes}});
  }
  return frames;
}

// (Names spelled here: the model-free program does not link the repair.)
const char* kind_words(EpisodeKind kind) {
  return kind == EpisodeKind::kOverlap ? "overlap" : kind == EpisodeKind::kShortOverlap ? "short overlap" : "contact";
}

json decision_json(const SwapDecision& d) {
  return {{"boxes", {d.episode.box_a, d.episode.box_b}},
          {"kind", kind_words(d.episode.kind)},
          {"first", d.episode.first_frame},
          {"last", d.episode.last_frame},
          {"before", d.before_frame ? json(*d.before_frame) : json(nullptr)},
          {"after", d.after_frame ? json(*d.after_frame) : json(nullptr)},
          {"verdict", d.verdict == SwapVerdict::kSwap ? "exchanged" : d.verdict == SwapVerdict::kKeep ? "kept" : "unclear"},
          {"reason", d.reason},
          {"keep_cost", finite_or_null(d.keep_cost)},
          {"swap_cost", finite_or_null(d.swap_cost)},
          {"pile", d.pile}};
}

// Removes the pictures an earlier page of this folder wrote (frame_NNNN.jpg,
// heat_NNNN.png): the page now draws them, and stale copies would only
// make the folder larger.
void remove_old_pictures(const fs::path& frames) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(frames, ec)) {
    const std::string name = entry.path().filename().string();
    const bool ours = (name.rfind("frame_", 0) == 0 && name.ends_with(".jpg")) ||
                      (name.rfind("heat_", 0) == 0 && name.ends_with(".png"));
    if (ours && entry.is_regular_file(ec)) fs::remove(entry.path(), ec);
  }
}

// A frame's intersections table for the page's heat map: the keys and the
// rows of percentages (cell r, c: share of mask r covered by mask c).
json heat_json(const IntersectionsTable& table) {
  json rows = json::array();
  for (std::size_t r = 0; r < table.size(); ++r) {
    json row = json::array();
    for (std::size_t c = 0; c < table.size(); ++c) row.push_back(finite_or_null(table.at(r, c)));
    rows.push_back(row);
  }
  return {{"keys", table.keys()}, {"values", rows}};
}

void write_text(const fs::path& path, const std::string& text) {
  write_file_atomically(path.string(), text, AtomicWriteOptions{.sync = false});
}

}  // namespace

// Copies the behaviour plots of `dir` beside the page (it must stay whole
// when mailed or moved) and returns their list for the Behaviour section.
json behaviour_json(const std::string& dir, const fs::path& out) {
  static const std::vector<std::pair<std::string, std::string>> kPlots = {
      {"paths.png", "every animal's path over the pen"},
      {"activity.png", "time active per bin, one line per animal"},
      {"size.png", "median mask area per bin (a size index)"},
      {"zones.png", "time in each zone per animal"},
      {"contacts.png", "contact time of every pair"},
      {"summary.csv", ""}};
  json plots = json::array(), files = json::array();
  fs::create_directories(out / "behaviour");
  for (const auto& [name, caption] : kPlots) {
    const fs::path from = fs::path(dir) / name;
    if (!fs::exists(from)) continue;
    std::ifstream in(from, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in) throw std::runtime_error("cannot read " + from.string());
    write_file_atomically((out / "behaviour" / name).string(), bytes, AtomicWriteOptions{.sync = false});
    (caption.empty() ? files : plots).push_back({{"src", "behaviour/" + name}, {"caption", caption}});
  }
  if (plots.empty()) {
    throw std::invalid_argument("--behaviour: no behaviour plots in '" + dir + "' (pelk behaviour --out writes them)");
  }
  return {{"plots", plots}, {"files", files}, {"from", dir}};
}

std::string write_review_page(const ReviewOptions& o) {
  AnnotationData loaded;
  quietly([&] { loaded = whole_clip_data(o.clip); });
  if (!loaded.pelk_annotation_data) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + o.clip + "'");
  const ClipAnnotationData& clip = *loaded.pelk_annotation_data;
  const fs::path out = o.out.empty() ? fs::path(o.clip) / "review" : fs::path(o.out);
  fs::create_directories(out / "frames");
  remove_old_pictures(out / "frames");
  TrackingReport report;
  quietly([&] { report = generate_tracking_report(clip, out.string()); });

  const std::vector<std::string> boxes = box_order(clip);
  json areas = json::object();
  for (const std::string& box : boxes) {
    json values = json::array();
    for (const auto& [key, record] : clip) values.push_back(record.mask_areas.contains(box) ? record.mask_areas.at(box) : 0);
    areas[box] = values;
  }
  std::vector<int> status(clip.size(), 0);
  for (int k : report.overlap_frames) status[static_cast<std::size_t>(k)] |= 1;
  for (const ReportRow& r : report.zero_area_frames) status[static_cast<std::size_t>(r.frame_id)] |= 2;
  json episodes = json::array();
  for (const auto& [pair, runs] : find_continuous_frames(report.overlap_frames_data, "Box Pair", 3)) {
    for (const auto& run : runs) episodes.push_back({{"pair", std::get<std::string>(pair)}, {"first", run.front()}, {"last", run.back()}});
  }

  // Flagged frames are drawn by the page: the masks from the outlines over
  // the frame image it references (as proofreading draws them) and the heat
  // map from the intersections table. Only a frame whose image the page
  // cannot reach but this program can read gets an annotated picture file.
  const json proof = proof_frames(clip, out);
  json flagged = json::array();
  const std::vector<int> pictured = pictured_frames(status, o.max_flagged);
  Progress progress("flagged frames", pictured.size());
  for (int k : pictured) {
    const FrameRecord& record = clip.at(k);
    json annotated = nullptr;
    std::error_code ec;
    if (proof.at(static_cast<std::size_t>(k)).at("image").is_null() && fs::is_regular_file(record.image_path, ec)) {
      char name[64];
      std::snprintf(name, sizeof(name), "frames/frame_%04d.jpg", k);
      annotated = name;
      retrieve_annotation_seeded(record.json_path, (out / name).string(), true, kReviewColourSeed);
    }
    flagged.push_back({{"frame", k}, {"annotated", annotated}, {"heat", heat_json(*record.intersections_df)},
                       {"notes", frame_notes(k, report)}});
    progress.step();
  }

  json rows = json::array();
  for (const auto* group : {&report.overlap_frames_data, &report.zero_area_frames}) {
    for (const ReportRow& r : *group) {
      json row = json::array();
      for (const std::string& column : kReportColumns) row.push_back(cell_json(r.column(column)));
      rows.push_back(row);
    }
  }
  json data = {{"clip", fs::path(o.clip).lexically_normal().filename().string().empty()
                            ? o.clip : fs::path(o.clip).lexically_normal().filename().string()},
               {"frames", clip.size()},
               {"boxes", boxes},
               {"areas", areas},
               {"frame_status", status},
               {"episodes", episodes},
               {"flagged", flagged},
               {"columns", kReportColumns},
               {"rows", rows},
               {"resolution", nullptr},
               {"downloads", json::array()},
               {"fingerprint", clip_fingerprint(clip)},
               {"proof", proof},
               {"verdicts", nullptr}};
  if (fs::exists(out / kReportFileName)) data["downloads"].push_back(kReportFileName);
  // What changed these files' identities, in the changes' own words: the
  // day chain's boundary verdict and the repair's, each undone apart.
  data["identity_changes"] = json::array();
  for (const auto& [name, set] : {std::pair{"day chain", &kChainChanges}, std::pair{"repair", &kRepairChanges}}) {
    const RepairStatus status = repair_status(o.clip, *set);
    if (status.state == RepairState::kNone) continue;
    data["identity_changes"].push_back({{"kind", name},
                                        {"applied", status.state == RepairState::kApplied},
                                        {"files", status.files},
                                        {"description", status.description},
                                        {"undo", set->undo_command}});
  }
  data["measures"] = nullptr;
  if (!o.truth.empty()) {
    AnnotationData truth;
    quietly([&] { truth = whole_clip_data(o.truth); });
    if (!truth.pelk_annotation_data) throw std::invalid_argument("no annotation files in the truth folder '" + o.truth + "'");
    data["measures"] = measures_json(evaluate_tracking(clip, *truth.pelk_annotation_data));
  }
  if (o.resolve) {
    Models models = load_models(o.models);
    if (!report.overlap_frames_data.empty()) {
      data["resolution"] = resolution_json(resolve_overlaps(report.overlap_frames_data, clip, models, 2));
    }
    // The repair's verdicts are the starting point of proofreading.
    json verdicts = json::array();
    for (const SwapDecision& d : decide_episodes(clip, models)) verdicts.push_back(decision_json(d));
    data["verdicts"] = verdicts;
  }
  data["behaviour"] = o.behaviour.empty() ? json(nullptr) : behaviour_json(o.behaviour, out);
  write_text(out / "data.js", review_data_script(data));
  write_text(out / "index.html", review_assets::kIndexHtml);
  write_text(out / "review.css", review_assets::kReviewCss);
  write_text(out / "review.js", review_assets::kReviewJs);
  return (out / "index.html").string();
}

void add_review_command(CLI::App& app) {
  auto o = std::make_shared<ReviewOptions>();
  CLI::App* c = app.add_subcommand(
      "review", "Write a clip's review page: a static index.html (open it from disk, no server) with the timeline of "
                "flagged frames, mask areas per box, flagged frames drawn with their masks and intersection heat maps, "
                "proofreading of every frame (with --resolve the repair's verdicts as decision cards), and the report "
                "table");
  c->add_option("clip", o->clip, "Annotation folder of the clip")->required()->check(CLI::ExistingDirectory);
  c->add_option("--out", o->out, "Folder of the page (default: <clip>/review)");
  c->add_flag("--resolve", o->resolve, "Add the overlap resolution (voted box and per-frame mismatch scores)");
  c->add_option("--truth", o->truth, "Annotation folder of the clip's truth: adds IDF1, MOTA, identity switches and "
                                     "the per-animal table")->check(CLI::ExistingDirectory);
  c->add_option("--max-flagged", o->max_flagged, "Pictures for at most this many flagged frames")->capture_default_str();
  c->add_option("--behaviour", o->behaviour, "Folder of pelk behaviour's outputs: adds a Behaviour section with its "
                                             "plots (copied beside the page)")
      ->check(CLI::ExistingDirectory);
  add_model_options(*c, o->models, false);
  c->callback([o] { std::cout << "review page: " << write_review_page(*o) << "\n"; });
}

}  // namespace pelk::cli
