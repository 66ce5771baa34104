// pelk demo: the whole road on a synthetic pen recording, checked against
// the scene's truth. Synthesise two clips as a camera file -> catalogue ->
// frame extraction -> clip initializer -> tracking -> clip loader ->
// tracking report -> overlap resolution -> cleaning -> matcher into the
// second clip -> review pictures.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <map>
#include <set>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "commands.hpp"
#include "review/review_page.hpp"
#include "pelk_utils/analytics/heatmap.hpp"
#include "pelk_utils/behaviour/behaviour.hpp"
#include "pelk_utils/behaviour/behaviour_plots.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/render.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/detect/initializer.hpp"
#include "pelk_utils/matching/matcher.hpp"
#include "pelk_utils/matching/overlap_resolution.hpp"
#include "pelk_utils/matching/similarity.hpp"
#include "pelk_utils/annotation/identity_swap.hpp"
#include "pelk_utils/matching/day_chain.hpp"
#include "pelk_utils/matching/identity_repair.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"
#include "pelk_utils/quality/tracking_report.hpp"
#include "pelk_utils/refine/mask_refinement.hpp"
#include "pelk_utils/synth/pen_scene.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"
#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/video/catalogue.hpp"
#include "pelk_utils/video/video_processor.hpp"

namespace pelk::cli {
namespace fs = std::filesystem;
namespace {

struct DemoOptions {
  std::string out = "pelk_demo";
  int frames = 100;  // per clip
  std::uint64_t seed = 1;
};

// Prints one step line with its timing.
class Step {
 public:
  explicit Step(std::string name) : name_(std::move(name)), start_(std::chrono::steady_clock::now()) {}
  void done(const std::string& figures) {
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::printf("%-22s %-70s %8s\n", name_.c_str(), figures.c_str(), seconds_text(s).c_str());
    std::fflush(stdout);
  }

 private:
  std::string name_;
  std::chrono::steady_clock::time_point start_;
};

synth::SceneConfig scene_config(const DemoOptions& o) {
  synth::SceneConfig c;
  c.seed = o.seed;
  const int n = o.frames;
  c.frames = 2 * n;
  c.overlap = {n / 5, n / 5 + std::max(16, n * 24 / 100)};
  c.vanish = {n * 60 / 100, n * 60 / 100 + std::max(5, n * 8 / 100)};
  c.split = {n * 72 / 100, n * 72 / 100 + std::max(6, n * 14 / 100)};
  return c;
}

// Returns, per mask, the truth identity it overlaps most (-1 for none).
std::vector<int> identities_of(const std::vector<Mask>& masks, const std::vector<synth::AnimalTruth>& truth) {
  std::vector<Mask> truth_masks;
  for (const auto& t : truth) truth_masks.push_back(t.mask);
  const cv::Mat1d iou = cal_masks_iou_scores(masks, truth_masks);
  std::vector<int> out;
  for (int i = 0; i < iou.rows; ++i) {
    cv::Point best;
    double value = 0;
    cv::minMaxLoc(iou.row(i), nullptr, &value, nullptr, &best);
    out.push_back(value > 0.3 ? best.x : -1);
  }
  return out;
}

std::string list_text(const std::vector<std::string>& items) {
  std::string s;
  for (const auto& i : items) s += (s.empty() ? "" : ", ") + i;
  return s;
}

// Where the running pelk is (the program the user typed): beside this one.
std::string pelk_path() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "pelk";
  const fs::path beside = self.parent_path() / "pelk";
  if (fs::exists(beside, ec)) return beside.string();
  const fs::path installed = self.parent_path().parent_path().parent_path() / "bin" / "pelk";
  return fs::exists(installed, ec) ? installed.string() : std::string("pelk");
}

// Returns the whole file at `path`; throws std::runtime_error naming it.
std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read '" + path + "'");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void run(const DemoOptions& o) {
  if (o.frames < 40) throw std::invalid_argument("--frames must be at least 40 per clip (the events need room)");
  const fs::path out = fs::absolute(o.out);
  // A fresh run: the demo's own sub-folders of an earlier run are removed
  // (extraction would otherwise skip its finished ranges); nothing else is.
  for (const char* own : {"videos", "frames", "pen_polygons", "annotations", "review"}) fs::remove_all(out / own);
  fs::create_directories(out);
  std::printf("pelk demo: two synthetic clips of %d frames, everything under %s\n\n", o.frames, out.string().c_str());
  int checks_failed = 0;
  const auto check = [&](bool ok, const std::string& what) {
    std::printf("  check: %-60s %s\n", what.c_str(), ok ? "ok" : "FAILED");
    checks_failed += !ok;
  };

