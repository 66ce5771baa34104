#include "convert.hpp"

#include <cmath>
#include <limits>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>
#include <unordered_map>

namespace pelk::python {

void value_error(const std::string& message) { throw py::value_error(message); }

std::string shape_text(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    text += (i ? ", " : "") + std::to_string(array.shape(i));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

namespace {

py::array as_array(const py::handle& obj) { return py::module_::import("numpy").attr("asarray")(obj); }

// Maps a numpy dtype to an OpenCV depth, or -1 when OpenCV has none.
int cv_depth_of(const py::dtype& dtype) {
  const char kind = dtype.kind();
  const auto size = dtype.itemsize();
  if (kind == 'b' || (kind == 'u' && size == 1)) return CV_8U;
  if (kind == 'i' && size == 1) return CV_8S;
  if (kind == 'u' && size == 2) return CV_16U;
  if (kind == 'i' && size == 2) return CV_16S;
  if (kind == 'i' && size == 4) return CV_32S;
  if (kind == 'f' && size == 4) return CV_32F;
  if (kind == 'f' && size == 8) return CV_64F;
  return -1;
}

}  // namespace

void check_dimensions(const py::array& array, const std::string& what) {
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    if (array.shape(i) > std::numeric_limits<int>::max()) {
      value_error(what + ": dimension " + std::to_string(i) + " of shape " + shape_text(array) + " is " +
                  std::to_string(array.shape(i)) + "; at most " + std::to_string(std::numeric_limits<int>::max()) +
                  " is supported");
    }
  }
}

cv::Mat image_from_array(const py::handle& obj, const std::string& what) {
  py::array array = as_array(obj);
  check_dimensions(array, what);
  if (array.dtype().kind() != 'u' || array.dtype().itemsize() != 1) {
    value_error(what + ": an image must be a uint8 array, got dtype " + py::str(array.dtype()).cast<std::string>());
  }
  const bool planar = array.ndim() == 2;
  if (!planar && !(array.ndim() == 3 && (array.shape(2) == 1 || array.shape(2) == 3 || array.shape(2) == 4))) {
    value_error(what + ": an image must be H x W, H x W x 1, H x W x 3 or H x W x 4, got shape " + shape_text(array));
  }
  auto contiguous = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(array);
  const int channels = planar ? 1 : static_cast<int>(array.shape(2));
  cv::Mat view(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), CV_8UC(channels),
               const_cast<std::uint8_t*>(contiguous.data()));
  return view.clone();
}

cv::Mat swap_red_blue(const cv::Mat& image) {
  cv::Mat out;
  if (image.channels() == 3) {
    cv::Mat channels[3];
    cv::split(image, channels);
    std::swap(channels[0], channels[2]);
    cv::merge(channels, 3, out);
  } else if (image.channels() == 4) {
    cv::Mat channels[4];
    cv::split(image, channels);
    std::swap(channels[0], channels[2]);
    cv::merge(channels, 4, out);
  } else {
    out = image;
  }
  return out;
}

py::array array_from_mat(const cv::Mat& mat) {
  std::vector<py::ssize_t> shape{mat.rows, mat.cols};
  if (mat.channels() > 1) shape.push_back(mat.channels());
  py::dtype dtype;
  switch (mat.depth()) {
    case CV_8U: dtype = py::dtype::of<std::uint8_t>(); break;
    case CV_32S: dtype = py::dtype::of<std::int32_t>(); break;
    case CV_32F: dtype = py::dtype::of<float>(); break;
    case CV_64F: dtype = py::dtype::of<double>(); break;
    default: throw std::logic_error("array_from_mat: unsupported depth " + std::to_string(mat.depth()));
  }
  py::array out(dtype, shape);
  if (mat.empty()) return out;
  cv::Mat target(mat.rows, mat.cols, mat.type(), out.mutable_data());
  mat.copyTo(target);
  return out;
}

Number number_from(const py::handle& value, const std::string& what) {
  if (py::isinstance<py::bool_>(value) || !(py::isinstance<py::int_>(value) || py::hasattr(value, "__float__"))) {
    throw py::type_error(what + ": expected a number, got " + py::repr(value).cast<std::string>());
  }
  if (py::isinstance<py::int_>(value)) return Number(value.cast<std::int64_t>());
  return Number(value.cast<double>());
}

