#include "convert.hpp"

#include "pelk_utils/core/overlap.hpp"

#include <cmath>
#include <limits>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>
#include <unordered_map>

namespace pelk::python {

void value_error(const std::string& message) { throw py::value_error(message); }

py::str path_str(const std::string& bytes) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

std::vector<std::string> path_bytes(const std::vector<FsPath>& paths) {
  std::vector<std::string> out;
  out.reserve(paths.size());
  for (const FsPath& p : paths) out.push_back(p.bytes);
  return out;
}

py::list path_list(const std::vector<std::string>& paths) {
  py::list out;
  for (const std::string& p : paths) out.append(path_str(p));
  return out;
}

py::object optional_path(const std::optional<std::string>& path) { return path ? py::object(path_str(*path)) : py::none(); }

std::string shape_text(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    text += (i ? ", " : "") + std::to_string(array.shape(i));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string type_name(const py::handle& obj) { return py::str(py::type::of(obj).attr("__name__")); }

py::list mapping_items(const py::handle& obj, const std::string& what, const std::string& expected) {
  if (!PyMapping_Check(obj.ptr()) || PySequence_Check(obj.ptr()) || !py::hasattr(obj, "items")) {
    throw py::type_error(what + ": expected " + expected + ", got " + type_name(obj));
  }
  return py::list(obj.attr("items")());
}

std::string key_text(const py::handle& key, const std::string& what) {
  if (py::isinstance<py::str>(key)) return key.cast<std::string>();
  if (PyLong_Check(key.ptr()) && !PyBool_Check(key.ptr())) return py::str(key);
  if (py::hasattr(key, "__index__") && !PyBool_Check(key.ptr()) && !PyFloat_Check(key.ptr())) {
    return py::str(py::reinterpret_steal<py::object>(PyNumber_Index(key.ptr())));  // numpy integers
  }
  throw py::type_error(what + ": keys must be str or int, got " + type_name(key));
}

py::list sequence_of(const py::handle& obj, const std::string& what, const std::string& expected) {
  if (py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj) ||
      (PyMapping_Check(obj.ptr()) && !PySequence_Check(obj.ptr())) || !py::hasattr(obj, "__iter__")) {
    throw py::type_error(what + ": expected " + expected + ", got " + type_name(obj));
  }
  PyObject* items = PySequence_List(obj.ptr());
  if (items == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(items);
}

double number_value(const py::handle& value, const std::string& what) {
  if (PyBool_Check(value.ptr()) || py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) ||
      !py::hasattr(value, "__float__")) {
    throw py::type_error(what + ": expected a number, got " + type_name(value));
  }
  return value.cast<double>();
}

std::int64_t whole_number(const py::handle& value, const std::string& what) {
  if (PyBool_Check(value.ptr()) || py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) ||
      !(py::hasattr(value, "__index__") || py::hasattr(value, "__float__"))) {
    throw py::type_error(what + ": expected a whole number, got " + type_name(value));
  }
  if (py::hasattr(value, "__index__")) return py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr())).cast<std::int64_t>();
  const double d = value.cast<double>();
  if (!(d == std::floor(d)) || std::abs(d) > 9.2e18) value_error(what + ": expected a whole number, got " + format_number(d));
  return static_cast<std::int64_t>(d);
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

// Returns an object array of numbers (what DataFrame.values gives for mixed
// columns) as numpy's != 0 takes it (a bool array); throws py::type_error
// naming `what` and the first element that is not a number.
py::array numbers_of_object_array(const py::array& array, const std::string& what) {
  std::size_t count = 0;
  for (const py::handle item : array.attr("ravel")()) {
    if (!PyNumber_Check(item.ptr()) || py::isinstance<py::str>(item) || py::isinstance<py::bytes>(item)) {
      throw py::type_error(what + ": expected a mask of numbers or booleans, got an object array holding " +
                           type_name(item));
    }
    check_signals_every(count++);
  }
  return py::array(array.attr("__ne__")(0)).attr("astype")("bool");
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
  if (!boxes || (boxes.size() > 0 && (boxes.ndim() != 2 || boxes.shape(1) < 4))) {
    value_error(what + ": expected N x 4 boxes [x_min, y_min, x_max, y_max] (more numbers per box are ignored), got "
                "shape " + shape_text(py::array(array)));
  }
  std::vector<Box> out(boxes.size() > 0 ? static_cast<std::size_t>(boxes.shape(0)) : 0);
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (std::size_t k = 0; k < 4; ++k) out[i][k] = *boxes.data(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(k));
  }
  return out;
}