  Step synth_step("synthesise");
  const synth::PenScene scene(scene_config(o));
  const std::string video = scene.write_camera_video((out / "videos" / "cam62").string());
  const std::string pen = (out / "pen_polygons" / "Cam62.json").string();
  fs::create_directories(out / "pen_polygons");
  scene.write_pen_file(pen);
  synth_step.done(std::to_string(2 * o.frames) + " frames 2560x1440, " + fs::path(video).filename().string());

  Step catalogue_step("catalogue");
  VideoMetadata metadata{.base_dir = (out / "videos").string(), .sub_dirs = {"cam62"}};
  metadata.sample_step = 1;
  CatalogueTable table;
  quietly([&] { table = metadata.get_filtered_video_dataframe(); });
  if (table.size() != 1) throw std::runtime_error("the catalogue found " + std::to_string(table.size()) + " recordings, expected 1");
  catalogue_step.done("1 recording: camera " + table[0].camera_number + ", " + table[0].date + " " + table[0].time);

  Step extract_step("frame extraction");
  VideoProcessor extractor;
  extractor.output_dir_base = (out / "frames").string();
  extractor.time_step = Number(o.frames / scene.config().fps / 60.0);
  quietly([&] { extractor.process_videos_to_frames(table); });
  std::vector<fs::path> ranges;
  for (const auto& e : fs::directory_iterator(out / "frames" / table[0].date / table[0].video_name)) {
    if (e.path().extension() != ".partial") ranges.push_back(e.path());
  }
  std::sort(ranges.begin(), ranges.end(), [](const fs::path& a, const fs::path& b) {
    return std::stod(a.filename().string()) < std::stod(b.filename().string());
  });
  if (ranges.size() != 2) throw std::runtime_error("extraction made " + std::to_string(ranges.size()) + " ranges, expected 2");
  const std::vector<std::string> clip1 = frame_files((ranges[0] / "right_cropped_frames").string());
  const std::vector<std::string> clip2 = frame_files((ranges[1] / "right_cropped_frames").string());
  const auto crop = extractor.camera_crop_coords.find(table[0].camera_number);
  extract_step.done(std::to_string(clip1.size()) + " + " + std::to_string(clip2.size()) + " frames" +
                    (crop == extractor.camera_crop_coords.end() ? std::string()
                                                                : ", crop x " + std::to_string(crop->second.x1) + ".." +
                                                                      std::to_string(crop->second.x2)));
  // Saved frame k of a range is video frame start + 1 + k (the range's first
  // frame is read for the crop and not saved).
  const auto truth1 = [&](std::size_t k) { return scene.truth(static_cast<int>(k) + 1); };
  const auto truth2 = [&](std::size_t k) { return scene.truth(o.frames + static_cast<int>(k) + 1); };

