// A program outside the project that uses the installed library the way the
// README shows.
#include <iostream>

#include <pelk_utils/pelk_utils.hpp>

int main() {
  cv::Mat1b a = cv::Mat1b::zeros(8, 8), b = cv::Mat1b::zeros(8, 8);
  a(cv::Rect(0, 0, 4, 4)).setTo(1);
  b(cv::Rect(2, 0, 4, 4)).setTo(1);
  pelk::MaskDict masks;
  masks.insert_or_assign("Box0", pelk::Mask(a));
  masks.insert_or_assign("Box1", pelk::Mask(b));
  const pelk::IntersectionsTable table = pelk::intersection_between_masks(masks, pelk::mask_areas(masks));
  const auto path = pelk::get_pen_json_path("D:\\data\\Camera62_20240405\\clip");
  const cv::Mat picture = pelk::img_bbx_drawing(cv::Mat3b(8, 8, cv::Vec3b(0, 0, 0)), masks);

  pelk::VideoMetadata catalogue{.base_dir = "/nonexistent", .sub_dirs = {"cam61"}};
  const pelk::CatalogueTable videos = catalogue.get_filtered_video_dataframe();
  pelk::VideoProcessor frames{.resize_dim = std::pair{0, 360}, .output_dir_base = "/tmp/frames"};
  frames.process_videos_to_frames(videos);

  std::cout << pelk::format_number(table.at("Box1", "Box0")) << " " << path.value_or("None") << "\n";
  return table.at("Box1", "Box0") == 50.0 && path && picture.type() == CV_8UC4 && videos.empty() ? 0 : 1;
}
