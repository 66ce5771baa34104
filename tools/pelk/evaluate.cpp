// pelk evaluate: measures a tracked clip against its truth (IDF1, MOTA,
// identity switches, mean mask IoU) and lists how each animal was tracked.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"

namespace pelk::cli {
namespace {

struct EvaluateOptions {
  std::string tracked, truth, csv;
  double iou = 0.5;
  bool strict = false;
};

ClipAnnotationData load(const std::string& dir, const char* what) {
  AnnotationData data;
  quietly([&] { data = get_pelk_annotation_data("", false, 0, dir); });
  if (!data.pelk_annotation_data) throw std::invalid_argument(std::string("no annotation files in the ") + what + " folder '" + dir + "'");
  return std::move(*data.pelk_annotation_data);
}

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

void run(const EvaluateOptions& o) {
  const TrackingMeasures m = evaluate_tracking(load(o.tracked, "tracked"), load(o.truth, "truth"), o.iou, o.strict);
  std::cout << "IDF1 " << percent(m.idf1) << " (IDP " << percent(m.id_precision) << ", IDR " << percent(m.id_recall)
            << "), MOTA " << percent(m.mota) << ", "
            << counted(static_cast<std::size_t>(m.id_switches), "identity switch", "identity switches") << ", "
            << counted(static_cast<std::size_t>(m.misses), "miss", "misses") << ", "
            << counted(static_cast<std::size_t>(m.false_positives), "false positive") << ", mean IoU "
            << fixed3(m.mean_iou) << " over " << counted(static_cast<std::size_t>(m.frames), "frame") << " and "
            << counted(static_cast<std::size_t>(m.truth_objects), "truth mask") << "\n";
  if (m.missing_frames > 0) {
    std::cout << "  " << counted(static_cast<std::size_t>(m.missing_frames), "frame") << " of the truth "
              << (m.missing_frames == 1 ? "has" : "have") << " no tracked annotation file; their animals count "
              << "as misses (--strict refuses such a folder)\n";
  }
  if (m.extra_frames > 0) {
    std::cout << "  " << counted(static_cast<std::size_t>(m.extra_frames), "tracked frame") << " "
              << (m.extra_frames == 1 ? "has" : "have") << " no truth; their masks count as false positives\n";
  }
  for (const IdentityRecord& r : m.identities) {
    if (r.other_identity == 0) continue;
    std::cout << "  " << r.truth_box << ": ";
    if (r.first_switch_frame) {
      std::cout << "identity changed at frame " << *r.first_switch_frame << " (" << r.switched_from << " -> "
                << r.switched_to << "); ";
    }
    std::cout << (r.assigned_box.empty() ? std::string("paired with no tracked key")
                                         : "IDF1 pairs it with " + r.assigned_box)
              << ", " << r.other_identity << " of " << counted(static_cast<std::size_t>(r.frames), "frame")
              << " under another key (mostly " << r.most_other_box << ")\n";
  }
  if (o.csv.empty()) return;
  write_table(o.csv, m);
  std::cout << "per-identity table: " << o.csv << "\n";
}

}  // namespace

void add_evaluate_command(CLI::App& app) {
  auto o = std::make_shared<EvaluateOptions>();
  CLI::App* c = app.add_subcommand(
      "evaluate", "Measure a tracked clip against its truth (both folders of annotation files, frames paired by "
                  "number): IDF1 with ID precision and recall, MOTA, identity switches, misses, false positives, "
                  "mean mask IoU, and how each animal was tracked");
  c->add_option("tracked", o->tracked, "Annotation folder of the tracked clip")->required()->check(CLI::ExistingPath);
  c->add_option("truth", o->truth, "Annotation folder of the truth")->required()->check(CLI::ExistingPath);
  c->add_option("--csv", o->csv, "Write the per-identity table to this CSV file");
  c->add_flag("--strict", o->strict, "Refuse folders whose frame numbers differ instead of counting a missing frame's "
                                     "animals as misses");
  c->add_option("--iou", o->iou, "Mask IoU a match needs")->capture_default_str()->check(CLI::Range(0.0, 1.0));
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