  Models models = load_models(ModelOptions{});
  Step init_step("clip initializer");
  std::optional<InitializedClip> start;
  quietly([&] { start = initializer(clip1.front(), clip1, *models.processor, *models.grounding, "cpu", *models.predictor, 0, 10, 0.25, 10, pen); });
  if (!start) throw std::runtime_error("the clip initializer found no frame with ten animals apart");
  const std::string initial_picture = (out / "review" / "initial_frame.png").string();
  fs::create_directories(out / "review");
  write_image_file_atomically(initial_picture, start->annotated_frame);
  const std::vector<int> start_ids = identities_of(start->masks, truth1(static_cast<std::size_t>(start->ann_frame_idx)));
  init_step.done("frame " + std::to_string(start->ann_frame_idx) + ": " + std::to_string(start->masks.size()) + " animals named Box0..Box" +
                 std::to_string(start->masks.size() - 1));
  std::set<int> distinct(start_ids.begin(), start_ids.end());
  check(start->masks.size() == 10 && distinct.size() == 10 && !distinct.count(-1), "the initializer found each of the ten animals once");

  Step track_step("tracking (stand-in)");
  const std::string ann1 = (out / "annotations" / "clip1").string();
  const std::size_t tracked = track_and_write(clip1, static_cast<std::size_t>(start->ann_frame_idx), start->masks, models, ann1);
  track_step.done(std::to_string(tracked) + " annotation files in annotations/clip1");

  Step load_step("clip loader");
  AnnotationData data;
  quietly([&] { data = get_pelk_annotation_data("", false, 0, ann1); });
  ClipAnnotationData& clip = *data.pelk_annotation_data;
  load_step.done(std::to_string(clip.size()) + " frames, " + std::to_string(clip.begin()->second.masks_dict.size()) + " masks each");

  Step evaluate_step("tracking vs truth");
  ClipAnnotationData truth_clip;
  for (const auto& [key, record] : clip) {
    FrameRecord t;
    t.frame_index = record.frame_index;
    for (const auto& a : truth1(static_cast<std::size_t>(record.frame_index))) {
      t.masks_dict.insert_or_assign("Animal" + std::to_string(a.identity), a.mask);
    }
    truth_clip.emplace(key, std::move(t));
  }
  const TrackingMeasures measures = evaluate_tracking(clip, truth_clip);
  char measured[200];
  std::snprintf(measured, sizeof(measured), "HOTA %.1f%%, IDF1 %.1f%%, MOTA %.1f%%, %lld identity switches, MOTP %.3f",
                100 * measures.hota.hota, 100 * measures.idf1, 100 * measures.mota,
                static_cast<long long>(measures.id_switches), measures.mean_iou);
  evaluate_step.done(measured);

  Step repair_step("identity repair");
  std::vector<SwapDecision> decisions;
  quietly([&] { decisions = decide_identity_swaps(clip, *models.predictor); });
  const std::vector<IdentitySwap> swaps = swaps_of(decisions);
  double idf1_after = measures.idf1;
  if (!swaps.empty()) {
    apply_file_changes(ann1, plan_identity_swaps(clip, swaps), "pelk demo");
    quietly([&] { data = get_pelk_annotation_data("", false, 0, ann1); });
    idf1_after = evaluate_tracking(*data.pelk_annotation_data, truth_clip).idf1;
  }
  char idf1_change[80];
  std::snprintf(idf1_change, sizeof(idf1_change), "; IDF1 %.1f%% -> %.1f%%", 100 * measures.idf1, 100 * idf1_after);
  repair_step.done(counted(decisions.size(), "episode") + ", " + counted(swaps.size(), "exchange") + " undone" + idf1_change);

  // Which box follows which animal, from the starting frame.
  std::map<std::string, int> box_identity;
  for (std::size_t i = 0; i < start_ids.size(); ++i) box_identity["Box" + std::to_string(i)] = start_ids[i];
  const auto box_of = [&](int identity) {
    for (const auto& [box, id] : box_identity) if (id == identity) return box;
    return std::string("?");
  };