py::object number_object(const Number& number) {
  return number.is_integer() ? py::object(py::int_(number.as_integer())) : py::object(py::float_(number.as_double()));
}

std::vector<Box> boxes_from(const py::handle& obj, const std::string& what) {
  const py::object array = py::module_::import("pelk_utils._bridge").attr("to_numpy")(obj);
  const auto boxes = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
  if (!boxes || (boxes.size() > 0 && (boxes.ndim() != 2 || boxes.shape(1) != 4))) {
    value_error(what + ": expected N x 4 boxes [x_min, y_min, x_max, y_max], got shape " + shape_text(py::array(array)));
  }
  std::vector<Box> out(boxes.size() > 0 ? static_cast<std::size_t>(boxes.shape(0)) : 0);
  if (!out.empty()) std::copy(boxes.data(), boxes.data() + boxes.size(), out.front().data());
  return out;
}

py::array boxes_array(const std::vector<Box>& boxes) {
  py::array_t<double> array({static_cast<py::ssize_t>(boxes.size()), py::ssize_t{4}});
  if (!boxes.empty()) std::copy(boxes.front().data(), boxes.front().data() + 4 * boxes.size(), array.mutable_data());
  return array;
}

Mask mask_from_object(const py::handle& obj, const std::string& what) {
  if (py::isinstance<Mask>(obj)) return obj.cast<Mask>();
  py::array array = as_array(obj);
  check_dimensions(array, what);
  if (array.ndim() == 3 && array.shape(0) == 1) {
    array = array[py::make_tuple(0)].cast<py::array>();
  }
  if (array.ndim() != 2) {
    value_error(what + ": a mask must be H x W or 1 x H x W, got shape " + shape_text(array));
  }
  int depth = cv_depth_of(array.dtype());
  if (depth < 0) {
    // Any other dtype (int64, uint32, float16, ...): non-zero is inside.
    array = py::array(array.attr("__ne__")(0));
    depth = CV_8U;
  }
  array = py::module_::import("numpy").attr("ascontiguousarray")(array);
  const cv::Mat view(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), CV_MAKETYPE(depth, 1),
                     const_cast<void*>(array.data()));
  return Mask(view);
}

std::vector<Mask> masks_from_object(const py::handle& obj, const std::string& what) {
  std::vector<Mask> masks;
  if (py::isinstance<py::array>(obj)) {
    py::array array = py::reinterpret_borrow<py::array>(obj);
    if (array.ndim() == 2) return {mask_from_object(array, what)};
    if (array.ndim() == 4 && array.shape(1) == 1) {
      array = array.attr("reshape")(array.shape(0), array.shape(2), array.shape(3));
    }
    if (array.ndim() != 3) {
      value_error(what + ": masks must be N x H x W or N x 1 x H x W, got shape " + shape_text(array));
    }
    for (py::ssize_t i = 0; i < array.shape(0); ++i) {
      masks.push_back(mask_from_object(array[py::make_tuple(i)], what + "[" + std::to_string(i) + "]"));
    }
    return masks;
  }
  if (py::isinstance<Mask>(obj)) return {obj.cast<Mask>()};
  std::size_t i = 0;
  for (const py::handle item : obj) {
    masks.push_back(mask_from_object(item, what + "[" + std::to_string(i++) + "]"));
  }
  return masks;
}

MaskDict mask_dict_from_object(const py::handle& obj, const std::string& what) {
  if (py::isinstance<MaskDict>(obj)) return obj.cast<MaskDict>();
  if (!py::hasattr(obj, "items")) {
    throw py::type_error(what + ": expected a mapping of box key -> mask, got " +
                         py::str(py::type::of(obj).attr("__name__")).cast<std::string>());
  }
  MaskDict dict;
  for (const py::handle item : obj.attr("items")()) {
    const auto pair = item.cast<py::tuple>();
    const auto key = pair[0].cast<std::string>();
    dict.insert_or_assign(key, mask_from_object(pair[1], what + "['" + key + "']"));
  }
  return dict;
}

