// Fuzzes the annotation repair on the document level: parse as Python would,
// rescale every polygon, write the document, and check that the written text
// reads back.
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_target.hpp"
#include "pelk_utils/annotation/render.hpp"
#include "pelk_utils/core/py_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the image size.
  const cv::Size image(1 + data[0] * 8, 1 + data[1] * 8);
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  pelk::PyJson doc;
  try {
    doc = pelk::parse_py_json(text, "fuzz input");
    pelk::rescale_swapped_polygons(doc, image, "fuzz input");
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const std::out_of_range&) {
    return 0;
  }
  const std::string out = doc.dump();
  const std::string again = pelk::parse_py_json(out, "written document").dump();
  if (again != out) __builtin_trap();
  return 0;
}
