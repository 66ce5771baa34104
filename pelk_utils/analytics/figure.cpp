#include "pelk_utils/analytics/figure.hpp"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/output.hpp"

namespace pelk {
namespace {

struct FigureState {
  std::mutex mutex;
  FigureSink sink;
  std::string dir = kDefaultFiguresDir;
  int count = 0;
  std::optional<Figure> current;
};

FigureState& state() {
  static FigureState s;
  return s;
}

std::string file_stem(const std::string& title) {
  std::string stem;
  for (const char c : title) {
    stem += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_';
  }
  return stem.empty() ? "figure" : stem.substr(0, 60);
}

void save_png(const Figure& figure) {
  std::string dir;
  int number = 0;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    dir = state().dir;
    number = ++state().count;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw std::runtime_error("cannot create figures folder '" + dir + "': " + ec.message());
  char prefix[16];
  std::snprintf(prefix, sizeof(prefix), "%03d_", number);
  const std::string path = (std::filesystem::path(dir) / (prefix + file_stem(figure.title) + ".png")).string();
  write_image_file_atomically(path, figure.image);
  output() << "Figure saved to " << path << "\n";
}

}  // namespace

FigureSink set_figure_sink(FigureSink sink) {
  std::lock_guard<std::mutex> lock(state().mutex);
  FigureSink previous = std::move(state().sink);
  state().sink = std::move(sink);
  return previous;
}

void set_figures_dir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().dir = dir;
}

void present_figure(const Figure& figure) {
  FigureSink sink;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    sink = state().sink;
  }
  if (sink) {
    sink(figure);
  } else {
    save_png(figure);
  }
}

void set_current_figure(Figure figure) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().current = std::move(figure);
}

std::optional<Figure> current_figure() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().current;
}

}  // namespace pelk