  Step report_step("tracking report");
  TrackingReport report;
  quietly([&] { report = generate_tracking_report(clip, ann1); });
  std::set<std::string> overlap_pairs, vanished_boxes;
  for (const ReportRow& r : report.overlap_frames_data) overlap_pairs.insert(*r.box_pair);
  for (const ReportRow& r : report.zero_area_frames) vanished_boxes.insert(*r.box_id);
  report_step.done(std::to_string(report.overlap_frames.size()) + " overlap frames (" + list_text({overlap_pairs.begin(), overlap_pairs.end()}) +
                   "), vanished: " + list_text({vanished_boxes.begin(), vanished_boxes.end()}));
  using synth::SceneConfig;
  const std::string walker = box_of(SceneConfig::kWalker), under = box_of(SceneConfig::kUnder);
  const std::string leaver = box_of(SceneConfig::kLeaver);
  check(overlap_pairs.count(walker + "-" + under) || overlap_pairs.count(under + "-" + walker),
        "the report found one animal lying on another (" + walker + " on " + under + ")");
  check(vanished_boxes.count(leaver) == 1, "the report found the animal that left the view (" + leaver + ")");

  // Folders to try the identity tools on: the scene's truth under the box
  // keys that follow each animal, and a copy of the clip into which an
  // exchange of the overlapping pair was written as a tracker's fault, from
  // the frame after their episode.
  Step try_step("folders to try");
  const std::string ann1_truth = (out / "annotations" / "clip1_truth").string();
  const std::string ann1_swapped = (out / "annotations" / "clip1_swapped").string();
  fs::create_directories(ann1_truth);
  fs::create_directories(ann1_swapped);
  for (const auto& [key, record] : clip) {
    std::vector<AnnotatedObject> objects;
    for (const auto& a : truth1(static_cast<std::size_t>(record.frame_index))) {
      const std::string box = box_of(a.identity);
      if (box != "?") objects.push_back({std::stoll(box.substr(3)) + 1, a.mask});
    }
    write_annotation_file(annotation_path(ann1_truth, static_cast<std::size_t>(key)), record.image_path, objects);
  }
  int swap_from = static_cast<int>(clip.size());
  for (const auto& [pair, runs] : find_continuous_frames(report.overlap_frames_data, "Box Pair", 3)) {
    if (std::get<std::string>(pair) == walker + "-" + under && !runs.empty()) swap_from = runs.front().back() + 1;
  }
  const std::int64_t walker_id = std::stoll(walker.substr(3)) + 1, under_id = std::stoll(under.substr(3)) + 1;
  for (const auto& [key, record] : clip) {
    const std::string text = read_text_file(record.json_path);
    write_file_atomically((fs::path(ann1_swapped) / fs::path(record.json_path).filename()).string(),
                          key >= swap_from ? swap_object_ids(text, walker_id, under_id, record.json_path) : text,
                          AtomicWriteOptions{.sync = false});
  }
  AnnotationData swapped_data;
  quietly([&] { swapped_data = get_pelk_annotation_data("", false, 0, ann1_swapped); });
  std::vector<SwapDecision> swapped_decisions;
  quietly([&] { swapped_decisions = decide_identity_swaps(*swapped_data.pelk_annotation_data, *models.predictor); });
  bool found = false;
  for (const IdentitySwap& s : swaps_of(swapped_decisions)) {
    found = found || (std::min(s.object_a, s.object_b) == std::min(walker_id, under_id) &&
                      std::max(s.object_a, s.object_b) == std::max(walker_id, under_id));
  }
  try_step.done("clip1_truth; clip1_swapped (" + walker + " and " + under + " exchanged from frame " +
                std::to_string(swap_from) + ")");
  check(found, "the repair finds the exchange written into clip1_swapped");

  Step resolve_step("overlap resolution");
  OverlapResolution resolution;
  if (!report.overlap_frames_data.empty()) {
    quietly([&] { resolution = process_overlap_frames(report.overlap_frames_data, clip, *models.predictor); });
  }
  const bool voted_pair = resolution.most_frequent_box && (*resolution.most_frequent_box == box_of(synth::SceneConfig::kWalker) ||
                                                            *resolution.most_frequent_box == box_of(synth::SceneConfig::kUnder));
  resolve_step.done(resolution.most_frequent_box ? "episode from frame " + std::to_string(*resolution.test_frame) + ": " +
                                                       *resolution.most_frequent_box + " voted (" +
                                                       std::to_string(resolution.worst_boxes.size()) + " frames)"
                                                 : std::string("no episode to resolve"));
  check(voted_pair, "the overlap resolution voted a box of the overlapping pair");

