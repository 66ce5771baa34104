// Core types for Python: the Mask (a compact mask numpy reads through
// __array__), the mask dictionary and area map, the frame data record, and
// the overlap measures and dark text enhancement.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/core/dark_text.hpp"
#include "pelk_utils/core/overlap.hpp"

#include <opencv2/imgcodecs.hpp>

namespace pelk::python {

namespace {

// Returns one box [x_min, y_min, x_max, y_max] from a sequence of at least
// four numbers (a fifth, such as a score, is ignored).
Box box_from(const py::handle& obj, const char* what) {
  const py::list numbers = sequence_of(obj, what, "a box [x_min, y_min, x_max, y_max]");
  if (numbers.size() < 4) {
    value_error(std::string(what) + ": a box is [x_min, y_min, x_max, y_max], got " + std::to_string(numbers.size()) +
                " numbers");
  }
  return {number_value(numbers[0], what), number_value(numbers[1], what), number_value(numbers[2], what),
          number_value(numbers[3], what)};
}

py::tuple box_tuple(const Box& box) { return py::make_tuple(box[0], box[1], box[2], box[3]); }

py::array mask_array(const Mask& mask, const py::object& dtype) {
  py::array full = mask.size().empty()
                       ? py::array(py::dtype::of<std::uint8_t>(), {mask.size().height, mask.size().width})
                       : array_from_mat(mask.full());
  if (!dtype.is_none()) full = full.attr("astype")(dtype);
  return full;
}

// Returns a mask on a frame of `shape` (height, width) holding `bits`
// (uint8 0/1) with its top-left pixel at `origin` (x, y); throws
// py::value_error when the shape is negative or the bits leave the frame.
Mask placed_mask(std::pair<int, int> shape, std::pair<int, int> origin, const cv::Mat& bits) {
  const auto [height, width] = shape;
  if (height < 0 || width < 0) {
    value_error("Mask: shape must be (height, width) of sizes 0 or more, got (" + std::to_string(height) + ", " +
                std::to_string(width) + ")");
  }
  const cv::Rect placed(origin.first, origin.second, bits.cols, bits.rows);
  if (!bits.empty() && (placed & cv::Rect(0, 0, width, height)) != placed) {
    value_error("Mask: bits of " + std::to_string(bits.rows) + " x " + std::to_string(bits.cols) + " at origin (" +
                std::to_string(origin.first) + ", " + std::to_string(origin.second) + ") leave the frame of shape (" +
                std::to_string(height) + ", " + std::to_string(width) + ")");
  }
  return Mask(cv::Size(width, height), bits.empty() ? cv::Rect() : placed, bits);
}

void bind_mask(py::module_& m) {
  py::class_<Mask>(m, "Mask", R"doc(
One object's binary mask on a frame, stored as the tight rectangle of its
pixels at one bit per pixel. numpy reads it as a full-frame uint8 0/1 array
(np.asarray(mask)), made on demand; `roi()` gives only the rectangle.
Build one from an array of any dtype, H x W or 1 x H x W (non-zero = inside).)doc")
      .def(py::init([](const py::object& array) { return mask_from_object(array, "Mask"); }), py::arg("array"),
           "Mask(array) -> Mask\n\nBuilds a mask from an H x W or 1 x H x W array of any dtype (non-zero = inside).")
      .def(py::init([](std::pair<int, int> shape, std::tuple<int, int> origin, const py::object& bits) {
             // The bits as a mask of their own shape (any dtype, non-zero = inside; text refused).
             const Mask rect = mask_from_object(bits, "Mask bits");
             const cv::Mat roi = rect.size().empty() ? cv::Mat() : rect.full();
             return placed_mask(shape, {std::get<0>(origin), std::get<1>(origin)}, roi);
           }),
           py::arg("shape"), py::arg("origin"), py::arg("bits"),
           "Mask(shape, origin, bits) -> Mask\n\nBuilds a mask on a frame of shape (H, W) from `bits` (any dtype, non-zero = "
           "inside) placed with its top-left pixel at origin (x, y).")
      .def_property_readonly("area", &Mask::area, "Number of pixels inside the mask.")
      .def_property_readonly(
          "bounds", [](const Mask& k) { const auto r = k.bounds(); return py::make_tuple(r.x, r.y, r.width, r.height); },
          "(x, y, width, height) of the tight rectangle of the inside pixels; (0, 0, 0, 0) when empty.")
      .def_property_readonly("box", [](const Mask& k) { return box_tuple(k.box()); },
                             "(x_min, y_min, x_max, y_max) of the inside pixels, inclusive pixel indices; (0, 0, 0, 0) "
                             "when empty.")
      .def_property_readonly("shape", [](const Mask& k) { return py::make_tuple(k.size().height, k.size().width); },
                             "The frame's (height, width).")
      .def_property_readonly("empty", &Mask::empty, "True when no pixel is inside.")
      .def_property_readonly("nbytes", &Mask::bytes, "Bytes holding the pixels (shared by copies).")
      .def("roi", [](const Mask& k) { return array_from_mat(k.roi()); },
           "roi() -> numpy.ndarray\n\nReturns the uint8 0/1 array of `bounds` only (height x width).")
      .def("__array__", &mask_array, py::arg("dtype") = py::none(),
           "Returns the full-frame uint8 0/1 array (a new array each call).")
      .def(py::pickle(
          [](const Mask& k) {
            const auto r = k.bounds();
            return py::make_tuple(py::make_tuple(k.size().height, k.size().width), py::make_tuple(r.x, r.y),
                                  array_from_mat(k.roi()));
          },
          [](const py::tuple& state) {
            if (state.size() != 3) value_error("Mask: a pickled mask is (shape, origin, bits)");
            const auto shape = state[0].cast<std::pair<int, int>>();
            const auto origin = state[1].cast<std::pair<int, int>>();
            const cv::Mat bits = image_from_array(state[2], "Mask bits");
            return placed_mask(shape, origin, bits);
          }))
      .def("__eq__", [](const Mask& a, const py::object& b) {
             if (!py::isinstance<Mask>(b)) return false;
             return a == b.cast<Mask>();
           })
      .def("__repr__", [](const Mask& k) {
        const auto r = k.bounds();
        return "Mask(shape=(" + std::to_string(k.size().height) + ", " + std::to_string(k.size().width) +
               "), area=" + std::to_string(k.area()) + ", bounds=(" + std::to_string(r.x) + ", " + std::to_string(r.y) +
               ", " + std::to_string(r.width) + ", " + std::to_string(r.height) + "))";
      });
}

// Binds an insertion-ordered map of text keys as a mutable Python mapping
// with the whole MutableMapping protocol; keys may be given as str or int
// (a tracker's object ids) and are held as text. Equal to any mapping with
// the same items; copies, deep copies and pickles hold the same items.
template <typename V, typename Convert>
void bind_ordered_map(py::module_& m, const char* name, const char* doc, Convert convert) {
  using Map = OrderedMap<std::string, V>;
  const auto key_of = [name](const py::handle& key) { return key_text(key, name); };
  const auto missing = [](const py::handle& key) { return py::key_error(py::repr(key).cast<std::string>()); };
  py::class_<Map>(m, name, doc)
      .def(py::init([convert, name](const py::object& items, const py::kwargs& more) {
             Map map;
             if (!items.is_none()) {
               for (const py::handle item : mapping_items(items, name, "a mapping")) {
                 const auto pair = item.cast<py::tuple>();
                 const std::string key = key_text(pair[0], name);
                 map.insert_or_assign(key, convert(pair[1], key));
               }
             }
             for (const auto& [key, value] : more) map.insert_or_assign(key_text(key, name), convert(py::reinterpret_borrow<py::object>(value), key_text(key, name)));
             return map;
           }),
           py::arg("items") = py::none(), "Builds one from a mapping and keyword items, as dict() does.")
      .def("__len__", &Map::size)
      .def("__contains__", [](const Map& map, const py::object& key) {
        if (!(py::isinstance<py::str>(key) || PyLong_Check(key.ptr())) || PyBool_Check(key.ptr())) return false;
        return map.contains(py::str(key).cast<std::string>());
      })
      .def("__getitem__", [key_of, missing](const Map& map, const py::object& key) {
        const std::string k = key_of(key);
        if (!map.contains(k)) throw missing(key);
        return map.at(k);
      })
      .def("__setitem__", [convert, key_of](Map& map, const py::object& key, const py::object& value) {
        const std::string k = key_of(key);
        map.insert_or_assign(k, convert(value, k));
      })
      .def("__delitem__", [key_of, missing](Map& map, const py::object& key) {
        if (!map.erase(key_of(key))) throw missing(key);
      })
      .def("__iter__", [](const Map& map) { return py::iter(py::cast(map.keys())); })
      .def("keys", [](const Map& map) { return map.keys(); }, "Returns the keys in insertion order.")
      .def("values", [](const Map& map) {
        std::vector<V> values;
        for (const auto& item : map) values.push_back(item.second);
        return values;
      }, "Returns the values in insertion order.")
      .def("items", [](const Map& map) {
        std::vector<std::pair<std::string, V>> items(map.begin(), map.end());
        return items;
      }, "Returns (key, value) pairs in insertion order.")
      .def("get", [key_of](const Map& map, const py::object& key, const py::object& fallback) {
        const std::string k = key_of(key);
        return map.contains(k) ? py::cast(map.at(k)) : fallback;
      }, py::arg("key"), py::arg("default") = py::none(), "Returns the value of key, or default.")
      .def("pop", [key_of, missing](Map& map, const py::object& key, const py::object& fallback) -> py::object {
        const std::string k = key_of(key);
        if (!map.contains(k)) {
          if (fallback.is(py::ellipsis())) throw missing(key);
          return fallback;
        }
        py::object value = py::cast(map.at(k));
        map.erase(k);
        return value;
      }, py::arg("key"), py::arg("default") = py::ellipsis(), "Removes key and returns its value (or default).")
      .def("popitem", [name](Map& map) {
        if (map.empty()) throw py::key_error(std::string("popitem(): ") + name + " is empty");
        const std::string key = map.keys().back();
        py::tuple item = py::make_tuple(key, map.at(key));
        map.erase(key);
        return item;
      }, "Removes and returns the last (key, value) pair.")
      .def("setdefault", [convert, key_of](Map& map, const py::object& key, const py::object& fallback) {
        const std::string k = key_of(key);
        if (!map.contains(k)) map.insert_or_assign(k, convert(fallback, k));
        return map.at(k);
      }, py::arg("key"), py::arg("default"), "Returns the value of key, first inserting default when absent.")
      .def("update", [convert](Map& map, const py::object& other, const py::kwargs& more) {
        if (!other.is_none()) {
          for (const py::handle item : mapping_items(other, "update", "a mapping")) {
            const auto pair = item.cast<py::tuple>();
            const std::string key = key_text(pair[0], "update");
            map.insert_or_assign(key, convert(pair[1], key));
          }
        }
        for (const auto& [key, value] : more) map.insert_or_assign(key_text(key, "update"), convert(py::reinterpret_borrow<py::object>(value), key_text(key, "update")));
      }, py::arg("other") = py::none(), "Sets the items of other (a mapping) and of the keyword arguments.")
      .def("clear", [](Map& map) { map = Map(); }, "Removes every item.")
      .def("copy", [](const Map& map) { return Map(map); }, "Returns a shallow copy (masks share pixels).")
      .def("__eq__", [](const Map& a, const py::object& b) -> py::object {
        if (py::isinstance<Map>(b)) return py::bool_(a == b.cast<Map>());
        if (!PyMapping_Check(b.ptr()) || PySequence_Check(b.ptr()) || !py::hasattr(b, "items")) {
          return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        }
        py::dict mine;
        for (const auto& [key, value] : a) mine[py::str(key)] = py::cast(value);
        py::dict theirs;
        for (const py::handle item : py::list(b.attr("items")())) {
          const auto pair = item.cast<py::tuple>();
          if (!(py::isinstance<py::str>(pair[0]) || PyLong_Check(pair[0].ptr()))) return py::bool_(false);
          theirs[py::str(pair[0])] = pair[1];
        }
        return py::bool_(mine.equal(theirs));
      })
      .def(py::pickle(
          [](const Map& map) {
            py::list items;
            for (const auto& [key, value] : map) items.append(py::make_tuple(key, value));
            return items;
          },
          [convert, name](const py::list& items) {
            Map map;
            for (const py::handle item : items) {
              const auto pair = item.cast<py::tuple>();
              const std::string key = key_text(pair[0], name);
              map.insert_or_assign(key, convert(pair[1], key));
            }
            return map;
          }))
      .def("__repr__", [name](const Map& map) {
        std::string text = std::string(name) + "({";
        bool first = true;
        for (const auto& [key, value] : map) {
          text += (first ? "" : ", ") + py::repr(py::str(key)).template cast<std::string>() + ": " +
                  py::repr(py::cast(value)).template cast<std::string>();
          first = false;
        }
        return text + "})";
      });
  m.attr(name).attr("__hash__") = py::none();
  py::module_::import("collections.abc").attr("MutableMapping").attr("register")(m.attr(name));
}

py::object record_item(const FrameRecord& r, const std::string& key, py::handle self) {
  if (key == "frame_index") return py::cast(r.frame_index);
  if (key == "masks_dict") return py::cast(&r.masks_dict, py::return_value_policy::reference_internal, self);
  if (key == "mask_areas") return py::cast(&r.mask_areas, py::return_value_policy::reference_internal, self);
  if (key == "json_path") return path_str(r.json_path);
  if (key == "image_path") return path_str(r.image_path);
  if (key == "intersections_df" && r.intersections_df) return frame_from_table(*r.intersections_df, true);
  throw py::key_error(key);
}

std::vector<std::string> record_keys(const FrameRecord& r) {
  std::vector<std::string> keys{"frame_index", "masks_dict", "mask_areas", "json_path", "image_path"};
  if (r.intersections_df) keys.push_back("intersections_df");
  return keys;
}

void bind_frame_record(py::module_& m) {
  py::class_<FrameRecord, RecordPtr>(m, "FrameRecord", R"doc(
One loaded annotation file: frame_index, masks_dict (box key -> Mask),
mask_areas (box key -> int), json_path, image_path and, for whole-clip loads,
intersections_df (a DataFrame made when asked for). Read it by attribute or
as a mapping (record["masks_dict"]); masks_dict and mask_areas can be changed
in place.)doc")
      .def(py::init([](std::int64_t frame_index, const py::object& masks_dict, const py::object& mask_areas,
                       const FsPath& json_path, const FsPath& image_path, const py::object& intersections_df) {
             auto r = std::make_shared<FrameRecord>();
             r->frame_index = frame_index;
             r->masks_dict = mask_dict_from_object(masks_dict, "masks_dict");
             r->mask_areas = mask_areas.is_none() ? mask_areas_of(r->masks_dict) : area_map_from_object(mask_areas, "mask_areas");
             r->json_path = json_path.bytes;
             r->image_path = image_path.bytes;
             if (!intersections_df.is_none()) r->intersections_df = table_from_frame(intersections_df, "intersections_df");
             return r;
           }),
           py::arg("frame_index"), py::arg("masks_dict"), py::arg("mask_areas") = py::none(),
           py::arg("json_path") = FsPath{}, py::arg("image_path") = FsPath{}, py::arg("intersections_df") = py::none(),
           "FrameRecord(frame_index, masks_dict, mask_areas=None, json_path='', image_path='', intersections_df=None)\n\n"
           "Builds a record; mask_areas None counts the masks' pixels.")
      .def_readwrite("frame_index", &FrameRecord::frame_index, "The frame's index in the clip (int).")
      .def_property("masks_dict", [](FrameRecord& r) -> MaskDict& { return r.masks_dict; },
                    [](FrameRecord& r, const py::object& v) { r.masks_dict = mask_dict_from_object(v, "masks_dict"); },
                    py::return_value_policy::reference_internal,
                    "Box key -> Mask (a MaskDict, changed in place); assign any mapping to replace it.")
      .def_property("mask_areas", [](FrameRecord& r) -> AreaMap& { return r.mask_areas; },
                    [](FrameRecord& r, const py::object& v) { r.mask_areas = area_map_from_object(v, "mask_areas"); },
                    py::return_value_policy::reference_internal,
                    "Box key -> pixel count (an AreaMap, changed in place); assign any mapping to replace it.")
      .def_property("json_path", [](const FrameRecord& r) { return path_str(r.json_path); },
                    [](FrameRecord& r, const FsPath& v) { r.json_path = v.bytes; }, "The annotation file's path (str).")
      .def_property("image_path", [](const FrameRecord& r) { return path_str(r.image_path); },
                    [](FrameRecord& r, const FsPath& v) { r.image_path = v.bytes; }, "The frame image's path (str).")
      .def_property("intersections_df",
                    [](const FrameRecord& r) { return r.intersections_df ? frame_from_table(*r.intersections_df, true) : py::none(); },
                    [](FrameRecord& r, const py::object& v) {
                      if (v.is_none()) r.intersections_df.reset();
                      else r.intersections_df = table_from_frame(v, "intersections_df");
                    },
                    "The intersections table (a read-only DataFrame, box keys as index and columns) or None; assign "
                    "a DataFrame to change it.")
      .def("__getitem__", [](py::object self, const std::string& key) { return record_item(*self.cast<RecordPtr>(), key, self); })
      .def("__contains__", [](const FrameRecord& r, const std::string& key) {
        const auto keys = record_keys(r);
        return std::find(keys.begin(), keys.end(), key) != keys.end();
      })
      .def("keys", &record_keys, "Returns the record's keys in order.")
      .def("__iter__", [](const FrameRecord& r) { return py::iter(py::cast(record_keys(r))); })
      .def("__len__", [](const FrameRecord& r) { return record_keys(r).size(); })
      .def("get", [](py::object self, const std::string& key, const py::object& fallback) -> py::object {
        const auto& r = *self.cast<RecordPtr>();
        const auto keys = record_keys(r);
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) return fallback;
        return record_item(r, key, self);
      }, py::arg("key"), py::arg("default") = py::none())
      .def("__eq__", [](const FrameRecord& a, const py::object& b) -> py::object {
        if (!py::isinstance<FrameRecord>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        const FrameRecord& o = *b.cast<RecordPtr>();
        const bool tables = a.intersections_df.has_value() == o.intersections_df.has_value() &&
                            (!a.intersections_df || (a.intersections_df->keys() == o.intersections_df->keys() &&
                                                     cv::norm(a.intersections_df->values(), o.intersections_df->values(),
                                                              cv::NORM_INF) == 0));
        return py::bool_(a.frame_index == o.frame_index && a.masks_dict == o.masks_dict &&
                         a.mask_areas == o.mask_areas && a.json_path == o.json_path && a.image_path == o.image_path &&
                         tables);
      })
      .def(py::pickle(
          [](const FrameRecord& r) {
            py::object table = py::none();
            if (r.intersections_df) {
              table = py::make_tuple(r.intersections_df->keys(), array_from_mat(cv::Mat(r.intersections_df->values())));
            }
            return py::make_tuple(r.frame_index, py::cast(r.masks_dict), py::cast(r.mask_areas),
                                  py::bytes(r.json_path), py::bytes(r.image_path), table);
          },
          [](const py::tuple& state) {
            if (state.size() != 6) value_error("FrameRecord: a pickled record has 6 fields");
            auto r = std::make_shared<FrameRecord>();
            r->frame_index = state[0].cast<std::int64_t>();
            r->masks_dict = state[1].cast<MaskDict>();
            r->mask_areas = state[2].cast<AreaMap>();
            r->json_path = state[3].cast<std::string>();
            r->image_path = state[4].cast<std::string>();
            if (!state[5].is_none()) {
              const auto table = state[5].cast<py::tuple>();
              const auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(table[1]);
              const auto keys = table[0].cast<std::vector<std::string>>();
              const int n = static_cast<int>(keys.size());
              cv::Mat1d cells(n, n);
              if (n > 0) std::copy(values.data(), values.data() + values.size(), cells.ptr<double>());
              r->intersections_df = IntersectionsTable(keys, cells);
            }
            return r;
          }))
      .def("__repr__", [](const FrameRecord& r) {
        return py::str("FrameRecord(frame_index={}, masks={}, json_path={!r})")
            .format(r.frame_index, r.masks_dict.size(), path_str(r.json_path));
      });
}

}  // namespace

void bind_core(py::module_& m) {
  bind_mask(m);
  bind_ordered_map<Mask>(m, "MaskDict", "Box key -> Mask in insertion order (a mutable mapping).",
                         [](const py::object& v, const std::string& key) { return mask_from_object(v, "MaskDict['" + key + "']"); });
  bind_ordered_map<std::int64_t>(m, "AreaMap", "Box key -> mask area in insertion order (a mutable mapping).",
                                 [](const py::object& v, const std::string& key) {
                                   return whole_number(v, "AreaMap['" + key + "']");
                                 });
  bind_frame_record(m);

  m.def("imread_rgb",
        [](const FsPath& path) {
          cv::Mat bgr;
          reraise_missing_files({path}, [&] {
            {
              ReleaseGil release;
              bgr = cv::imread(path, cv::IMREAD_COLOR);
            }
            if (bgr.empty()) throw std::runtime_error("cannot read image '" + path.bytes + "'");
          });
          return array_from_mat(swap_red_blue(bgr));
        },
        py::arg("path"),
        "imread_rgb(path) -> numpy.ndarray\n\nReads an image file as an H x W x 3 uint8 RGB array (what the models "
        "take); raises FileNotFoundError or RuntimeError naming the path.");
  m.def("calculate_iou",
        [](const py::object& box1, const py::object& box2) { return calculate_iou(box_from(box1, "box1"), box_from(box2, "box2")); },
        py::arg("box1"), py::arg("box2"),
        "calculate_iou(box1, box2) -> float\n\n"
        "Returns the intersection over union of two boxes [x_min, y_min, x_max, y_max] (pixels; width = x_max - "
        "x_min). Boxes touching only along an edge do not intersect; 0.0 when the union is not positive.");
  m.def("calculate_masks_intersection",
        [](const py::object& mask1, const py::object& mask2) {
          return calculate_masks_intersection(mask_from_object(mask1, "mask1"), mask_from_object(mask2, "mask2"));
        },
        py::arg("mask1"), py::arg("mask2"),
        "calculate_masks_intersection(mask1, mask2) -> float\n\n"
        "Returns the percentage of mask1 covered by mask2 (0.0 when mask1 is empty). Masks: Mask or H x W / 1 x H x W "
        "arrays, non-zero = inside.");
  m.def("calculate_masks_intersection_new",
        [](const py::object& mask1, const py::object& mask2, std::int64_t area1, std::int64_t area2) {
          const auto r = calculate_masks_intersection_new(mask_from_object(mask1, "mask1"),
                                                          mask_from_object(mask2, "mask2"), area1, area2);
          return py::make_tuple(r.result_1, r.result_2);
        },
        py::arg("mask1"), py::arg("mask2"), py::arg("mask_area_1"), py::arg("mask_area_2"),
        "calculate_masks_intersection_new(mask1, mask2, mask_area_1, mask_area_2) -> (result_1, result_2)\n\n"
        "Returns (result_1, result_2): the intersection as a percentage of mask_area_1 and of mask_area_2; an area "
        "that is not positive gives 0.0.");
  m.def("intersection_between_masks",
        [](const py::object& masks_dict, const py::object& processed_mask_areas) {
          const MaskDict masks = mask_dict_from_object(masks_dict, "masks_dict");
          const AreaMap areas = area_map_from_object(processed_mask_areas, "processed_mask_areas");
          IntersectionsTable table;
          {
            ReleaseGil release;
            table = intersection_between_masks(masks, areas);
          }
          py::object frame = frame_from_table(table);
          const auto keys = original_keys(masks_dict);
          py::list labels;
          for (const auto& key : table.keys()) labels.append(key_object(keys, key));
          frame.attr("index") = labels;
          frame.attr("columns") = labels;
          return frame;
        },
        py::arg("masks_dict"), py::arg("processed_mask_areas") = py::none(),
        "intersection_between_masks(masks_dict, processed_mask_areas=None) -> pandas.DataFrame\n\n"
        "Returns the intersections table as a pandas DataFrame (box keys as given, as index and columns): cell (r, c) is the "
        "percentage of mask r covered by mask c. processed_mask_areas None counts the areas.");
  m.def("enhance_dark_text",
        [](const py::object& image_pil, double gamma) {
          const cv::Mat rgb = image_from_array(image_pil, "image_pil");
          if (rgb.channels() != 3) value_error("image_pil: expected an H x W x 3 RGB image");
          return array_from_mat(enhance_dark_text(swap_red_blue(rgb), gamma));
        },
        py::arg("image_pil"), py::arg("gamma") = 1.5,
        "enhance_dark_text(image_pil, gamma=1.5) -> numpy.ndarray\n\n"
        "Returns the H x W x 3 uint8 RGB image as a grey uint8 H x W image with a gamma curve and histogram "
        "equalisation, so dark markings stand out. gamma 0 raises ValueError.");
}

}  // namespace pelk::python
