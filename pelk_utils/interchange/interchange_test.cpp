#include "pelk_utils/interchange/track_export.hpp"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <pugixml.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/interchange/cvat.hpp"
#include "pelk_utils/interchange/evaluation_input.hpp"
#include "pelk_utils/interchange/mot.hpp"
#include "pelk_utils/interchange/track_import.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"
#include "pelk_utils/synth/pen_scene.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;

// Two clips of the synthetic pen (Box7 missing in clip b's frame 1) and what
// their annotation files hold, to compare every export with.
class ExportTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    synth::SceneConfig c;
    c.frame_size = {200, 240};
    const synth::PenScene scene(c);
    for (const auto& [name, first] : {std::pair{"a", 0}, std::pair{"b", 3}}) {
      const auto images = scene.write_frames(path(std::string(name) + "_frames"), first, 3);
      fs::create_directories(dir_ / name);
      for (int f = 0; f < 3; ++f) {
        std::vector<AnnotatedObject> objects;
        for (const auto& t : scene.truth(first + f)) {
          if (!(std::string(name) == "b" && f == 1 && t.identity == 7)) objects.push_back({t.identity + 1, t.mask});
        }
        const std::string file = path(std::string(name) + "/output_pp_" + std::to_string(f) + ".json");
        write_annotation_file(file, images[static_cast<std::size_t>(f)], objects);
        files_.push_back(file);
      }
      clips_.push_back(path(name));
    }
    {
      testing::CoutCapture quiet;
      for (const std::string& clip : clips_) {
        const AnnotationData data = get_pelk_annotation_data("", false, 0, clip);
        for (const auto& [k, record] : *data.pelk_annotation_data) records_.push_back(record);
      }
    }
  }
  // The polygons of frame `i` (over both clips) for `key`, in pixels.
  std::vector<std::vector<double>> file_polygons(std::size_t i, const std::string& key) const {
    const nlohmann::json doc = read_annotation_json(files_[i]);
    const cv::Size size = records_[i].masks_dict.begin()->second.size();
    for (const auto& d : doc["detections"]) {
      if (box_key(d["object_id"].get<std::int64_t>() - 1) != key) continue;
      std::vector<std::vector<double>> out;
      for (const auto& text : d["formatted_polygon"]) {
        PolygonString p = parse_polygon_string(text.get<std::string>(), "test");
        for (std::size_t k = 0; k + 1 < p.coords.size(); k += 2) p.coords[k] *= size.width, p.coords[k + 1] *= size.height;
        out.push_back(p.coords);
      }
      return out;
    }
    return {};
  }
  std::vector<std::string> clips_, files_;
  std::vector<FrameRecord> records_;
};

std::vector<double> numbers_of(const std::string& points) {
  std::vector<double> out;
  std::stringstream in(points);
  for (std::string pair; std::getline(in, pair, ';');) {
    const auto comma = pair.find(',');
    out.push_back(std::stod(pair.substr(0, comma)));
    out.push_back(std::stod(pair.substr(comma + 1)));
  }
  return out;
}

TEST_F(ExportTest, MotRowsAreTheMasksBoxesWithTheirMapping) {
  const ExportSummary s = export_tracks(clips_, TrackFormat::kMot, path("tracks.txt"));
  EXPECT_EQ(s.frames, 6u);
  EXPECT_EQ(s.objects, 59u);
  std::ifstream in(path("tracks.txt"));
  std::map<std::pair<std::size_t, std::int64_t>, std::string> rows;
  for (std::string line; std::getline(in, line);) {
    std::stringstream fields(line);
    std::size_t frame;
    std::int64_t id;
    char comma;
    fields >> frame >> comma >> id;
    rows[{frame, id}] = line;
  }
  ASSERT_EQ(rows.size(), 59u);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    for (const auto& [key, mask] : records_[i].masks_dict) {
      const std::int64_t id = std::stoll(key.substr(3)) + 1;
      EXPECT_EQ(rows.at({i + 1, id}) + "\n", mot_row(i + 1, id, mask.box()));
    }
  }
  EXPECT_EQ(rows.count({5, 8}), 0u) << "Box7 has no mask in clip b's frame 1";
  EXPECT_EQ(mot_row(3, 4, Box{10, 20, 19, 24}), "3,4,10,20,10,5,1,-1,-1,-1\n");
  const nlohmann::json mapping = nlohmann::json::parse(testing::slurp(s.mapping_path));
  EXPECT_EQ(mapping["ids"]["Box3"], 4);
  EXPECT_EQ(mapping["clips"][1]["first_frame"], 4);
}