AreaMap area_map_from_object(const py::handle& obj, const std::string& what) {
  if (obj.is_none()) return {};
  if (py::isinstance<AreaMap>(obj)) return obj.cast<AreaMap>();
  if (!py::hasattr(obj, "items")) throw py::type_error(what + ": expected a mapping of box key -> area");
  AreaMap areas;
  for (const py::handle item : obj.attr("items")()) {
    const auto pair = item.cast<py::tuple>();
    areas.insert_or_assign(pair[0].cast<std::string>(), pair[1].cast<std::int64_t>());
  }
  return areas;
}

py::object frame_from_table(const IntersectionsTable& table) {
  py::list keys;
  for (const auto& key : table.keys()) keys.append(key);
  const cv::Mat values = table.empty() ? cv::Mat(0, 0, CV_64F) : cv::Mat(table.values());
  py::array data = array_from_mat(values);
  if (table.empty()) data = data.attr("reshape")(0, 0);
  return py::module_::import("pandas").attr("DataFrame")(data, py::arg("index") = keys, py::arg("columns") = keys);
}

IntersectionsTable table_from_frame(const py::handle& obj, const std::string& what) {
  if (py::isinstance<IntersectionsTable>(obj)) return obj.cast<IntersectionsTable>();
  if (!py::hasattr(obj, "index") || !py::hasattr(obj, "columns")) {
    throw py::type_error(what + ": expected a pandas DataFrame with box keys as index and columns");
  }
  std::vector<std::string> keys;
  for (const py::handle key : obj.attr("index")) keys.push_back(py::str(key).cast<std::string>());
  std::vector<std::string> columns;
  for (const py::handle key : obj.attr("columns")) columns.push_back(py::str(key).cast<std::string>());
  if (keys != columns) value_error(what + ": the index and the columns must hold the same box keys in the same order");
  const auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
      obj.attr("to_numpy")(py::arg("dtype") = "float64"));
  const int n = static_cast<int>(keys.size());
  cv::Mat1d table(n, n);
  if (n > 0) std::copy(values.data(), values.data() + values.size(), table.ptr<double>());
  return IntersectionsTable(std::move(keys), table);
}

namespace {

py::object optional_object(const auto& value) {
  if (!value) return py::none();
  return py::cast(*value);
}

}  // namespace

py::object frame_from_rows(const std::vector<ReportRow>& rows) {
  py::dict columns;
  py::list frame_id, box_pair, value, area1, area2, type, box_id, areas;
  std::size_t count = 0;
  for (const auto& row : rows) {
    check_signals_every(count++);
    frame_id.append(row.frame_id);
    box_pair.append(optional_object(row.box_pair));
    value.append(optional_object(row.intersection_value));
    area1.append(optional_object(row.mask_area1));
    area2.append(optional_object(row.mask_area2));
    type.append(row.report_type);
    box_id.append(optional_object(row.box_id));
    areas.append(optional_object(row.mask_areas));
  }
  const py::list lists[] = {frame_id, box_pair, value, area1, area2, type, box_id, areas};
  auto pandas = py::module_::import("pandas");
  for (std::size_t i = 0; i < kReportColumns.size(); ++i) {
    // Empty columns get pandas' own dtype for an empty table (object).
    columns[py::str(kReportColumns[i])] = pandas.attr("Series")(lists[i], py::arg("dtype") = rows.empty() ? py::object(py::str("object")) : py::object(py::none()));
  }
  return pandas.attr("DataFrame")(columns, py::arg("columns") = kReportColumns);
}

py::dict dict_from_row(const ReportRow& row) {
  py::dict dict;
  for (const auto& name : kReportColumns) {
    const auto cell = row.column(name);
    if (!cell) continue;
    std::visit([&](const auto& v) { dict[py::str(name)] = v; }, *cell);
  }
  return dict;
}

namespace {

bool is_missing(const py::handle& value) {
  if (value.is_none()) return true;
  if (py::isinstance<py::float_>(value)) return std::isnan(value.cast<double>());
  return false;
}

// Returns a numeric cell as a double; throws py::value_error naming `where`
// for text and other non-numbers (pandas gives object columns for them).
double numeric_cell(const py::handle& value, const std::string& where) {
  if (py::isinstance<py::bool_>(value) || py::isinstance<py::str>(value) || !py::hasattr(value, "__float__")) {
    value_error(where + " must be a number, got " + py::repr(value).cast<std::string>());
  }
  return value.cast<double>();
}

std::optional<std::int64_t> optional_integer(const py::handle& value, const std::string& where) {
  if (is_missing(value)) return std::nullopt;
  if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) return value.cast<std::int64_t>();
  const double d = numeric_cell(value, where);
  if (d != std::floor(d) || std::abs(d) > 9.2e18) {
    value_error(where + " must be a whole number, got " + py::repr(value).cast<std::string>());
  }
  return static_cast<std::int64_t>(d);
}

}  // namespace

