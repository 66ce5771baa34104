// Conversions between Python values (numpy arrays, pandas tables, dicts of
// records) and the library's C++ types, plus the guard every binding uses for
// missing input files (FileNotFoundError). Every binding file includes this
// header first, so the opaque container types below are declared alike in all
// of them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/intersections_table.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/report_row.hpp"
#include "pelk_utils/refine/mask_refinement.hpp"
#include "fs_path.hpp"
#include "hooks.hpp"

// The mask dictionary and area map are bound as mutable mapping types, so a
// record's masks can be changed in place from Python and C++ sees it.
PYBIND11_MAKE_OPAQUE(pelk::MaskDict)
PYBIND11_MAKE_OPAQUE(pelk::AreaMap)

namespace pelk::python {

namespace py = pybind11;

// ---- images -------------------------------------------------------------

// Throws py::value_error naming `what` when a dimension of `array` is 2^31 or
// more (OpenCV and the library count pixels in int).
void check_dimensions(const py::array& array, const std::string& what);

// Returns a copy of `obj` (a numpy uint8 array: H x W, H x W x 1, 3 or 4) as
// a cv::Mat of as many channels. Throws py::value_error naming `what` and
// the shape or dtype otherwise.
cv::Mat image_from_array(const py::handle& obj, const std::string& what);

// Returns `image` with its first and third channels exchanged (RGB <-> BGR,
// RGBA <-> BGRA); one- and two-channel images come back unchanged.
cv::Mat swap_red_blue(const cv::Mat& image);

// Returns a new numpy array holding a copy of `mat` (H x W for one channel,
// H x W x C otherwise; uint8, int32, float32 or float64).
py::array array_from_mat(const cv::Mat& mat);

// ---- numbers and boxes ---------------------------------------------------

// Returns a Python int or float as a Number that remembers which it was.
// Throws py::type_error naming `what` for anything else (bool included).
Number number_from(const py::handle& value, const std::string& what);

// Returns `number` as a Python int or float.
py::object number_object(const Number& number);

// Returns N x 4 boxes [x_min, y_min, x_max, y_max] (a torch tensor, an
// array or nested lists; a fifth number per box, such as a score, is
// ignored). Throws py::value_error naming `what` and the shape.
std::vector<Box> boxes_from(const py::handle& obj, const std::string& what);

// Returns `boxes` as a new N x 4 float64 array.
py::array boxes_array(const std::vector<Box>& boxes);

// ---- masks --------------------------------------------------------------

// Returns `obj` as a Mask: a pelk_utils.Mask, or an array of any dtype,
// H x W or 1 x H x W, non-zero = inside. Throws py::value_error naming
// `what` and the shape otherwise.
Mask mask_from_object(const py::handle& obj, const std::string& what);

// Returns `obj` as a list of masks: a sequence of masks (as above), or one
// array of N x H x W or N x 1 x H x W masks.
std::vector<Mask> masks_from_object(const py::handle& obj, const std::string& what);

// Returns the name of `obj`'s type, for messages that must not print values.
std::string type_name(const py::handle& obj);

// Returns the (key, value) pairs of the mapping `obj`; throws py::type_error
// "what: expected <expected>, got <type>" for anything else.
py::list mapping_items(const py::handle& obj, const std::string& what, const std::string& expected);

// Returns a mapping key (str, or an int such as a tracker's object id) as
// the library's text key; throws py::type_error naming `what` otherwise.
std::string key_text(const py::handle& key, const std::string& what);

// Returns the items of the sequence `obj` (a list, tuple, array, ...);
// throws py::type_error "what: expected <expected>, got <type>" for a str,
// bytes, mapping or anything not iterable.
py::list sequence_of(const py::handle& obj, const std::string& what, const std::string& expected);

// Returns `value` (an int, float or numpy number) as a double; throws
// py::type_error naming `what` otherwise (bool and text included).
double number_value(const py::handle& value, const std::string& what);

// Returns `value` (an int, or a float holding a whole number) as an integer;
// throws py::type_error or py::value_error naming `what` otherwise.
std::int64_t whole_number(const py::handle& value, const std::string& what);

// Returns a frame key given as an int or as the text of one; throws
// py::type_error or py::value_error naming `what` otherwise.
int frame_key(const py::handle& key, const std::string& what);

// Returns the caller's key objects of mapping `obj` by their text, so that
// results name keys as the caller gave them (int stays int).
std::map<std::string, py::object> original_keys(const py::handle& obj);

// Returns the caller's key for `key` from original_keys(), else `key` as str.
py::object key_object(const std::map<std::string, py::object>& keys, const std::string& key);

// Returns `obj` as a mask dictionary: a pelk_utils.MaskDict or any mapping
// of box key (str or int) -> mask, in its iteration order.
MaskDict mask_dict_from_object(const py::handle& obj, const std::string& what);

// Returns `obj` (a pelk_utils.AreaMap or a mapping of box key -> integer) as
// an area map; None gives an empty map.
AreaMap area_map_from_object(const py::handle& obj, const std::string& what);

// Returns the areas of `masks`, same keys, same order.
AreaMap mask_areas_of(const MaskDict& masks);

// ---- tables ---------------------------------------------------------------

// Returns `table` as a pandas DataFrame with the box keys as index and
// columns; with `read_only` its cells cannot be changed (a frame made anew
// on each read, whose edits would vanish, says so instead).
py::object frame_from_table(const IntersectionsTable& table, bool read_only = false);

// Returns a pandas DataFrame with square values and equal row and column
// labels as an intersections table; a pelk_utils table passes through.
IntersectionsTable table_from_frame(const py::handle& obj, const std::string& what);

// Returns report rows as a pandas DataFrame with the eight report columns,
// row labels 0.., missing cells as NaN / None.
py::object frame_from_rows(const std::vector<ReportRow>& rows);

// Returns one report row as a dict holding its present columns, in order.
py::dict dict_from_row(const ReportRow& row);

// Returns the rows of a pandas DataFrame (or a list of dicts) holding at
// least "Frame ID"; absent columns and NaN cells are missing values.
std::vector<ReportRow> rows_from_frame(const py::handle& obj, const std::string& what);

// Returns the run mapping as a dict group value -> list of runs.
py::dict dict_from_runs(const FrameRuns& runs);

// ---- clip data --------------------------------------------------------------

// A frame data record as Python holds it: shared, so a dict of records and
// the result of an operation can hold the very same object.
using RecordPtr = std::shared_ptr<FrameRecord>;

// Runs Python's pending signal handlers every 256th call of a conversion
// loop (with the GIL held), so Ctrl-C also stops a long conversion.
void check_signals_every(std::size_t count);

// A converted clip, freed with the GIL released: a long clip takes a while
// to free, and nothing (Ctrl-C included) should wait for that.
class OwnedClip {
 public:
  OwnedClip() : clip_(std::make_unique<ClipAnnotationData>()) {}
  OwnedClip(OwnedClip&&) = default;
  OwnedClip& operator=(OwnedClip&&) = default;
  ~OwnedClip();
  ClipAnnotationData& operator*() const { return *clip_; }
  ClipAnnotationData* operator->() const { return clip_.get(); }