TEST_F(ExportTest, CvatTracksHoldTheFilesPolygonsAndOutsideWhereNoMask) {
  export_tracks(clips_, TrackFormat::kCvat, path("tracks.xml"));
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(path("tracks.xml").c_str()));
  const pugi::xml_node root = doc.child("annotations");
  EXPECT_STREQ(root.child_value("version"), "1.1");
  EXPECT_STREQ(root.child("meta").child("task").child_value("size"), "6");
  EXPECT_STREQ(root.child("meta").child("task").child("labels").child("label").child_value("name"), "pig");
  int tracks = 0;
  for (const pugi::xml_node track : root.children("track")) {
    const pugi::xml_node named = track.child("polygon").child("attribute");
    if (std::string_view(named.attribute("name").value()) == "part_of") continue;  // a separate piece of an animal
    ++tracks;
    const std::string key = "Box" + std::to_string(tracks - 1);
    int frames = 0;
    for (const pugi::xml_node polygon : track.children("polygon")) {
      const std::size_t frame = polygon.attribute("frame").as_uint();
      EXPECT_EQ(frame, static_cast<std::size_t>(frames++));
      EXPECT_STREQ(polygon.attribute("keyframe").value(), "1");
      const bool outside = polygon.attribute("outside").as_int() == 1;
      EXPECT_EQ(outside, !records_[frame].masks_dict.contains(key)) << key << " frame " << frame;
      EXPECT_STREQ(polygon.child("attribute").text().get(), key.c_str());
      if (outside) continue;
      const auto polygons = file_polygons(frame, key);
      const std::vector<double> got = numbers_of(polygon.attribute("points").value());
      bool found = false;
      for (const auto& p : polygons) found = found || p == got;
      EXPECT_TRUE(found) << key << " frame " << frame;
    }
    EXPECT_EQ(frames, 6);
  }
  EXPECT_EQ(tracks, 10);
}