  Step clean_step("segment cleaning");
  TrackedFrames cleaned = tracked_clip_of(clip);
  Mask_Refinement refine(0.3, {0.5, 1.5}, 200, pen);
  quietly([&] { refine.process_video_segments(cleaned.segments, ann1, cleaned.frame_names); });
  const std::string ann1_clean = (out / "annotations" / "clip1_clean").string();
  const std::size_t changed = write_tracked_clip(cleaned.segments, clip, [&](const FrameRecord& record) {
    return (fs::path(ann1_clean) / fs::path(record.json_path).filename()).string();
  });
  clean_step.done(std::to_string(changed) + " of " + std::to_string(clip.size() * 10) + " masks changed; annotations/clip1_clean");

  Step match_step("matcher into clip 2");
  MatchResult match;
  quietly([&] { match = matcher(clip, clip2, 0, models.predictor.get()); });
  int carried = 0;
  if (!match.no_best_laste_frame) {
    const std::vector<int> ids = identities_of(*match.masks, truth2(0));
    for (std::size_t i = 0; i < ids.size(); ++i) carried += ids[i] >= 0 && ids[i] == box_identity[(*match.keep_box)[i]];
    std::vector<AnnotatedObject> annotated;
    // Under the keys they carried, so clip 2 continues clip 1's identities.
    for (std::size_t i = 0; i < match.masks->size(); ++i) {
      annotated.push_back({object_id_of_key((*match.keep_box)[i]), (*match.masks)[i]});
    }
    fs::create_directories(out / "annotations" / "clip2");
    write_annotation_file(annotation_path((out / "annotations" / "clip2").string(), 0), clip2[0], annotated);
  }
  match_step.done(match.no_best_laste_frame ? std::string("failed") : "from frame key " + std::to_string(match.best_laste_frame->frame_index) +
                                                                          ": " + std::to_string(carried) + " of 10 identities carried");
  check(carried == 10, "the matcher carried the ten identities into clip 2");

  // Clip 2 tracked on its own, as a day's clips are (its initializer numbers
  // the animals its own way), then chained: the day's identities are clip
  // 1's, decided at the boundary from the masks on both sides.
  Step chain_step("day chain of both clips");
  std::optional<InitializedClip> start2;
  quietly([&] { start2 = initializer(clip2.front(), clip2, *models.processor, *models.grounding, "cpu", *models.predictor, 0, 10, 0.25, 10, pen); });
  if (!start2) throw std::runtime_error("the clip initializer found no frame with ten animals apart in clip 2");
  const std::string ann2_own = (out / "annotations" / "clip2_own").string();
  fs::remove_all(ann2_own);
  track_from(clip2, static_cast<std::size_t>(start2->ann_frame_idx), [&] {
    std::vector<std::int64_t> ids;
    for (std::size_t i = 0; i < start2->masks.size(); ++i) ids.push_back(static_cast<std::int64_t>(start2->masks.size() - i));
    return ids;  // the other way round from clip 1's numbering
  }(), start2->masks, models, ann2_own, true);
  ChainSettings chain_settings;
  chain_settings.recording_rates = recording_rates((out / "videos").string());
  DayChain day;
  quietly([&] { day = chain_clips({ann1, ann2_own}, *models.predictor, chain_settings); });
  int chained_right = 0, chained_tracks = 0;
  {
    const ClipAnnotationData own = load_clip_masks(ann2_own, true);
    const FrameRecord& first = own.begin()->second;
    std::vector<Mask> masks;
    std::vector<std::string> keys;
    for (const auto& [box, mask] : first.masks_dict) masks.push_back(mask), keys.push_back(box);
    const std::vector<int> ids = identities_of(masks, truth2(static_cast<std::size_t>(own.begin()->first)));
    for (std::size_t i = 0; i < ids.size(); ++i) {
      ++chained_tracks;
      chained_right += box_identity.contains(keys[i]) && ids[i] == box_identity.at(keys[i]);
    }
  }
  const ChainBoundary& boundary = day.boundaries.at(0);
  chain_step.done(boundary.kind_reason + ", " + boundary.verdict() + ": " + std::to_string(chained_right) + " of " +
                  std::to_string(chained_tracks) + " tracks of annotations/clip2_own under clip 1's identities; " +
                  counted(day.files_changed, "file") + " relabelled");
  check(chained_right == 10 && chained_tracks == 10, "the day chain put clip 2's own tracks under clip 1's identities");

