// pelk evaluate: measures tracks against their truth (HOTA, IDF1, MOTA and
// their parts), each side an annotation folder, a MOTChallenge text file or
// a CVAT for video XML file, and lists how each animal was tracked.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/interchange/evaluation_input.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"

namespace pelk::cli {
namespace {

using Json = nlohmann::ordered_json;

struct EvaluateOptions {
  std::vector<std::string> inputs, day_truth;
  std::string tracked, truth, csv, json;
  double iou = 0.5;
  bool strict = false;
  std::int64_t frame_offset = 0;
};

// A measure with nothing to average over is "n/a", never a number.
std::string percent(double v) {
  if (std::isnan(v)) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.1f%%", 100 * v);
  return buf;
}

std::string fixed3(double v) {
  if (std::isnan(v)) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.3f", v);
  return buf;
}

// JSON has no NaN: a measure with nothing to average over is null.
Json fraction(double v) { return std::isnan(v) ? Json(nullptr) : Json(v); }
Json text_or_null(const std::string& s) { return s.empty() ? Json(nullptr) : Json(s); }

void write_table(const std::string& path, const TrackingMeasures& m) {
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (const IdentityRecord& r : m.identities) {
    rows.push_back({r.truth_box, format_number(r.frames), format_number(r.tracked), r.assigned_box,
                    format_number(r.own_identity), format_number(r.other_identity), r.most_other_box,
                    format_number(r.idtp), format_number(r.idfn), format_number(r.idfp)});
  }
  // Tracked keys that follow no animal: all their frames are IDFP.
  for (const UnpairedTrackedKey& k : m.unpaired_tracked) {
    rows.push_back({"", "0", "0", k.box, "0", "0", "", "0", "0", format_number(k.frames)});
  }
  write_csv(path, {"Truth Box", "Frames", "Frames Tracked", "Tracked As", "Frames Under Matched Identity",
                   "Frames Under Another Identity", "Most Frequent Other Identity", "IDTP", "IDFN", "IDFP"},
            rows);
}

Json side_json(const TrackSet& s) {
  std::int64_t objects = 0;
  for (const auto& [frame, list] : s.frames) objects += static_cast<std::int64_t>(list.size());
  return {{"path", s.source}, {"kind", s.kind}, {"frames", s.frames.size()}, {"objects", objects},
          {"ignored_rows", s.ignored}, {"notes", s.notes}};
}

Json measures_json(const TrackingMeasures& m, const TrackSet& tracked, const TrackSet& truth, const EvaluateOptions& o) {
  Json identities = Json::array();
  for (const IdentityRecord& r : m.identities) {
    identities.push_back({{"truth", r.truth_box}, {"frames", r.frames}, {"tracked", r.tracked},
                          {"assigned", text_or_null(r.assigned_box)}, {"own_identity", r.own_identity},
                          {"other_identity", r.other_identity}, {"most_other", text_or_null(r.most_other_box)},
                          {"idtp", r.idtp}, {"idfn", r.idfn}, {"idfp", r.idfp},
                          {"first_switch_frame", r.first_switch_frame ? Json(*r.first_switch_frame) : Json(nullptr)},
                          {"switched_from", text_or_null(r.switched_from)}, {"switched_to", text_or_null(r.switched_to)}});
  }
  for (const UnpairedTrackedKey& k : m.unpaired_tracked) {
    identities.push_back({{"truth", nullptr}, {"frames", 0}, {"tracked", 0}, {"assigned", k.box}, {"own_identity", 0},
                          {"other_identity", 0}, {"most_other", nullptr}, {"idtp", 0}, {"idfn", 0}, {"idfp", k.frames},
                          {"first_switch_frame", nullptr}, {"switched_from", nullptr}, {"switched_to", nullptr}});
  }
  const Json summary = {{"HOTA", m.hota.hota}, {"DetA", m.hota.deta}, {"AssA", m.hota.assa}, {"LocA", m.hota.loca},
                        {"IDF1", fraction(m.idf1)}, {"IDP", fraction(m.id_precision)}, {"IDR", fraction(m.id_recall)},
                        {"MOTA", fraction(m.mota)}, {"MOTP", fraction(m.mean_iou)}, {"IDSW", m.id_switches},
                        {"FP", m.false_positives}, {"FN", m.misses}, {"TP", m.matches}, {"truth_ids", m.truth_ids},
                        {"tracked_ids", m.tracked_ids}, {"frames", m.frames}};
  const Json inputs = {
      {"iou", m.box_iou ? "box" : "mask"},
      {"iou_threshold", o.iou},
      {"frame_offset", o.frame_offset},
      {"tracked", side_json(tracked)},
      {"truth", side_json(truth)},
      {"ignored", "MOTChallenge truth rows with confidence 0; nothing else is filtered (no class or visibility)"}};
  return {{"summary", summary}, {"identities", identities}, {"inputs", inputs}};
}

std::string frame_range(const TrackSet& s) {
  if (s.frames.empty()) return "none";
  return std::to_string(s.frames.begin()->first) + ".." + std::to_string(s.frames.rbegin()->first);
}

// When the two sides' frames differ but would agree shifted by one (MOT
// counts from 1, folders from 0), says which offset lines them up.
void hint_offset(const TrackSet& tracked, const TrackSet& truth, const EvaluateOptions& o, std::ostream& out) {
  if (o.frame_offset != 0 || tracked.frames.empty() || truth.frames.empty()) return;
  const std::int64_t shift = truth.frames.begin()->first - tracked.frames.begin()->first;
  if (shift == 0 || truth.frames.rbegin()->first - tracked.frames.rbegin()->first != shift) return;
  out << "  note: the tracked frames are numbered " << frame_range(tracked) << " and the truth's "
      << frame_range(truth) << "; if they are the same frames, --frame-offset " << shift << " lines them up\n";
}

void print(const TrackingMeasures& m, const TrackSet& tracked, const TrackSet& truth, const EvaluateOptions& o,
           std::ostream& out) {
  out << "HOTA " << percent(m.hota.hota) << " (DetA " << percent(m.hota.deta) << ", AssA " << percent(m.hota.assa)
      << ", LocA " << percent(m.hota.loca) << "), IDF1 " << percent(m.idf1) << " (IDP " << percent(m.id_precision)
      << ", IDR " << percent(m.id_recall) << "), MOTA " << percent(m.mota) << ", "
      << counted(static_cast<std::size_t>(m.id_switches), "identity switch", "identity switches") << ", "
      << counted(static_cast<std::size_t>(m.misses), "miss", "misses") << ", "
      << counted(static_cast<std::size_t>(m.false_positives), "false positive") << ", MOTP (mean "
      << (m.box_iou ? "box" : "mask") << " IoU) " << fixed3(m.mean_iou) << " over "
      << counted(static_cast<std::size_t>(m.frames), "frame") << " and "
      << counted(static_cast<std::size_t>(m.truth_objects), m.box_iou ? "truth object" : "truth mask") << "\n";
  if (m.box_iou && (tracked.all_masks() || truth.all_masks())) {
    out << "  by box IoU: " << (tracked.all_masks() ? "the truth" : "the tracked side") << " ("
        << (tracked.all_masks() ? truth.kind : tracked.kind) << ") has boxes only; masks were met as their boxes\n";
  }
  for (const TrackSet* s : {&tracked, &truth}) {
    for (const std::string& note : s->notes) out << "  " << (s == &tracked ? "tracked" : "truth") << ": " << note << "\n";
  }
  if (m.on_distractors > 0) {
    out << "  " << counted(static_cast<std::size_t>(m.on_distractors), "tracked box", "tracked boxes")
        << " on distractors of the truth not counted\n";
  }
  hint_offset(tracked, truth, o, out);
  if (m.missing_frames > 0) {
    out << "  " << counted(static_cast<std::size_t>(m.missing_frames), "frame") << " of the truth "
        << (m.missing_frames == 1 ? "has" : "have") << " no tracked frame; their animals count "
        << "as misses (--strict refuses such inputs)\n";
  }
  if (m.extra_frames > 0) {
    out << "  " << counted(static_cast<std::size_t>(m.extra_frames), "tracked frame") << " "
        << (m.extra_frames == 1 ? "has" : "have") << " no truth; their objects count as false positives\n";
  }
  for (const IdentityRecord& r : m.identities) {
    if (r.other_identity == 0) continue;
    out << "  " << r.truth_box << ": ";
    if (r.first_switch_frame) {
      out << "identity changed at frame " << *r.first_switch_frame << " (" << r.switched_from << " -> "
          << r.switched_to << "); ";
    }
    out << (r.assigned_box.empty() ? std::string("paired with no tracked key") : "IDF1 pairs it with " + r.assigned_box)
        << ", " << r.other_identity << " of " << counted(static_cast<std::size_t>(r.frames), "frame")
        << " under another key (mostly " << r.most_other_box << ")\n";
  }
}

void run(EvaluateOptions& o) {
  TrackSet tracked, truth;
  if (o.day_truth.empty()) {
    if (o.inputs.size() != 2) {
      throw CLI::ValidationError("inputs", "give TRACKED TRUTH, or a day: TRACKED1 TRACKED2 ... --truth TRUTH1 TRUTH2 ...");
    }
    o.tracked = o.inputs[0], o.truth = o.inputs[1];
    for (const auto& [name, path] : {std::pair{"tracked", o.tracked}, std::pair{"truth", o.truth}}) {
      if (const std::string why = CLI::ExistingPath(path); !why.empty()) throw CLI::ValidationError(name, why);
    }
    quietly([&] { std::tie(tracked, truth) = read_evaluation_inputs(o.tracked, o.truth); });
  } else {
    if (o.inputs.size() != o.day_truth.size()) {
      throw CLI::ValidationError("--truth", "a day pairs clips in order: " + std::to_string(o.inputs.size()) +
                                                " tracked clips but " + std::to_string(o.day_truth.size()) + " truth clips");
    }
    for (const std::string& path : o.inputs) {
      if (const std::string why = CLI::ExistingPath(path); !why.empty()) throw CLI::ValidationError("tracked", why);
    }
    o.tracked = o.inputs.front(), o.truth = o.day_truth.front();
    quietly([&] { std::tie(tracked, truth) = read_day_evaluation_inputs(o.inputs, o.day_truth); });
    (o.json == "-" ? std::cerr : std::cout) << "a day of " << counted(o.inputs.size(), "clip")
                                             << ", each against its truth, measured as one sequence (identities "
                                                "over the whole day)\n";
  }
  const TrackingMeasures m = evaluate_tracks(
      tracked, truth,
      EvaluationOptions{.iou_threshold = o.iou, .require_same_frames = o.strict, .frame_offset = o.frame_offset});
  // With the JSON on standard output, the text goes to standard error.
  std::ostream& out = o.json == "-" ? std::cerr : std::cout;
  print(m, tracked, truth, o, out);
  if (!o.csv.empty()) {
    write_table(o.csv, m);
    out << "per-identity table: " << o.csv << "\n";
  }
  if (o.json.empty()) return;
  const std::string text = measures_json(m, tracked, truth, o).dump(2) + "\n";
  if (o.json == "-") {
    std::cout << text << std::flush;
  } else {
    write_file_atomically(o.json, text, AtomicWriteOptions{.sync = false});
    out << "measures as JSON: " << o.json << "\n";
  }
}

}  // namespace

void add_evaluate_command(CLI::App& app) {
  auto o = std::make_shared<EvaluateOptions>();
  CLI::App* c = app.add_subcommand(
      "evaluate",
      "Measure tracks against their truth: HOTA (DetA, AssA, LocA), IDF1 (ID precision and recall), MOTA, "
      "identity switches, misses, false positives and MOTP, counted as the standard evaluation code counts them, "
      "and how each animal was tracked. Each side is an annotation folder, a MOTChallenge text file (.txt: frame, "
      "id, left, top, width, height, conf, ...) or a CVAT for video 1.1 XML file (.xml). Masks meet masks by mask "
      "IoU; when a side has only boxes, boxes meet boxes by box IoU (a folder gives its masks' boxes). Frames are "
      "paired by number: MOT counts from 1, CVAT and folders from 0 (see --frame-offset). MOTChallenge truth rows "
      "with confidence 0 are not counted (the benchmark's ignore flag); tracked rows all count, whatever their "
      "confidence; the truth's class column as the benchmark reads it (distractors 2, 7, 8, 12 and the tracked boxes on them "
      "not counted); nothing is filtered by visibility.");
  c->add_option("inputs", o->inputs,
                "TRACKED TRUTH (each an annotation folder, MOT .txt or CVAT .xml), or with --truth the tracked "
                "clips of a day in order")
      ->required();
  c->add_option("--truth", o->day_truth,
                "A day: the truth of each tracked clip, in the same order; the day is measured as one sequence "
                "(day-level HOTA and IDF1: an animal keeps its identity only under one key in every clip)")
      ->check(CLI::ExistingPath);
  c->add_option("--csv", o->csv, "Write the per-identity table to this CSV file");
  c->add_option("--json", o->json,
                "Write the measures as JSON to this file (- for standard output): summary, identities, inputs");
  c->add_option("--frame-offset", o->frame_offset,
                "Add this to every frame number of the tracked side (e.g. 1 for a folder against MOT truth)")
      ->capture_default_str()
      ->check(CLI::Range(std::int64_t{-1'000'000'000'000}, std::int64_t{1'000'000'000'000}));
  c->add_flag("--strict", o->strict, "Refuse inputs whose frame numbers differ instead of counting a missing frame's "
                                     "animals as misses");
  c->add_option("--iou", o->iou, "IoU a CLEAR MOT or IDF1 match needs (HOTA uses its own 0.05..0.95)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1.0));
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