std::vector<ReportRow> rows_from_frame(const py::handle& obj, const std::string& what) {
  // A list of row dicts is taken as pandas would take it.
  py::object frame = py::reinterpret_borrow<py::object>(obj);
  if (!py::hasattr(frame, "columns")) frame = py::module_::import("pandas").attr("DataFrame")(frame);
  std::vector<std::string> present;
  for (const py::handle c : frame.attr("columns")) present.push_back(py::str(c).cast<std::string>());
  auto column = [&](const std::string& name) -> std::optional<py::list> {
    if (std::find(present.begin(), present.end(), name) == present.end()) return std::nullopt;
    return frame[py::str(name)].attr("tolist")().cast<py::list>();
  };
  const auto frame_ids = column("Frame ID");
  if (!frame_ids) throw py::key_error(what + ": the table has no column 'Frame ID'");
  const auto box_pair = column("Box Pair"), value = column("Intersection Value"), area1 = column("Mask Area1"),
             area2 = column("Mask Area2"), type = column("Report type"), box_id = column("Box ID"),
             areas = column("Mask Areas");
  std::vector<ReportRow> rows(frame_ids->size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string where = what + " row " + std::to_string(i);
    auto& row = rows[i];
    const auto id = optional_integer((*frame_ids)[i], where + " 'Frame ID'");
    if (!id || *id < INT32_MIN || *id > INT32_MAX) value_error(where + ": 'Frame ID' must be a frame key (an integer)");
    row.frame_id = static_cast<int>(*id);
    auto text = [&](const std::optional<py::list>& col) -> std::optional<std::string> {
      if (!col || is_missing((*col)[i])) return std::nullopt;
      return py::str((*col)[i]).cast<std::string>();
    };
    row.box_pair = text(box_pair);
    row.box_id = text(box_id);
    row.report_type = text(type).value_or("");
    if (value && !is_missing((*value)[i])) {
      row.intersection_value = numeric_cell((*value)[i], where + " 'Intersection Value'");
    }
    if (area1) row.mask_area1 = optional_integer((*area1)[i], where + " 'Mask Area1'");
    if (area2) row.mask_area2 = optional_integer((*area2)[i], where + " 'Mask Area2'");
    if (areas) row.mask_areas = optional_integer((*areas)[i], where + " 'Mask Areas'");
  }
  return rows;
}

py::dict dict_from_runs(const FrameRuns& runs) {
  py::dict dict;
  for (const auto& [group, group_runs] : runs) {
    py::object key = std::visit([](const auto& v) { return py::object(py::cast(v)); }, group);
    dict[key] = py::cast(group_runs);
  }
  return dict;
}