  // Every animal's path over both clips, against the scene's truth where the
  // animal is apart from the others (a touching mask shares pixels).
  // The stand-in models are not exact (the built-in segmenter's masks of two
  // animals sit 2.6 px off their true centroid in every frame, and the
  // tracker loses the leaver): the check is on the median, the figure says
  // how many points lie within 2 px. The table itself is checked exactly by
  // the tests.
  Step tracks_step("tracks of both clips");
  const std::string tracks_csv = (out / "tracks.csv").string();
  const std::vector<std::string> both = {ann1, (out / "annotations" / "clip2").string()};
  TracksOptions track_options;
  track_options.times.recording_rates = recording_rates((out / "videos").string());
  write_tracks_csv(both, track_options, tracks_csv);
  std::size_t compared = 0, within = 0, lost = 0;
  std::vector<double> errors;
  std::map<std::pair<bool, int>, std::vector<synth::AnimalTruth>> truths;  // rendered once per frame
  for_each_track_row(both, track_options, [&](const TrackRow& r) {
    if (!r.shape || !box_identity.contains(r.identity)) return;
    const bool first_clip = *r.clip == ann1;
    auto found = truths.find({first_clip, r.frame_key});
    if (found == truths.end()) {
      const auto k = static_cast<std::size_t>(r.frame_key);
      found = truths.emplace(std::pair{first_clip, r.frame_key}, first_clip ? truth1(k) : truth2(k)).first;
    }
    const std::vector<synth::AnimalTruth>& truth = found->second;
    const synth::AnimalTruth* mine = nullptr;
    for (const auto& a : truth) mine = a.identity == box_identity.at(r.identity) ? &a : mine;
    if (mine == nullptr || mine->mask.empty()) return;
    // Apart: no other animal within 5 px, and wholly inside the view.
    const cv::Size size = mine->mask.size();
    if (mine->box[0] <= 0 || mine->box[1] <= 0 || mine->box[2] >= size.width - 1 || mine->box[3] >= size.height - 1) return;
    cv::Mat1b grown;
    cv::dilate(mine->mask.full(), grown, cv::Mat(), cv::Point(-1, -1), 5);
    const Mask near(grown);
    for (const auto& a : truth) {
      if (&a != mine && intersection_area(a.mask, near) > 0) return;
    }
    // Where the stand-in tracker lost the animal (the leaver's stale mask),
    // the table cannot be right about it: those points are counted apart.
    const Box tracked_box{r.shape->box[0], r.shape->box[1], r.shape->box[2] + 1, r.shape->box[3] + 1};
    const Box true_box{mine->box[0], mine->box[1], mine->box[2] + 1, mine->box[3] + 1};
    if (calculate_iou(tracked_box, true_box) < 0.7) {
      ++lost;
      return;
    }
    const auto expected = shape_of(mine->mask);
    const double error = std::hypot(r.shape->centroid_x - expected->centroid_x, r.shape->centroid_y - expected->centroid_y);
    errors.push_back(error);
    ++compared;
    within += error <= 2.0;
  });
  std::sort(errors.begin(), errors.end());
  const double median = errors.empty() ? 0 : errors[errors.size() / 2];
  char figures[96];
  std::snprintf(figures, sizeof(figures), "%zu of %zu points within 2 px, median %.2f px (%zu lost)", within, compared, median,
                lost);
  tracks_step.done(std::string(figures) + "; tracks.csv");
  check(compared > 0 && median <= 2.0, "the paths lie within 2 px of the true centroids (median, apart)");

