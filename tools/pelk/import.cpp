// pelk import: turns truth (or tracks) from another tool, a MOTChallenge
// text file or a CVAT for video XML file, into an annotation folder over a
// clip's frames, to load, review, proofread and measure like our own clips.
#include <iostream>
#include <memory>

#include "cli_common.hpp"
#include "commands.hpp"
#include "pelk_utils/interchange/cvat.hpp"
#include "pelk_utils/interchange/evaluation_input.hpp"
#include "pelk_utils/interchange/mot.hpp"
#include "pelk_utils/interchange/track_import.hpp"

namespace pelk::cli {
namespace {

struct ImportOptions {
  std::string file, format, frames, out;
  std::optional<std::int64_t> first_frame;
};

void run(const ImportOptions& o) {
  std::string format = o.format;
  if (format.empty()) {
    const std::string kind = evaluation_input_kind(o.file);
    if (kind == "annotation folder") throw std::invalid_argument("'" + o.file + "' is a folder; import takes a .txt or .xml file");
    format = kind == "CVAT XML" ? "cvat" : "mot";
  }
  const bool mot = format == "mot";
  const std::vector<std::string> images = frame_files(o.frames);
  const ImportedTracks tracks = mot ? read_mot(o.file, TrackSide::kTruth) : read_cvat(o.file);
  const std::int64_t first = o.first_frame.value_or(mot ? 1 : 0);
  const ImportSummary s = import_tracks(tracks, images, o.out, first);
  std::cout << "Wrote " << counted(s.files, "annotation file") << " to " << o.out << ": "
            << counted(s.objects, "object") << " of " << counted(s.identities, "identity", "identities")
            << " (" << (mot ? "boxes as rectangular masks" : "polygons as given, boxes as rectangular masks")
            << "; file frame " << first << " is the first image)\n";
  for (const std::string& note : s.notes) std::cout << "  " << note << "\n";
}

}  // namespace

void add_import_command(CLI::App& app) {
  auto o = std::make_shared<ImportOptions>();
  CLI::App* c = app.add_subcommand(
      "import",
      "Write an annotation folder from a MOTChallenge text file or a CVAT for video 1.1 XML file, over the clip's "
      "frames (the n-th image in name order is MOT frame n, CVAT frame n - 1), so truth from elsewhere can be "
      "reviewed, proofread and measured like a tracked clip. MOT ids are the object ids (Box<id - 1>); truth rows "
      "with confidence 0 are left out.");
  c->add_option("file", o->file, "The MOT .txt or CVAT .xml file")->required()->check(CLI::ExistingFile);
  c->add_option("--format", o->format, "mot or cvat (default: from the file's extension)")
      ->check(CLI::IsMember({"mot", "cvat"}));
  c->add_option("--frames", o->frames, "Folder of the clip's frames (.jpg/.png, in name order)")
      ->required()
      ->check(CLI::ExistingDirectory);
  c->add_option("--out", o->out, "Annotation folder to write (new or without annotation files)")->required();
  c->add_option("--first-frame", o->first_frame, "The file's frame number of the first image (default: 1 for MOT, 0 "
                                                 "for CVAT)");
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