TEST_F(ExportTest, CocoAnnotationsHoldPolygonsBoxesAreasAndTrackIds) {
  export_tracks(clips_, TrackFormat::kCoco, path("coco.json"));
  const nlohmann::json doc = nlohmann::json::parse(testing::slurp(path("coco.json")));
  ASSERT_EQ(doc["images"].size(), 6u);
  EXPECT_EQ(doc["categories"][0]["name"], "pig");
  ASSERT_EQ(doc["annotations"].size(), 59u);
  for (const auto& a : doc["annotations"]) {
    const std::size_t frame = a["image_id"].get<std::size_t>() - 1;
    const std::string key = "Box" + std::to_string(a["track_id"].get<std::int64_t>() - 1);
    EXPECT_EQ(a["attributes"]["track_id"], a["track_id"]);
    const Mask& mask = records_[frame].masks_dict.at(key);
    const Box b = mask.box();
    EXPECT_EQ(a["bbox"], (nlohmann::json{b[0], b[1], b[2] - b[0] + 1, b[3] - b[1] + 1}));
    const auto polygons = a["segmentation"].get<std::vector<std::vector<double>>>();
    EXPECT_EQ(polygons, file_polygons(frame, key));
    double area = 0;  // the segmentation's own area, as COCO tools compute it from the polygons
    for (const auto& p : polygons) {
      std::vector<cv::Point2f> points;
      for (std::size_t k = 0; k + 1 < p.size(); k += 2) points.emplace_back(static_cast<float>(p[k]), static_cast<float>(p[k + 1]));
      area += std::abs(cv::contourArea(points));
    }
    EXPECT_NEAR(a["area"].get<double>(), area, 1e-4 * area);
  }
  // coco-rle: every mask exact, area its pixel count.
  export_tracks(clips_, TrackFormat::kCocoRle, path("rle.json"));
  const nlohmann::json rle = nlohmann::json::parse(testing::slurp(path("rle.json")));
  ASSERT_EQ(rle["annotations"].size(), 59u);
  for (const auto& a : rle["annotations"]) {
    const std::size_t frame = a["image_id"].get<std::size_t>() - 1;
    const Mask& mask = records_[frame].masks_dict.at("Box" + std::to_string(a["track_id"].get<std::int64_t>() - 1));
    EXPECT_EQ(a["segmentation"]["size"], (nlohmann::json{mask.size().height, mask.size().width}));
    cv::Mat1b decoded(mask.size().width, mask.size().height, uchar{0});  // column-major: transposed
    std::size_t at = 0;
    bool one = false;
    for (const auto& n : a["segmentation"]["counts"]) {
      for (std::int64_t k = 0; k < n.get<std::int64_t>(); ++k, ++at) decoded(static_cast<int>(at))= one ? 1 : 0;
      one = !one;
    }
    EXPECT_EQ(at, decoded.total());
    EXPECT_EQ(cv::countNonZero(decoded.t() != mask.full()), 0);
    EXPECT_EQ(a["area"], mask.area());
  }
  EXPECT_EQ(doc["images"][3]["file_name"], records_[3].image_path);
  EXPECT_EQ(doc["images"][3]["width"], 200);
  // Video-aware readers: one video; each image its 0-based frame in it.
  ASSERT_EQ(doc["videos"].size(), 1u);
  EXPECT_EQ(doc["videos"][0]["id"], 1);
  for (const auto& image : doc["images"]) {
    EXPECT_EQ(image["video_id"], 1);
    EXPECT_EQ(image["frame_id"], image["id"].get<int>() - 1);
  }
  EXPECT_EQ(doc["annotations"][0]["instance_id"], doc["annotations"][0]["track_id"]);
}