py::array boxes_array(const std::vector<Box>& boxes) {
  py::array_t<double> array({static_cast<py::ssize_t>(boxes.size()), py::ssize_t{4}});
  if (!boxes.empty()) std::copy(boxes.front().data(), boxes.front().data() + 4 * boxes.size(), array.mutable_data());
  return array;
}

Mask mask_from_object(const py::handle& obj, const std::string& what) {
  if (py::isinstance<Mask>(obj)) return obj.cast<Mask>();
  if (py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj)) {
    throw py::type_error(what + ": expected a mask (an array or a pelk_utils.Mask), got " + type_name(obj));
  }
  py::array array = as_array(obj);
  if (array.dtype().kind() == 'O') array = numbers_of_object_array(array, what);
  const char dtype_kind = array.dtype().kind();
  if (dtype_kind != 'b' && dtype_kind != 'i' && dtype_kind != 'u' && dtype_kind != 'f' && dtype_kind != 'c') {
    throw py::type_error(what + ": expected a mask of numbers or booleans, got " + type_name(obj) +
                         " (dtype " + py::str(array.dtype()).cast<std::string>() + ")");
  }
  check_dimensions(array, what);
  if (array.ndim() == 3 && array.shape(0) == 1) {
    array = array[py::make_tuple(0)].cast<py::array>();
  }
  if (array.ndim() != 2) {
    value_error(what + ": a mask must be H x W or 1 x H x W, got shape " + shape_text(array));
  }

  const cv::Size size(static_cast<int>(array.shape(1)), static_cast<int>(array.shape(0)));
  // 0 x N keeps its shape (Size::area() overflows int past 2^31 pixels).
  if (size.width == 0 || size.height == 0) return Mask(size, cv::Rect(), cv::Mat1b());
  int depth = cv_depth_of(array.dtype());
  const char kind = array.dtype().kind();
  if (depth < 0 || kind == 'f' || kind == 'c') {
    // Floats and other dtypes (int64, uint32, float16, ...): numpy's != 0,
    // so NaN is inside whatever the row length.
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
  for (const py::handle item : sequence_of(obj, what, "a list of masks (arrays or pelk_utils.Mask) or an N x H x W array")) {
    masks.push_back(mask_from_object(item, what + "[" + std::to_string(i++) + "]"));
  }
  return masks;
}

MaskDict mask_dict_from_object(const py::handle& obj, const std::string& what) {
  if (py::isinstance<MaskDict>(obj)) return obj.cast<MaskDict>();
  MaskDict dict;
  for (const py::handle item : mapping_items(obj, what, "a mapping of box key -> mask")) {
    const auto pair = item.cast<py::tuple>();
    const std::string key = key_text(pair[0], what);
    dict.insert_or_assign(key, mask_from_object(pair[1], what + "[" + py::repr(pair[0]).cast<std::string>() + "]"));
  }
  return dict;
}

std::map<std::string, py::object> original_keys(const py::handle& obj) {
  std::map<std::string, py::object> keys;
  if (!PyMapping_Check(obj.ptr()) || !py::hasattr(obj, "keys")) return keys;
  for (const py::handle key : obj.attr("keys")()) {
    if (PyLong_Check(key.ptr()) || py::isinstance<py::str>(key)) keys.emplace(py::str(key), py::reinterpret_borrow<py::object>(key));
  }
  return keys;
}

py::object key_object(const std::map<std::string, py::object>& keys, const std::string& key) {
  const auto it = keys.find(key);
  return it != keys.end() ? it->second : py::object(py::str(key));
}

AreaMap mask_areas_of(const MaskDict& masks) { return mask_areas(masks); }

AreaMap area_map_from_object(const py::handle& obj, const std::string& what) {
  if (obj.is_none()) return {};
  if (py::isinstance<AreaMap>(obj)) return obj.cast<AreaMap>();
  AreaMap areas;
  for (const py::handle item : mapping_items(obj, what, "a mapping of box key -> area")) {
    const auto pair = item.cast<py::tuple>();
    const std::string key = key_text(pair[0], what);
    areas.insert_or_assign(key, whole_number(pair[1], what + "[" + py::repr(pair[0]).cast<std::string>() + "]"));
  }
  return areas;
}