  // The caller's key object of each frame key (an int, or the str of one).
  std::map<int, py::object> keys;

 private:
  std::unique_ptr<ClipAnnotationData> clip_;
};

// Returns a copy of the clip data `obj` (a dict frame key -> FrameRecord, or
// -> a dict of the record fields as a Python tracking loop holds them; keys
// int or the text of an int); records share their mask pixels with the
// Python objects.
OwnedClip clip_from_dict(const py::handle& obj, const std::string& what);

// Copies each record of `clip` back into the FrameRecord object (or record
// dict) under the same key of `obj`, so that changes made in place by C++
// are seen there. Throws py::type_error when a record was replaced meanwhile.
void write_back_clip(const py::handle& obj, const OwnedClip& clip);

// Returns the FrameRecord object of `obj` under the key of the record that
// `record` points to in `clip`, or None when it is null.
py::object record_object_for(const py::handle& obj, const OwnedClip& clip, const FrameRecord* record);

// Returns `clip` as a new dict frame key -> FrameRecord.
py::dict dict_from_clip(ClipAnnotationData clip);

// Returns a tracked clip (dict frame -> dict object id -> mask) in C++ form.
TrackedClip tracked_clip_from_dict(const py::handle& obj, const std::string& what);

// ---- guards -----------------------------------------------------------------

// Marks an object as used by the calling thread for the guard's lifetime, so
// that another thread's use of the same object is a RuntimeError instead of a
// data race: several readers may share it, a writer needs it alone. Calls
// that release the GIL while they use an object (and property accessors of
// such objects) take a guard. Make and destroy guards with the GIL held.
class InUse {
 public:
  enum class Access { kRead, kWrite };
  // Throws py::error_already_set (RuntimeError) naming `type_name` when the
  // object is in use in a way that conflicts with `access`.
  InUse(const void* object, const char* type_name, Access access);
  ~InUse();
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  const void* object_;
  Access access_;
};

// Binds `member` of C as a read-write attribute whose reads and writes take
// an InUse guard (so a thread cannot change it under a call of another).
// Binds path `member` of C as a read-write attribute (str out, any path in)
// whose reads and writes take an InUse guard.
template <typename C, typename... Extra>
void def_guarded_path(py::class_<C, Extra...>& cls, const char* name, std::string C::*member, const char* type_name,
                      const char* doc) {
  cls.def_property(
      name,
      [member, type_name](const C& c) {
        const InUse guard(&c, type_name, InUse::Access::kRead);
        return path_str(c.*member);
      },
      [member, type_name](C& c, const FsPath& value) {
        const InUse guard(&c, type_name, InUse::Access::kWrite);
        c.*member = value.bytes;
      },
      doc);
}

template <typename C, typename T, typename... Extra>
void def_guarded_field(py::class_<C, Extra...>& cls, const char* name, T C::*member, const char* type_name,
                       const char* doc = "") {
  cls.def_property(
      name,
      [member, type_name](const C& c) {
        const InUse guard(&c, type_name, InUse::Access::kRead);
        return c.*member;
      },
      [member, type_name](C& c, const T& value) {
        const InUse guard(&c, type_name, InUse::Access::kWrite);
        c.*member = value;
      },
      doc);
}

// Raises FileNotFoundError (NotADirectoryError for a file) naming `what`
// and the path unless `folder` is an existing folder.
void require_folder(const FsPath& folder, const std::string& what);

// Runs `work`; when it throws std::runtime_error whose message names one of
// `paths` and that path does not exist, raises FileNotFoundError with the
// same message instead.
void reraise_missing_files(const std::vector<std::string>& paths, const std::function<void()>& work);

// Raises py::value_error with `message`.
[[noreturn]] void value_error(const std::string& message);

// Returns "(d0, d1, ...)" for an array's shape.
std::string shape_text(const py::array& array);

}  // namespace pelk::python