TEST_F(ExportTest, EscapesAndRefusals) {
  EXPECT_EQ(xml_escaped("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
  EXPECT_EQ(cvat_points({1.5, 2, 3, 4.25}), "1.5,2.0;3.0,4.25");
  EXPECT_THROW(export_tracks(clips_, TrackFormat::kMot, path("a/tracks.txt")), std::invalid_argument);
  EXPECT_FALSE(fs::exists(path("a/tracks.txt")));
  EXPECT_EQ(track_format_named("cvat"), TrackFormat::kCvat);
  EXPECT_FALSE(track_format_named("csv").has_value());
}

// The clips as one track set, frames numbered from `first` over both clips
// in order (as the exports number them).
TrackSet as_one_set(const std::vector<FrameRecord>& records, std::int64_t first, bool boxes) {
  TrackSet out;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::vector<TrackObject>& objects = out.frames[first + static_cast<std::int64_t>(i)];
    for (const auto& [key, mask] : records[i].masks_dict) {
      if (mask.empty()) continue;
      objects.push_back({key, boxes ? std::nullopt : std::optional<Mask>(mask), continuous_box(mask)});
    }
  }
  return out;
}

// The truth: the same animals, Box2 and Box5 exchanged from the fourth frame
// on and Box9 missing in the second, so that every measure has work to do.
std::vector<FrameRecord> disturbed(std::vector<FrameRecord> records) {
  for (std::size_t i = 3; i < records.size(); ++i) {
    MaskDict& m = records[i].masks_dict;
    const Mask two = m.at("Box2");
    m.insert_or_assign("Box2", m.at("Box5"));
    m.insert_or_assign("Box5", two);
  }
  records[1].masks_dict.erase("Box9");
  return records;
}

void expect_same_measures(const TrackingMeasures& a, const TrackingMeasures& b) {
  EXPECT_EQ(a.box_iou, b.box_iou);
  EXPECT_EQ(a.matches, b.matches);
  EXPECT_EQ(a.misses, b.misses);
  EXPECT_EQ(a.false_positives, b.false_positives);
  EXPECT_EQ(a.id_switches, b.id_switches);
  EXPECT_EQ(a.idtp, b.idtp);
  EXPECT_DOUBLE_EQ(a.mean_iou, b.mean_iou);
  EXPECT_DOUBLE_EQ(a.hota.hota, b.hota.hota);
  EXPECT_DOUBLE_EQ(a.hota.assa, b.hota.assa);
  EXPECT_DOUBLE_EQ(a.hota.loca, b.hota.loca);
}

// A truth folder written from the disturbed records, in one clip.
std::string write_truth_folder(const std::vector<FrameRecord>& truth, const std::string& dir) {
  fs::create_directories(dir);
  for (std::size_t i = 0; i < truth.size(); ++i) {
    std::vector<AnnotatedObject> objects;
    for (const auto& [key, mask] : truth[i].masks_dict) objects.push_back({*box_number_of_key(key) + 1, mask, {}});
    write_annotation_file(dir + "/output_pp_" + std::to_string(i) + ".json", truth[i].image_path, objects);
  }
  return dir;
}

TEST_F(ExportTest, MotAndCvatFilesMeasureAsTheFoldersTheyCameFrom) {
  const std::vector<FrameRecord> truth = disturbed(records_);
  const std::string truth_dir = write_truth_folder(truth, path("truth"));
  export_tracks(clips_, TrackFormat::kMot, path("tracked.txt"));
  export_tracks({truth_dir}, TrackFormat::kMot, path("truth.txt"));
  export_tracks(clips_, TrackFormat::kCvat, path("tracked.xml"));
  export_tracks({truth_dir}, TrackFormat::kCvat, path("truth.xml"));

  // MOT holds boxes: the folders' masks met as their boxes.
  const TrackingMeasures by_boxes = evaluate_tracks(as_one_set(records_, 1, true), as_one_set(truth, 1, true));
  EXPECT_GT(by_boxes.id_switches, 0);
  EXPECT_LT(by_boxes.hota.hota, 1.0);
  const auto [mot_tracked, mot_truth] = read_evaluation_inputs(path("tracked.txt"), path("truth.txt"));
  expect_same_measures(evaluate_tracks(mot_tracked, mot_truth), by_boxes);
  // A folder against MOT: boxes too, the folder's keys shifted onto MOT's frames.
  const auto [folder, mot] = read_evaluation_inputs(truth_dir, path("truth.txt"));
  const TrackingMeasures shifted = evaluate_tracks(folder, mot, {.frame_offset = 1});
  EXPECT_TRUE(shifted.box_iou);
  EXPECT_DOUBLE_EQ(shifted.hota.hota, 1.0);

  // CVAT holds the files' polygons: the same masks, the same numbers.
  const TrackingMeasures by_masks = evaluate_tracks(as_one_set(records_, 0, false), as_one_set(truth, 0, false));
  const auto [cvat_tracked, cvat_truth] = read_evaluation_inputs(path("tracked.xml"), path("truth.xml"));
  expect_same_measures(evaluate_tracks(cvat_tracked, cvat_truth), by_masks);
  EXPECT_EQ(cvat_truth.frames.at(3).front().key, "Box0");
}

TEST_F(ExportTest, ImportedFilesLoadAsTheFoldersTheyCameFrom) {
  export_tracks({clips_[0]}, TrackFormat::kCvat, path("a.xml"));
  export_tracks({clips_[0]}, TrackFormat::kMot, path("a.txt"));
  std::vector<std::string> images;
  for (int f = 0; f < 3; ++f) images.push_back(records_[static_cast<std::size_t>(f)].image_path);
  const ImportSummary cvat = import_tracks(read_cvat(path("a.xml")), images, path("from_cvat"), 0);
  EXPECT_EQ(cvat.files, 3u);
  EXPECT_EQ(cvat.identities, 10u);
  const ImportSummary mot = import_tracks(read_mot(path("a.txt"), TrackSide::kTruth), images, path("from_mot"), 1);
  EXPECT_EQ(mot.objects, 30u);
  testing::CoutCapture quiet;
  const ClipAnnotationData from_cvat = *get_pelk_annotation_data("", false, 0, path("from_cvat")).pelk_annotation_data;
  const ClipAnnotationData from_mot = *get_pelk_annotation_data("", false, 0, path("from_mot")).pelk_annotation_data;
  for (int f = 0; f < 3; ++f) {
    const FrameRecord& original = records_[static_cast<std::size_t>(f)];
    EXPECT_EQ(from_cvat.at(f).image_path, original.image_path);
    for (const auto& [key, mask] : original.masks_dict) {
      EXPECT_TRUE(from_cvat.at(f).masks_dict.at(key) == mask) << "polygons as given: the same pixels, " << key;
      const Mask& box = from_mot.at(f).masks_dict.at(key);  // a rectangle over the mask's pixels
      EXPECT_EQ(box.bounds(), mask.bounds()) << key;
      EXPECT_EQ(box.area(), mask.bounds().area()) << key;
    }
  }
  // Importing again into a folder that holds files, or frames without an image: refused, nothing written.
  EXPECT_THROW(import_tracks(read_cvat(path("a.xml")), images, path("from_cvat"), 0), std::invalid_argument);
  EXPECT_THROW(import_tracks(read_mot(path("a.txt"), TrackSide::kTruth), {images[0]}, path("short"), 1),
               std::invalid_argument);
  EXPECT_FALSE(fs::exists(path("short")));
}

// Boxes that cover no pixel of the image (wholly outside it, or of no
// width) become empty masks, and the import says how many.
TEST_F(ExportTest, ImportedBoxesThatCoverNoPixelAreNoted) {
  cv::imwrite(path("tiny.png"), cv::Mat3b(40, 60, cv::Vec3b(0, 0, 0)));
  std::ofstream(path("boxes.txt")) << "1,1,10,10,20,20,1,-1,-1,-1\n1,2,5000,5000,10,10,1,-1,-1,-1\n1,3,30,10,0,10,1,-1,-1,-1\n";
  const ImportSummary s = import_tracks(read_mot(path("boxes.txt"), TrackSide::kTruth), {path("tiny.png")}, path("boxes"), 1);
  EXPECT_EQ(s.objects, 3u);
  bool noted = false;
  for (const std::string& n : s.notes) noted = noted || n.find("2 boxes lie wholly outside the image") != std::string::npos;
  EXPECT_TRUE(noted);
}

// Shapes that wait in scratch files come back in order: a writer that
// spills after every shape writes the same bytes as one that never does.
TEST_F(ExportTest, CvatShapesSpilledToScratchFilesComeBackInOrder) {
  const auto write = [&](const std::string& name, std::size_t spill_bytes) {
    const std::unique_ptr<TrackWriter> w = cvat_writer(path(name), "t", spill_bytes);
    for (std::size_t i = 0; i < records_.size(); ++i) {
      ExportFrame f;
      f.index = i;
      f.image_path = records_[i].image_path;
      for (const auto& [key, mask] : records_[i].masks_dict) {
        f.objects.push_back({key, export_id_of(key, "test"), file_polygons(i, key), mask.box(), mask.area()});
      }
      w->frame(f);
    }
    w->finish();
    return testing::slurp(path(name));
  };
  const std::string spilled = write("spilled.xml", 1), whole = write("whole.xml", std::size_t{1} << 30);
  EXPECT_GT(whole.size(), 1000u);
  EXPECT_EQ(spilled, whole);
}

// An animal with a box but no polygon in a frame (its mask left no outline)
// is outside there: CVAT would otherwise draw the last outline it had, and a
// reader would count the animal present.
TEST_F(ExportTest, CvatWritesAnObjectWithoutPolygonsAsOutside) {
  const std::unique_ptr<TrackWriter> w = cvat_writer(path("gone.xml"), "t");
  const std::vector<double> square = {10, 10, 30, 10, 30, 30, 10, 30};
  for (std::size_t i = 0; i < 3; ++i) {
    ExportFrame f;
    f.index = i;
    f.width = 100, f.height = 80;
    f.image_path = "frame" + std::to_string(i) + ".png";
    ExportObject o{"Box0", 1, {}, Box{10, 10, 30, 30}, 441};
    if (i != 1) o.polygons = {square};
    f.objects.push_back(o);
    w->frame(f);
  }
  w->finish();
  const std::string xml = testing::slurp(path("gone.xml"));
  EXPECT_NE(xml.find("<polygon frame=\"1\" outside=\"1\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<polygon frame=\"2\" outside=\"0\""), std::string::npos) << xml;
  const ImportedTracks read = read_cvat(path("gone.xml"));
  std::size_t shapes_in_frame_1 = 0;
  for (const auto& [frame, objects] : read.frames) shapes_in_frame_1 += frame == 1 ? objects.size() : 0;
  EXPECT_EQ(shapes_in_frame_1, 0u) << "read back absent in frame 1";
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// A clip whose annotation files skip frames 3 and 4 (output_pp_0..2, 5..7):
// every export and the tracks table number frames by the files' own numbers,
// CVAT marks the gap outside so it is not filled in, and importing the MOT
// file onto the frame images puts every box back on the image it came from.
TEST_F(ExportTest, ExportsAndImportKeepTheFilesOwnFrameNumbers) {
  synth::SceneConfig c;
  c.frame_size = {200, 240};
  const synth::PenScene scene(c);
  const std::vector<std::string> images = scene.write_frames(path("frames"), 0, 8);
  const std::string clip = path("gapped");
  fs::create_directories(clip);
  const std::vector<int> kept = {0, 1, 2, 5, 6, 7};
  for (const int f : kept) {
    std::vector<AnnotatedObject> objects;
    for (const auto& t : scene.truth(f)) objects.push_back({t.identity + 1, t.mask});
    write_annotation_file(clip + "/output_pp_" + std::to_string(f) + ".json", images[static_cast<std::size_t>(f)], objects);
  }
  export_tracks({clip}, TrackFormat::kMot, path("t.txt"));
  export_tracks({clip}, TrackFormat::kCvat, path("t.xml"));
  export_tracks({clip}, TrackFormat::kCoco, path("t.json"));

  std::set<int> mot_frames;
  std::istringstream mot(testing::slurp(path("t.txt")));
  for (std::string line; std::getline(mot, line);) mot_frames.insert(std::stoi(line.substr(0, line.find(','))));
  EXPECT_EQ(mot_frames, (std::set<int>{1, 2, 3, 6, 7, 8}));

  pugi::xml_document xml;
  ASSERT_TRUE(xml.load_file(path("t.xml").c_str()));
  std::set<int> named;
  for (const auto& f : xml.select_nodes("//pelk_frames/frame")) named.insert(f.node().attribute("id").as_int());
  EXPECT_EQ(named, (std::set<int>{0, 1, 2, 5, 6, 7}));
  for (const auto& t : xml.select_nodes("//track")) {
    std::map<int, bool> outside;
    for (const auto& s : t.node().children("polygon")) outside[s.attribute("frame").as_int()] = s.attribute("outside").as_int() == 1;
    EXPECT_TRUE(outside.count(3) && outside[3]) << "the gap is outside, track " << t.node().attribute("id").value();
    EXPECT_FALSE(outside[5]) << "and the track is back after it";
  }

  std::set<std::int64_t> coco_keys;
  const nlohmann::json coco = nlohmann::json::parse(testing::slurp(path("t.json")));
  for (const auto& image : coco["images"]) {
    coco_keys.insert(image["frame_key"].get<std::int64_t>());
  }
  EXPECT_EQ(coco_keys, (std::set<std::int64_t>{0, 1, 2, 5, 6, 7}));

  std::set<std::int64_t> table_keys;
  for_each_track_row({clip}, {}, [&](const TrackRow& r) { table_keys.insert(r.frame_key); });
  EXPECT_EQ(table_keys, coco_keys);

  import_tracks(read_mot(path("t.txt"), TrackSide::kTruth), images, path("imported"), 1);
  for (const int f : kept) {
    const std::string file = path("imported/output_pp_" + std::to_string(f) + ".json");
    ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(read_annotation_json(file)["image_path"], fs::absolute(images[static_cast<std::size_t>(f)]).string());
    EXPECT_EQ(read_annotation_json(file)["detections"].size(), 10u);
  }
  EXPECT_EQ(read_annotation_json(path("imported/output_pp_3.json"))["detections"].size(), 0u)
      << "a frame the files skipped has its image and no boxes";
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// A MOT file imported as a folder is measured as the MOT file itself is (its
// boxes by box IoU, not rectangles by mask IoU), and said so; once a file
// of the folder is edited, its masks are measured instead, and said so.
TEST_F(ExportTest, ImportedBoxesMeasureAsTheFileTheyCameFrom) {
  std::vector<FrameRecord> first(records_.begin(), records_.begin() + 3);
  const std::string truth_dir = write_truth_folder(disturbed(first), path("truth"));
  export_tracks({truth_dir}, TrackFormat::kMot, path("truth.txt"));
  std::vector<std::string> images;
  for (const FrameRecord& r : first) images.push_back(r.image_path);
  import_tracks(read_mot(path("truth.txt"), TrackSide::kTruth), images, path("imported"), 1);

  const auto [tracked, mot] = read_evaluation_inputs(clips_[0], path("truth.txt"));
  const TrackingMeasures of_file = evaluate_tracks(tracked, mot, {.frame_offset = 1});
  const auto [tracked_again, imported] = read_evaluation_inputs(clips_[0], path("imported"));
  EXPECT_FALSE(imported.all_masks());
  ASSERT_EQ(imported.notes.size(), 1u);
  EXPECT_NE(imported.notes[0].find("holds boxes imported from MOTChallenge text"), std::string::npos) << imported.notes[0];
  const TrackingMeasures of_folder = evaluate_tracks(tracked_again, imported);
  EXPECT_TRUE(of_folder.box_iou);
  expect_same_measures(of_folder, of_file);
  EXPECT_DOUBLE_EQ(of_folder.mota, of_file.mota);

  // An edit since the import: the rectangles the files hold are measured.
  std::ofstream(path("imported/output_pp_1.json"), std::ios::app) << " ";
  const auto [tracked_last, edited] = read_evaluation_inputs(clips_[0], path("imported"));
  EXPECT_TRUE(edited.all_masks());
  ASSERT_FALSE(edited.notes.empty());
  EXPECT_NE(edited.notes.back().find("changed since: their masks are measured"), std::string::npos);
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// An animal cut in two by a beam for frames 1-3 and again for frame 6: its
// piece is one extra track per run of split frames (two tracks, not four),
// each shape naming the animal as identity and as part_of, outside from the
// first frame the animal is whole again; read back, every frame holds the
// animal with all its pieces.
TEST_F(ExportTest, CvatGivesASplitAnimalOnePieceTrackPerRun) {
  const std::unique_ptr<TrackWriter> w = cvat_writer(path("split.xml"), "t");
  const std::vector<double> body = {10, 10, 40, 10, 40, 30, 10, 30}, piece = {50, 10, 60, 10, 60, 30, 50, 30};
  const std::set<std::size_t> split = {1, 2, 3, 6};
  for (std::size_t i = 0; i < 8; ++i) {
    ExportFrame f;
    f.index = i;
    f.width = 100, f.height = 80;
    f.image_path = "frame" + std::to_string(i) + ".png";
    ExportObject o{"Box4", 5, {body}, Box{10, 10, 60, 30}, 0};
    if (split.contains(i)) o.polygons.push_back(piece);
    f.objects.push_back(o);
    w->frame(f);
  }
  w->finish();
  pugi::xml_document xml;
  ASSERT_TRUE(xml.load_file(path("split.xml").c_str()));
  std::vector<std::vector<std::pair<int, bool>>> piece_tracks;  // (frame, outside) of each part track
  for (const auto& t : xml.select_nodes("//track")) {
    const pugi::xml_node first = t.node().child("polygon");
    if (!first.find_child_by_attribute("attribute", "name", "part_of")) continue;
    auto& shapes = piece_tracks.emplace_back();
    for (const auto& s : t.node().children("polygon")) {
      EXPECT_STREQ(s.find_child_by_attribute("attribute", "name", "identity").text().get(), "Box4");
      shapes.emplace_back(s.attribute("frame").as_int(), s.attribute("outside").as_int() == 1);
    }
  }
  EXPECT_EQ(piece_tracks, (std::vector<std::vector<std::pair<int, bool>>>{
                              {{1, false}, {2, false}, {3, false}, {4, true}}, {{6, false}, {7, true}}}));
  const ImportedTracks read = read_cvat(path("split.xml"));
  for (std::size_t i = 0; i < 8; ++i) {
    ASSERT_EQ(read.frames.at(static_cast<std::int64_t>(i)).size(), 1u) << i;
    EXPECT_EQ(read.frames.at(static_cast<std::int64_t>(i))[0].polygons.size(), split.contains(i) ? 2u : 1u) << i;
  }
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// A day measured as one sequence: clips whose keys follow on score as one
// track per animal; a second clip that numbers two animals the other way
// round (each clip perfect on its own) loses day-level IDF1.
TEST_F(ExportTest, ADayIsMeasuredAsOneSequence) {
  std::vector<FrameRecord> second(records_.begin() + 3, records_.end());
  for (FrameRecord& r : second) {
    const Mask two = r.masks_dict.at("Box2");
    r.masks_dict.insert_or_assign("Box2", r.masks_dict.at("Box5"));
    r.masks_dict.insert_or_assign("Box5", two);
  }
  const std::string own_way = write_truth_folder(second, path("b_own_way"));
  const auto [same, truth] = read_day_evaluation_inputs(clips_, clips_);
  EXPECT_EQ(same.frames.size(), 6u) << "two clips of three frames, one after the other";
  const TrackingMeasures chained = evaluate_tracks(same, truth);
  EXPECT_DOUBLE_EQ(chained.idf1, 1.0);
  const auto [mixed, truth_again] = read_day_evaluation_inputs({clips_[0], own_way}, clips_);
  const TrackingMeasures unchained = evaluate_tracks(mixed, truth_again);
  EXPECT_EQ(unchained.id_switches, 2);
  EXPECT_LT(unchained.idf1, 1.0);
  const auto [alone, its_truth] = read_evaluation_inputs(own_way, clips_[1]);
  EXPECT_DOUBLE_EQ(evaluate_tracks(alone, its_truth).idf1, 1.0) << "the second clip is perfect on its own";
  EXPECT_THROW(read_day_evaluation_inputs(clips_, {clips_[0]}), std::invalid_argument);
}

}  // namespace
}  // namespace pelk