  // Behaviour of both clips, and of clip 1 beside the same measures of its
  // truth: the stand-in models' masks must give the truth's distances,
  // activity, zone time and the overlapping pair's contact.
  Step behaviour_step("behaviour of both clips");
  const std::string zones_json = (out / "zones.json").string();
  write_file_atomically(zones_json, R"({"shapes": [{"label": "feeder", "points": [[480, 400], [800, 400], [800, 720], [480, 720]]}]})");
  BehaviourOptions behaviour_options;
  behaviour_options.times = track_options.times;
  behaviour_options.zones = read_zones(zones_json);
  behaviour_options.bin_seconds = 60;
  const std::string behaviour_dir = (out / "behaviour").string();
  BehaviourResult both_behaviour;
  quietly([&] { both_behaviour = behaviour(both, behaviour_options); });
  write_behaviour_csvs(both_behaviour, behaviour_dir);
  const std::size_t plots = write_behaviour_plots(both_behaviour, behaviour_dir).size();
  BehaviourResult tracked1, truth1_behaviour;
  quietly([&] {
    tracked1 = behaviour({ann1}, behaviour_options);
    truth1_behaviour = behaviour({ann1_truth}, behaviour_options);
  });
  std::map<std::string, const AnimalSummary*> true_of;
  for (const AnimalSummary& a : truth1_behaviour.summary) true_of[a.animal] = &a;
  // Animals of no scripted event (lying over another, leaving, cut by the
  // beam): their masks are the models' best, so their measures must agree.
  double worst_distance = 0, worst_active = 0;
  for (const AnimalSummary& a : tracked1.summary) {
    if (!true_of.contains(a.animal) || !box_identity.contains(a.animal)) continue;
    const int id = box_identity.at(a.animal);
    if (id == synth::SceneConfig::kWalker || id == synth::SceneConfig::kUnder || id == synth::SceneConfig::kLeaver ||
        id == synth::SceneConfig::kSplitAnimal) {
      continue;
    }
    const AnimalSummary& t = *true_of.at(a.animal);
    worst_distance = std::max(worst_distance, std::abs(a.distance_px - t.distance_px) / std::max(t.distance_px, 1.0));
    worst_active = std::max(worst_active, std::abs(a.active - t.active));
  }
  const auto contact_of = [&](const BehaviourResult& r) {
    for (const ContactValue& c : r.contacts) {
      if (c.bin_start == "all" && ((c.animal_a == walker && c.animal_b == under) || (c.animal_a == under && c.animal_b == walker))) {
        return c.time;
      }
    }
    return 0.0;
  };
  char behaviour_figures[160];
  std::snprintf(behaviour_figures, sizeof(behaviour_figures),
                "distances within %.0f %% and activity within %.2f s of the truth's, %s on %s %.2f s (truth %.2f s)",
                100 * worst_distance, worst_active, walker.c_str(), under.c_str(), contact_of(tracked1),
                contact_of(truth1_behaviour));
  behaviour_step.done(counted(both_behaviour.summary.size(), "animal") + " over " +
                      counted(static_cast<std::size_t>(both_behaviour.frames), "frame") + "; behaviour/ (3 tables, " +
                      counted(plots, "plot") + "); clip 1: " + behaviour_figures);
  check(worst_distance <= 0.1 && worst_active <= 0.2,
        "clip 1's distances (within 10 %) and activity (within 0.2 s) agree with its truth's");
  check(contact_of(tracked1) > 0 && std::abs(contact_of(tracked1) - contact_of(truth1_behaviour)) <= 0.2,
        "the contact of the overlapping pair is found, its time within 0.2 s of the truth's");

