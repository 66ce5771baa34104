// Figures for review: operations render a figure to an image and present it
// through a figure sink. The default sink writes a PNG file into a figures
// folder and prints its path; a caller with a display (a window, a web page,
// a test) installs its own sink. A current figure can be filled without
// being presented, as plotting tools do.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace pelk {

struct Figure {
  cv::Mat image;      // CV_8UC3 BGR
  std::string title;  // short text naming the figure (used for file names)
};

using FigureSink = std::function<void(const Figure&)>;

// Folder the default sink writes into, relative to the working directory.
inline constexpr const char* kDefaultFiguresDir = "pelk_figures";

// Installs `sink` for every later present_figure; an empty function
// restores the default. Returns the previous sink.
FigureSink set_figure_sink(FigureSink sink);

// Sets the folder of the default sink (created on first use).
void set_figures_dir(const std::string& dir);

// Presents `figure` through the installed sink. The default sink writes
// "<figures dir>/<NNN>_<title>.png" (atomically; NNN counts the figures of
// the process) and prints "Figure saved to <path>".
void present_figure(const Figure& figure);

// Makes `figure` the current figure without presenting it.
void set_current_figure(Figure figure);

// Returns a copy of the current figure, if any.
std::optional<Figure> current_figure();

}  // namespace pelk