py::object frame_from_table(const IntersectionsTable& table, bool read_only) {
  py::list keys;
  for (const auto& key : table.keys()) keys.append(key);
  const cv::Mat values = table.empty() ? cv::Mat(0, 0, CV_64F) : cv::Mat(table.values());
  py::array data = array_from_mat(values);
  if (table.empty()) data = data.attr("reshape")(0, 0);
  if (read_only) data.attr("flags").attr("writeable") = false;
  return py::module_::import("pandas").attr("DataFrame")(data, py::arg("index") = keys, py::arg("columns") = keys,
                                                         py::arg("copy") = false);
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
  if (type_name(value) == "NAType" || type_name(value) == "NaTType") return true;  // pd.NA, pd.NaT
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
  if (!py::hasattr(frame, "columns")) {
    if (py::isinstance<py::str>(obj) || !py::hasattr(obj, "__iter__")) {
      throw py::type_error(what + ": expected a pandas DataFrame or a list of row dicts, got " + type_name(obj));
    }
    frame = py::module_::import("pandas").attr("DataFrame")(frame);
  }
  if (py::len(frame) == 0) return {};  // no rows: whatever the columns
  std::vector<std::string> present;
  for (const py::handle c : frame.attr("columns")) present.push_back(py::str(c).cast<std::string>());
  auto column = [&](const std::string& name) -> std::optional<py::list> {
    const auto count = std::count(present.begin(), present.end(), name);
    if (count == 0) return std::nullopt;
    if (count > 1) {
      value_error(what + ": the table has " + std::to_string(count) + " columns named '" + name + "'; keep one");
    }
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

int frame_key(const py::handle& key, const std::string& what) {
  const std::string where = what + "[" + py::repr(key).cast<std::string>() + "]";
  // Every integral type (numpy's and pandas' integers too), as operator.index takes them.
  if (!PyBool_Check(key.ptr()) && !PyFloat_Check(key.ptr()) && !py::isinstance<py::str>(key) &&
      (PyLong_Check(key.ptr()) || py::hasattr(key, "__index__"))) {
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(key.ptr()));
    if (!index) throw py::error_already_set();
    const py::int_ number = py::reinterpret_borrow<py::int_>(index);
    if (number < py::int_(INT32_MIN) || number > py::int_(INT32_MAX)) {
      value_error(where + ": a frame key must fit a 32-bit int");
    }
    return number.cast<int>();
  }
  if (py::isinstance<py::str>(key)) {
    const std::string text = key.cast<std::string>();
    std::size_t used = 0;
    try {
      const long long value = std::stoll(text, &used);
      if (used == text.size() && value >= INT32_MIN && value <= INT32_MAX) return static_cast<int>(value);
    } catch (const std::exception&) {
    }
    value_error(where + ": a frame key must be an integer (or its text)");
  }
  throw py::type_error(what + ": frame keys must be int, got " + type_name(key));
}

namespace {

// Returns field `name` of a record dict, or None when it is absent.
py::object field(const py::handle& record, const char* name) {
  return py::bool_(record.attr("__contains__")(name)) ? py::object(record[name]) : py::object(py::none());
}

// Returns a record given as a dict with the record fields (frame_index,
// masks_dict; mask_areas, json_path, image_path and intersections_df optional).
FrameRecord record_from_fields(const py::handle& obj, const std::string& where) {
  FrameRecord r;
  const py::object index = field(obj, "frame_index"), masks = field(obj, "masks_dict");
  if (index.is_none() || masks.is_none()) {
    throw py::type_error(where + ": a record dict needs 'frame_index' and 'masks_dict'");
  }
  r.frame_index = whole_number(index, where + "['frame_index']");
  r.masks_dict = mask_dict_from_object(masks, where + "['masks_dict']");
  const py::object areas = field(obj, "mask_areas");
  r.mask_areas = areas.is_none() ? mask_areas_of(r.masks_dict) : area_map_from_object(areas, where + "['mask_areas']");
  for (const auto& [name, target] : {std::pair{"json_path", &r.json_path}, std::pair{"image_path", &r.image_path}}) {
    const py::object path = field(obj, name);
    if (!path.is_none()) *target = py::cast<FsPath>(path).bytes;
  }
  const py::object table = field(obj, "intersections_df");
  // A tracking loop's dicts hold no table: made here, as a whole-clip load makes it.
  r.intersections_df = table.is_none() ? intersection_between_masks(r.masks_dict, r.mask_areas)
                                       : table_from_frame(table, where + "['intersections_df']");
  return r;
}

// Makes the caller's record dict `target` hold what C++ changed: keys the
// operation removed leave masks_dict and mask_areas; added keys join them.
void write_back_fields(const py::handle& target, const FrameRecord& record) {
  const auto sync = [&](const char* name, const auto& map, auto value_of) {
    const py::object held = field(target, name);
    if (held.is_none()) return;
    if (py::isinstance<std::decay_t<decltype(map)>>(held)) {
      *held.cast<std::decay_t<decltype(map)>*>() = map;
      return;
    }
    for (const py::handle key : py::list(held.attr("keys")())) {
      if (!map.contains(py::str(key))) held.attr("__delitem__")(key);
    }
    const auto keys = original_keys(held);
    for (const auto& [key, value] : map) {
      if (!keys.contains(key)) held[py::str(key)] = value_of(value);
    }
  };
  sync("masks_dict", record.masks_dict, [](const Mask& m) { return py::cast(m); });
  sync("mask_areas", record.mask_areas, [](std::int64_t a) { return py::cast(a); });
}

}  // namespace

OwnedClip clip_from_dict(const py::handle& obj, const std::string& what) {
  OwnedClip clip;
  std::size_t count = 0;
  for (const py::handle item :
       mapping_items(obj, what, "a dict of frame key -> FrameRecord (as get_pelk_annotation_data returns) or record dict")) {
    check_signals_every(count++);
    const auto pair = item.cast<py::tuple>();
    const int key = frame_key(pair[0], what);
    const std::string where = what + "[" + py::repr(pair[0]).cast<std::string>() + "]";
    if (py::isinstance<FrameRecord>(pair[1])) {
      clip->insert_or_assign(key, *pair[1].cast<RecordPtr>());
    } else if (PyMapping_Check(pair[1].ptr()) && py::hasattr(pair[1], "keys")) {
      clip->insert_or_assign(key, record_from_fields(pair[1], where));
    } else {
      throw py::type_error(where + ": expected a pelk_utils.FrameRecord or a dict of the record fields, got " +
                           type_name(pair[1]));
    }
    clip.keys[key] = py::reinterpret_borrow<py::object>(pair[0]);
  }
  return clip;
}

void write_back_clip(const py::handle& obj, const OwnedClip& clip) {
  for (const auto& [key, record] : *clip) {
    // A model callback may have changed the caller's dict meanwhile.
    const py::object target = obj[clip.keys.at(key)];
    if (py::isinstance<FrameRecord>(target)) {
      *target.cast<RecordPtr>() = record;
    } else if (PyMapping_Check(target.ptr()) && py::hasattr(target, "keys")) {
      write_back_fields(target, record);
    } else {
      throw py::type_error("laste_frame[" + py::repr(clip.keys.at(key)).cast<std::string>() +
                           "] is no longer a pelk_utils.FrameRecord or a record dict (it was replaced by " +
                           type_name(target) + " during the call)");
    }
  }
}

py::object record_object_for(const py::handle& obj, const OwnedClip& clip, const FrameRecord* record) {
  if (record == nullptr) return py::none();
  for (const auto& [key, candidate] : *clip) {
    if (&candidate == record) return obj[clip.keys.at(key)];
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
  TrackedClip clip;
  std::size_t count = 0;
  for (const py::handle item : mapping_items(obj, what, "a dict frame index -> {object id: mask}")) {
    check_signals_every(count++);
    const auto pair = item.cast<py::tuple>();
    const int frame = frame_key(pair[0], what);
    OrderedMap<int, Mask> objects;
    const std::string where = what + "[" + std::to_string(frame) + "]";
    for (const py::handle inner : mapping_items(pair[1], where, "a dict object id -> mask")) {
      const auto object = inner.cast<py::tuple>();
      const int id = frame_key(object[0], where);
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

void require_folder(const FsPath& folder, const std::string& what) {
  std::error_code ec;
  if (std::filesystem::is_directory(folder.bytes, ec)) return;
  const bool exists = std::filesystem::exists(folder.bytes, ec);
  const std::string message = what + ": '" + folder.bytes + (exists ? "' is not a folder" : "' does not exist");
  PyErr_SetObject(exists ? PyExc_NotADirectoryError : PyExc_FileNotFoundError,
                  py::make_tuple(exists ? ENOTDIR : ENOENT, message, path_str(folder.bytes)).ptr());
  throw py::error_already_set();
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