void check_signals_every(std::size_t count) {
  if (count % 256 == 255 && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

OwnedClip::~OwnedClip() {
  if (!clip_ || clip_->size() < 256 || !PyGILState_Check()) return;
  if (std::uncaught_exceptions() > 0) {
    // Stopped or failed: report that at once and free in the background.
    std::thread([clip = std::move(clip_)]() mutable { clip.reset(); }).detach();
    return;
  }
  PyThreadState* state = PyEval_SaveThread();
  clip_.reset();
  restore_gil(state);
}

OwnedClip clip_from_dict(const py::handle& obj, const std::string& what) {
  if (!py::hasattr(obj, "items")) {
    throw py::type_error(what + ": expected a dict of frame key -> FrameRecord (as get_pelk_annotation_data returns)");
  }
  OwnedClip clip;
  std::size_t count = 0;
  for (const py::handle item : obj.attr("items")()) {
    check_signals_every(count++);
    const auto pair = item.cast<py::tuple>();
    if (!py::isinstance<FrameRecord>(pair[1])) {
      throw py::type_error(what + "[" + py::repr(pair[0]).cast<std::string>() +
                           "]: expected a pelk_utils.FrameRecord, got " +
                           py::str(py::type::of(pair[1]).attr("__name__")).cast<std::string>());
    }
    clip->insert_or_assign(pair[0].cast<int>(), *pair[1].cast<RecordPtr>());
  }
  return clip;
}

void write_back_clip(const py::handle& obj, const ClipAnnotationData& clip) {
  for (const auto& [key, record] : clip) {
    // A model callback may have changed the caller's dict meanwhile.
    const py::object target = obj[py::int_(key)];
    if (!py::isinstance<FrameRecord>(target)) {
      throw py::type_error("laste_frame[" + std::to_string(key) + "] is no longer a pelk_utils.FrameRecord (it was " +
                           "replaced by " + py::str(py::type::of(target).attr("__name__")).cast<std::string>() +
                           " during the call)");
    }
    *target.cast<RecordPtr>() = record;
  }
}

py::object record_object_for(const py::handle& obj, const ClipAnnotationData& clip, const FrameRecord* record) {
  if (record == nullptr) return py::none();
  for (const auto& [key, candidate] : clip) {
    if (&candidate == record) return obj[py::int_(key)];
  }
  throw std::logic_error("record_object_for: the record is not part of the clip");
}

py::dict dict_from_clip(ClipAnnotationData clip) {
  py::dict dict;
  std::size_t count = 0;
  for (auto& [key, record] : clip) {
    check_signals_every(count++);
    dict[py::int_(key)] = py::cast(std::make_shared<FrameRecord>(std::move(record)));
  }
  return dict;
}

TrackedClip tracked_clip_from_dict(const py::handle& obj, const std::string& what) {
  if (!py::hasattr(obj, "items")) throw py::type_error(what + ": expected a dict frame index -> {object id: mask}");
  TrackedClip clip;
  std::size_t count = 0;
  for (const py::handle item : obj.attr("items")()) {
    check_signals_every(count++);
    const auto pair = item.cast<py::tuple>();
    const int frame = pair[0].cast<int>();
    OrderedMap<int, Mask> objects;
    for (const py::handle inner : pair[1].attr("items")()) {
      const auto object = inner.cast<py::tuple>();
      const int id = object[0].cast<int>();
      objects.insert_or_assign(
          id, mask_from_object(object[1], what + "[" + std::to_string(frame) + "][" + std::to_string(id) + "]"));
    }
    clip.insert_or_assign(frame, std::move(objects));
  }
  return clip;
}

namespace {

// Object -> readers in use (> 0) or a writer (-1). Only touched with the GIL
// held, which is its lock.
std::unordered_map<const void*, int>& objects_in_use() {
  static auto* map = new std::unordered_map<const void*, int>();
  return *map;
}

}  // namespace

InUse::InUse(const void* object, const char* type_name, Access access) : object_(object), access_(access) {
  auto& users = objects_in_use()[object];
  if (users < 0 || (access == Access::kWrite && users > 0)) {
    PyErr_Format(PyExc_RuntimeError,
                 "this %s is in use by another thread; give each thread its own %s (it must not be shared between "
                 "threads while one of them changes it)",
                 type_name, type_name);
    throw py::error_already_set();
  }
  users = access == Access::kWrite ? -1 : users + 1;
}

InUse::~InUse() {
  auto it = objects_in_use().find(object_);
  if (it == objects_in_use().end()) return;
  if (access_ == Access::kWrite || --it->second == 0) objects_in_use().erase(it);
}

void reraise_missing_files(const std::vector<std::string>& paths, const std::function<void()>& work) {
  try {
    work();
  } catch (const std::runtime_error& e) {
    if (dynamic_cast<const py::error_already_set*>(&e) != nullptr) throw;
    for (const auto& path : paths) {
      std::error_code ec;
      if (!path.empty() && std::string(e.what()).find(path) != std::string::npos &&
          !std::filesystem::exists(path, ec)) {
        PyErr_SetObject(PyExc_FileNotFoundError,
                        py::make_tuple(ENOENT, e.what(), path).ptr());
        throw py::error_already_set();
      }
    }
    throw;
  }
}

}  // namespace pelk::python
