// pelk export: a recording's tracks in other tools' formats (MOTChallenge,
// CVAT for video, COCO).
#include <iostream>

#include "clip_options.hpp"
#include "commands.hpp"
#include "pelk_utils/interchange/track_export.hpp"

namespace pelk::cli {
namespace {

void run_export(const ClipsOptionsCli& o) {
  const auto format = track_format_named(o.format);
  if (!format) throw CLI::ValidationError("--format", "'" + o.format + "' is not one of mot, cvat, coco, coco-rle");
  const ExportSummary s = export_tracks(o.clips, *format, o.out, time_source(o));
  print_notes(s.notes);
  std::cout << counted(s.identities, "identity", "identities") << " over " << counted(s.frames, "frame") << " ("
            << counted(s.objects, "mask") << ") written to " << o.out
            << (s.mapping_path.empty() ? "" : "; ids and frames in " + s.mapping_path) << "\n";
}

}  // namespace

void add_export_command(CLI::App& app) {
  auto e = std::make_shared<ClipsOptionsCli>();
  CLI::App* x = app.add_subcommand(
      "export", "Write a recording's tracks for other tools: MOTChallenge text (mot, with <out>.json mapping keys "
                "and frames), CVAT for video 1.1 XML (cvat) or COCO instance segmentation JSON (coco; coco-rle for exact masks)");
  add_clip_options(*x, *e);
  x->add_option("--format", e->format, "mot, cvat, coco (polygons) or coco-rle (exact masks as COCO RLE)")->required();
  x->add_option("--out", e->out, "File to write")->required();
  x->callback([e] { run_export(*e); });
}

}  // namespace pelk::cli