  Step review_step("review pictures");
  const int flagged = report.overlap_frames.empty() ? 0 : report.overlap_frames[report.overlap_frames.size() / 2];
  const FrameRecord& record = clip.at(flagged);
  const std::string annotated_png = (out / "review" / ("frame_" + std::to_string(flagged) + "_annotated.png")).string();
  retrieve_annotation(record.json_path, annotated_png, true);
  const std::string heatmap_png = (out / "review" / ("frame_" + std::to_string(flagged) + "_heatmap.png")).string();
  write_image_file_atomically(heatmap_png, render_keyed_intersection_heatmap(*record.intersections_df));
  review_step.done("frame " + std::to_string(flagged) + ": annotated picture and heat map");

  Step page_step("review page");
  ReviewOptions page_options;
  page_options.clip = ann1;
  page_options.out = (out / "review" / "clip1").string();
  page_options.resolve = true;  // the repair's verdicts start the proofreading
  page_options.behaviour = behaviour_dir;
  const std::string page = write_review_page(page_options);
  page_step.done(counted(report.overlap_frames.size() + report.zero_area_frames.size(), "finding") +
                 " on a timeline, flagged frames drawn with heat maps, proofreading of every frame");

  std::printf("\nOutputs under %s:\n", out.string().c_str());
  std::printf("  recording            %s\n", video.c_str());
  std::printf("  pen polygon          %s\n", pen.c_str());
  std::printf("  frames               %s, %s\n", ranges[0].string().c_str(), ranges[1].string().c_str());
  std::printf("  annotations          %s (report: %s)\n", ann1.c_str(), (fs::path(ann1) / kReportFileName).string().c_str());
  std::printf("  cleaned annotations  %s\n", ann1_clean.c_str());
  std::printf("  review pictures      %s, %s, %s\n", initial_picture.c_str(), annotated_png.c_str(), heatmap_png.c_str());
  std::printf("  review page          %s (open it in a browser)\n", page.c_str());
  std::printf("  clip 2, own tracking %s (chained to clip 1's identities)\n", ann2_own.c_str());
  std::printf("  tracks               %s\n", tracks_csv.c_str());
  std::printf("  behaviour            %s (zones: %s)\n", behaviour_dir.c_str(), zones_json.c_str());
  std::printf("  truth of clip 1      %s\n", ann1_truth.c_str());
  std::printf("  clip 1, swapped      %s (%s and %s exchanged from frame %d)\n", ann1_swapped.c_str(), walker.c_str(),
              under.c_str(), swap_from);
  std::printf("\nTry next (pelk is %s):\n", pelk_path().c_str());
  std::printf("  pelk evaluate %s %s\n", ann1_swapped.c_str(), ann1_truth.c_str());
  std::printf("  pelk repair %s --dry-run\n", ann1_swapped.c_str());
  std::printf("  pelk chain %s %s --undo --dry-run\n", ann1.c_str(), ann2_own.c_str());
  std::printf("  pelk review %s --truth %s --resolve\n", ann1_swapped.c_str(), ann1_truth.c_str());
  if (checks_failed > 0) {
    throw std::runtime_error(std::to_string(checks_failed) + " self-checks against the scene's truth failed");
  }
  std::printf("\nAll self-checks against the scene's truth passed.\n");
}

}  // namespace

void add_demo_command(CLI::App& app) {
  auto o = std::make_shared<DemoOptions>();
  CLI::App* c = app.add_subcommand(
      "demo", "Run the whole road on a synthetic pen recording (two clips with an overlap, an animal leaving the view "
              "and one cut by a beam) and check the results against the scene's truth");
  c->add_option("--out", o->out, "Folder for every output")->capture_default_str();
  c->add_option("--frames", o->frames, "Frames per clip (at least 40)")->capture_default_str();
  c->add_option("--seed", o->seed, "Seed of the synthetic scene")->capture_default_str();
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
