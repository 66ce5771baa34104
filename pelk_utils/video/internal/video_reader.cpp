#include "pelk_utils/video/internal/video_reader.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include <opencv2/core.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "pelk_utils/video/internal/studio_range.hpp"

namespace pelk::internal {
namespace {

// OpenCV's threshold for "no rate" and "no duration".
constexpr double kEpsZero = 0.000025;
// Undecodable packets in a row before a stream counts as ended (OpenCV's limit).
constexpr int kMaxBadPackets = 4096;

double to_double(AVRational r) { return r.den == 0 ? 0.0 : static_cast<double>(r.num) / r.den; }

// Lowers libav's console logging (its default, or the error level OpenCV
// sets) to fatal errors only: a damaged or unreadable file is reported by
// the caller in one line, not by a stream of decoder complaints. A verbose
// level an application chose for debugging is kept. Checked at every open,
// because OpenCV resets the level whenever it opens a video.
void quiet_libav_logging() {
  if (av_log_get_level() <= AV_LOG_INFO) av_log_set_level(AV_LOG_FATAL);
}

// Planar 8-bit YCbCr formats whose regions swscale can convert in place.
bool is_planar_yuv8(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P: case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV422P: case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P: case AV_PIX_FMT_YUVJ444P:
      return true;
    default:
      return false;
  }
}

// Copies `size` bytes at `data` (row stride `stride`), mapped to full range
// when `studio` names the plane (else as they are), into a new plane of
// `padded` size, repeating the last row and column. One pass over the
// pixels, then the thin padding.
cv::Mat padded_plane(const uint8_t* data, int stride, cv::Size size, std::optional<Plane> studio, cv::Size padded) {
  const int cols = padded.width, rows = padded.height;
  cv::Mat out(padded, CV_8U);
  for (int y = 0; y < size.height; ++y) {
    unsigned char* row = out.ptr<unsigned char>(y);
    const uint8_t* in = data + static_cast<std::ptrdiff_t>(y) * stride;
    if (studio) {
      map_studio_range(in, row, size.width, *studio);
    } else {
      std::copy(in, in + size.width, row);
    }
    std::fill(row + size.width, row + cols, row[size.width - 1]);
  }
  for (int y = size.height; y < rows; ++y) out.row(size.height - 1).copyTo(out.row(y));
  return out;
}

// Returns the address of frame pixel `at` in plane `p` of a planar frame
// (chroma planes subsampled as the format says).
const uint8_t* plane_at(const AVFrame* f, int p, cv::Point at) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  const int shift_w = p == 0 ? 0 : desc->log2_chroma_w, shift_h = p == 0 ? 0 : desc->log2_chroma_h;
  return f->data[p] + static_cast<std::ptrdiff_t>(at.y >> shift_h) * f->linesize[p] + (at.x >> shift_w);
}

// Returns the window around `region` that swscale converts exactly as it
// converts the whole frame: even corner (4:2:0 and 4:2:2 chroma lines up),
// even height, and a width that is a multiple of 16 (its SIMD converters
// write garbage into the last pixels of other widths). Empty when no such
// window fits inside `frame`.
cv::Rect conversion_window(const cv::Rect& region, cv::Size frame) {
  cv::Rect window;
  window.width = round_up_16(region.br().x - (region.x & ~1));
  window.height = (region.br().y - (region.y & ~1) + 1) & ~1;
  window.x = std::min(region.x & ~1, (frame.width - window.width) & ~1);
  window.y = std::min(region.y & ~1, (frame.height - window.height) & ~1);
  const bool fits = window.x >= 0 && window.y >= 0 && window.br().x <= frame.width && window.br().y <= frame.height;
  return fits && (window & region) == region ? window : cv::Rect();
}

// The presentation times of a stream's frames, when they are not evenly
// spaced. Frames are numbered by their position in presentation order; with
// an even rate that number is also time x rate, which is how OpenCV seeks,
// and that path is kept so constant-rate recordings read as they always did.
// When two frames share a presentation time (a broken muxer wrote zero frame
// durations, or stamps that go back), the times cannot number the frames:
// they are numbered by the order the decoder gives them, and a seek counts
// frames from the start, so each frame is still read exactly once.
struct Timeline {
  bool even = true;
  bool by_count = false;            // number frames by decoding order
  std::vector<std::int64_t> times;  // sorted presentation times, only when uneven
};

// Whether every gap between consecutive sorted times is one frame interval
// at `fps`, to the nearest frame.
bool evenly_spaced(const std::vector<std::int64_t>& sorted, double tick, double fps) {
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (std::llround(static_cast<double>(sorted[i] - sorted[i - 1]) * tick * fps) != 1) return false;
  }
  return true;
}

// Returns the presentation (else decoding) times of every packet of stream
// `index` in `path`, read without decoding, or std::nullopt when a packet
// carries neither or the file cannot be read again.
std::optional<std::vector<std::int64_t>> packet_times(const std::string& path, int index) {
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(&format, avformat_close_input);
  if (avformat_find_stream_info(format, nullptr) < 0 || index >= static_cast<int>(format->nb_streams)) {
    return std::nullopt;
  }
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (static_cast<int>(i) != index) format->streams[i]->discard = AVDISCARD_ALL;
  }
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return std::nullopt;
  std::vector<std::int64_t> times;
  bool stamped = true;
  while (stamped && av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == index) {
      const std::int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      stamped = t != AV_NOPTS_VALUE;
      times.push_back(t);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  if (!stamped) return std::nullopt;
  return times;
}

// Works out a stream's timeline: from the container's index when it lists
// every frame (MP4 does, at no reading cost), else from one pass over the
// packets. Streams without time stamps count as even (they are read by
// counting from the start, as before).
Timeline make_timeline(const std::string& path, const AVStream* stream, double fps) {
  const double tick = to_double(stream->time_base);
  if (!(fps > 0) || !(tick > 0)) return {};
  const int entries = avformat_index_get_entries_count(stream);
  if (stream->nb_frames > 0 && entries == stream->nb_frames) {
    std::vector<std::int64_t> index_times;
    for (int i = 0; i < entries; ++i) index_times.push_back(avformat_index_get_entry(const_cast<AVStream*>(stream), i)->timestamp);
    std::sort(index_times.begin(), index_times.end());
    if (evenly_spaced(index_times, tick, fps)) return {};
  }
  std::optional<std::vector<std::int64_t>> times = packet_times(path, stream->index);
  if (!times || times->empty()) return {};
  std::sort(times->begin(), times->end());
  if (evenly_spaced(*times, tick, fps)) return {};
  const bool repeated = std::adjacent_find(times->begin(), times->end()) != times->end();
  return {false, repeated, std::move(*times)};
}

// Timelines of recently opened files: extraction opens one reader per
// range, and an uneven recording would otherwise be scanned once per range.
// Keyed by path, size and modification time, so a changed file is scanned
// again.
std::shared_ptr<const Timeline> cached_timeline(const std::string& path, const AVStream* stream, double fps) {
  static std::mutex mutex;
  static std::vector<std::pair<std::string, std::shared_ptr<const Timeline>>> cache;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  const auto time = std::filesystem::last_write_time(path, ec).time_since_epoch().count();
  const std::string key = path + '\n' + std::to_string(size) + '\n' + std::to_string(time) + '\n' +
                          std::to_string(stream->index);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [k, timeline] : cache) {
      if (k == key) return timeline;
    }
  }
  auto timeline = std::make_shared<const Timeline>(make_timeline(path, stream, fps));
  const std::lock_guard<std::mutex> lock(mutex);
  if (!ec) {
    if (cache.size() >= 8) cache.erase(cache.begin());
    cache.emplace_back(key, timeline);
  }
  return timeline;
}

std::atomic<std::int64_t> g_opens{0}, g_seeks{0};

}  // namespace

ReaderCounts reader_counts() { return {g_opens.load(), g_seeks.load()}; }

struct VideoReader::Impl {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  mutable SwsContext* sws = nullptr;
  AVStream* stream = nullptr;
  int stream_index = -1;
  bool draining = false;
  bool pending = false;  // `frame` was decoded by seek() and is the next read()
  bool have_frame = false;
  bool moved = false;      // frames were decoded since the last rewind
  bool exhausted = false;  // a seek went past the last frame
  std::optional<std::int64_t> first_index;
  std::string path;
  mutable std::shared_ptr<const Timeline> timeline_cache;

  ~Impl() { close(); }

  void close() {
    sws_freeContext(sws);
    sws = nullptr;
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }

  // Opens the file again at its first packet. Where every frame has the same
  // time stamp a seek by time would land on any of them (the demuxer takes
  // the last key frame at that time), so counting starts from a fresh open.
  void reopen_at_start() {
    close();
    draining = pending = have_frame = moved = exhausted = false;
    if (!open(path)) throw std::runtime_error("cannot open video '" + path + "' again");
  }

  bool open(const std::string& file) {
    path = file;
    ++g_opens;
    quiet_libav_logging();
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return false;
    if (avformat_find_stream_info(format, nullptr) < 0) return false;
    stream_index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_index < 0) return false;
    stream = format->streams[stream_index];
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (decoder == nullptr) return false;
    codec = avcodec_alloc_context3(decoder);
    if (codec == nullptr || avcodec_parameters_to_context(codec, stream->codecpar) < 0) return false;
    codec->thread_count = 0;  // one decoding thread per core, chosen by libav
    codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(codec, decoder, nullptr) < 0) return false;
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    return packet != nullptr && frame != nullptr;
  }

  double fps() const {
    double rate = to_double(stream->r_frame_rate);
    if (rate < kEpsZero) rate = to_double(stream->avg_frame_rate);
    if (rate < kEpsZero) {
      const double tick = to_double(codec->time_base);
      rate = tick > 0 ? 1.0 / tick : 0.0;
    }
    return rate;
  }

  double duration_seconds() const {
    double seconds = static_cast<double>(format->duration) / AV_TIME_BASE;
    if (seconds < kEpsZero) seconds = static_cast<double>(stream->duration) * to_double(stream->time_base);
    return seconds;
  }

  const Timeline& timeline() const {
    if (!timeline_cache) timeline_cache = cached_timeline(path, stream, fps());
    return *timeline_cache;
  }

  std::int64_t frame_count() const {
    if (!timeline().even) return static_cast<std::int64_t>(timeline().times.size());
    if (stream->nb_frames != 0) return stream->nb_frames;
    return static_cast<std::int64_t>(std::floor(duration_seconds() * fps() + 0.5));
  }

  // Decodes the next frame into `frame`; returns false at the end.
  bool decode_next() {
    moved = true;
    int failures = 0;
    while (true) {
      const int received = avcodec_receive_frame(codec, frame);
      if (received == 0) return have_frame = true;
      if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && draining)) return have_frame = false;
      if (received != AVERROR(EAGAIN)) {  // a damaged frame: skip it, as OpenCV does
        if (++failures > kMaxBadPackets) return have_frame = false;
        continue;
      }
      if (draining) return have_frame = false;
      if (av_read_frame(format, packet) < 0) {
        avcodec_send_packet(codec, nullptr);
        draining = true;
        continue;
      }
      if (packet->stream_index == stream_index && avcodec_send_packet(codec, packet) < 0 &&
          ++failures > kMaxBadPackets) {
        av_packet_unref(packet);
        return have_frame = false;
      }
      av_packet_unref(packet);
    }
  }

  // Returns the current frame's number from its time stamp, or std::nullopt
  // when the stream carries none.
  std::optional<std::int64_t> stamped_index() const {
    const std::int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) return std::nullopt;
    const std::int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    const double seconds = static_cast<double>(pts - start) * to_double(stream->time_base);
    return static_cast<std::int64_t>(std::floor(fps() * seconds + 0.5));
  }

  // Moves to the key frame at or before `timestamp` (stream time base).
  void rewind_to(std::int64_t timestamp) {
    av_seek_frame(format, stream_index, timestamp, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(codec);
    draining = false;
    pending = false;
    moved = false;
    exhausted = false;
    have_frame = false;
  }

  // Returns the current frame's presentation (else decoding) time.
  std::int64_t frame_time() const {
    return frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pkt_dts;
  }

  // Makes the frame at position `target` of the uneven timeline pending:
  // jump to a key frame at or before its time (further back while the jump
  // overshoots), then decode forward to it.
  void seek_by_position(std::int64_t target) {
    const std::vector<std::int64_t>& times = timeline().times;
    const std::int64_t last = static_cast<std::int64_t>(times.size()) - 1;
    if (target > last) {
      rewind_to(times.empty() ? 0 : times.back());
      exhausted = true;
      return;
    }
    const std::int64_t want = times[static_cast<std::size_t>(target)];
    for (std::int64_t delta = 0;; delta = delta < 16 ? delta + 4 : delta * 2) {
      const std::int64_t from = std::max<std::int64_t>(target - delta, 0);
      rewind_to(times[static_cast<std::size_t>(from)]);
      if (!decode_next()) return;
      if (frame_time() > want && from > 0) continue;
      while (frame_time() < want) {
        if (!decode_next()) return;
      }
      pending = true;
      return;
    }
  }

  // Decodes forward, counting frames, until frame `target` is current.
  void skip_counting(std::int64_t target) {
    for (std::int64_t i = 0; i <= target; ++i) {
      if (!decode_next()) return;
    }
    pending = true;
  }

  // Makes frame `target` the pending frame as OpenCV's seek does: jump to a
  // key frame a little before it (further back while the jump overshoots),
  // then decode forward to it by time stamp.
  void seek(std::int64_t target) {
    const std::int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    target = std::min(target, frame_count());
    if (target > 0 || moved || exhausted) ++g_seeks;
    if (timeline().by_count) {
      if (target <= 0 && !moved && !exhausted) return;
      reopen_at_start();
      if (target > 0) skip_counting(target);
      return;
    }
    if (target <= 0) {
      // Also after the end of the stream: the reader can be used again.
      if (moved || exhausted) rewind_to(start);
      return;
    }
    if (!timeline().even) return seek_by_position(target);
    const double tick = to_double(stream->time_base);
    if (!(fps() > 0) || !(tick > 0)) {  // no usable clock: count from the beginning
      rewind_to(start);
      return skip_counting(target);
    }
    if (!first_index) {
      rewind_to(start);
      if (!decode_next()) return;
      first_index = stamped_index().value_or(0);
    }
    for (std::int64_t delta = 16;; delta = delta < 16 ? delta * 2 : delta * 3 / 2) {
      const std::int64_t from = std::max<std::int64_t>(target - delta, 0);
      const double seconds = static_cast<double>(from) / fps();
      rewind_to(start + static_cast<std::int64_t>(seconds / tick + 0.5));
      if (!decode_next()) return;
      std::optional<std::int64_t> index = stamped_index();
      if (!index) {  // no time stamps: count from the beginning
        rewind_to(start);
        return skip_counting(target);
      }
      if (*index - *first_index > target && from > 0 && delta < std::numeric_limits<int>::max() / 4) continue;
      while (index && *index - *first_index < target) {
        if (!decode_next()) return;
        index = stamped_index();
      }
      pending = true;
      return;
    }
  }

  // Returns the size of the current frame's decoding buffer (the frame
  // padded as the decoder pads it), or the frame's own size when a plane's
  // buffer does not hold that much.
  cv::Size buffer_size() const {
    int width = frame->width, height = frame->height;
    int aligns[AV_NUM_DATA_POINTERS];
    avcodec_align_dimensions2(codec, &width, &height, aligns);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    for (int p = 0; p < 3; ++p) {
      const int shift_w = p == 0 ? 0 : desc->log2_chroma_w, shift_h = p == 0 ? 0 : desc->log2_chroma_h;
      const uint8_t* end = frame->data[p] + static_cast<std::ptrdiff_t>(frame->linesize[p]) * ((height >> shift_h) - 1) +
                           (width >> shift_w);
      if (frame->linesize[p] < (width >> shift_w) || !inside_a_buffer(frame->data[p], end)) {
        return {frame->width, frame->height};
      }
    }
    return {width, height};
  }

  // Whether bytes [begin, end) lie inside one of the frame's buffers.
  bool inside_a_buffer(const uint8_t* begin, const uint8_t* end) const {
    for (const AVBufferRef* buf : frame->buf) {
      if (buf != nullptr && begin >= buf->data && end <= buf->data + buf->size) return true;
    }
    return false;
  }

  cv::Mat convert_to_bgr(const uint8_t* const planes[4], const int strides[4], cv::Size size) const {
    sws = sws_getCachedContext(sws, size.width, size.height, static_cast<AVPixelFormat>(frame->format), size.width,
                               size.height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (sws == nullptr) throw std::runtime_error("cannot convert the video's pixel format to BGR");
    cv::Mat out(size, CV_8UC3);
    uint8_t* dst[4] = {out.data, nullptr, nullptr, nullptr};
    const int dst_strides[4] = {static_cast<int>(out.step), 0, 0, 0};
    sws_scale(sws, planes, strides, 0, size.height, dst, dst_strides);
    return out;
  }
};

VideoReader::VideoReader(const std::string& path) : impl_(std::make_unique<Impl>()) {
  if (!impl_->open(path)) impl_.reset();
}

VideoReader::~VideoReader() = default;

double VideoReader::fps() const { return impl_->fps(); }

double VideoReader::frame_count() const { return static_cast<double>(impl_->frame_count()); }

std::optional<std::vector<double>> VideoReader::uneven_frame_times() const {
  const Timeline& timeline = impl_->timeline();
  if (timeline.even || timeline.by_count || timeline.times.empty()) return std::nullopt;
  const double tick = to_double(impl_->stream->time_base);
  std::vector<double> seconds;
  seconds.reserve(timeline.times.size());
  for (const std::int64_t t : timeline.times) seconds.push_back(static_cast<double>(t - timeline.times.front()) * tick);
  return seconds;
}

void VideoReader::seek(std::int64_t index) {
  impl_->seek(index);
  current_.reset();
  ended_at_.reset();
  next_ = std::min(index, impl_->frame_count());  // as the seek itself clamps
}

bool VideoReader::read() {
  bool ok = false;
  if (impl_->exhausted) {
    ok = false;
  } else if (impl_->pending) {
    impl_->pending = false;
    ok = impl_->have_frame;
  } else {
    ok = impl_->decode_next();
  }
  current_ = ok ? std::optional<std::int64_t>(next_++) : std::nullopt;
  if (!ok) ended_at_ = next_;
  return ok;
}

cv::Size VideoReader::frame_size() const { return {impl_->frame->width, impl_->frame->height}; }

cv::Mat VideoReader::bgr(const cv::Rect& region) const {
  const AVFrame* f = impl_->frame;
  if (!is_planar_yuv8(f->format)) {
    const uint8_t* const* planes = f->data;
    return impl_->convert_to_bgr(planes, f->linesize, frame_size())(region).clone();
  }
  // Like OpenCV, convert within the decoder's padded buffer, whose sides
  // suit swscale's converters, and show the frame's part of it.
  const cv::Size buffer = impl_->buffer_size();
  cv::Rect converted = conversion_window(region, buffer);
  if (converted.empty()) converted = cv::Rect({0, 0}, buffer);
  const uint8_t* planes[4] = {plane_at(f, 0, converted.tl()), plane_at(f, 1, converted.tl()),
                              plane_at(f, 2, converted.tl()), nullptr};
  const cv::Mat out = impl_->convert_to_bgr(planes, f->linesize, converted.size());
  return out(region - converted.tl()).clone();
}

std::optional<FrameRegion> VideoReader::yuv420(const cv::Rect& region) const {
  const AVFrame* f = impl_->frame;
  if ((f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P) || region.x % 2 != 0 ||
      region.y % 2 != 0) {
    return std::nullopt;
  }
  AVFrame* reference = av_frame_clone(f);
  if (reference == nullptr) throw std::bad_alloc();
  return FrameRegion(std::shared_ptr<const AVFrame>(reference, [](const AVFrame* p) {
                       auto* owned = const_cast<AVFrame*>(p);
                       av_frame_free(&owned);
                     }),
                     region);
}

Yuv420Image FrameRegion::planes() const {
  const AVFrame* f = frame_.get();
  const cv::Rect& r = region_;
  // swscale reads YUV420P as studio swing and YUVJ420P as full swing,
  // whatever the stream's range flag says; the BGR path does the same.
  const bool studio = f->format == AV_PIX_FMT_YUV420P;
  const auto luma = studio ? std::optional(Plane::kLuma) : std::nullopt;
  const auto chroma = studio ? std::optional(Plane::kChroma) : std::nullopt;
  const cv::Size padded(round_up_16(r.width), round_up_16(r.height));
  const cv::Size half((r.width + 1) / 2, (r.height + 1) / 2);
  Yuv420Image image{r.width, r.height, {}, {}, {}};
  image.y = padded_plane(plane_at(f, 0, r.tl()), f->linesize[0], r.size(), luma, padded);
  image.cb = padded_plane(plane_at(f, 1, r.tl()), f->linesize[1], half, chroma, padded / 2);
  image.cr = padded_plane(plane_at(f, 2, r.tl()), f->linesize[2], half, chroma, padded / 2);
  return image;
}

namespace {

// One plane of a region for strip-wise encoding: its rows in the frame,
// its real size, and (unless rows are read in place) a strip buffer of the
// padded width into which rows are mapped or copied.
struct StripPlane {
  const uint8_t* data;
  int stride;
  cv::Size size;
  std::optional<Plane> studio;  // mapped to full range when set
  cv::Mat strip;                // empty: rows are read in place

  // Points `out[0..count)` at plane rows [first, first + count), the rows
  // past the plane repeating its last row.
  void fill(int first, int count, const unsigned char** out) {
    const int real = std::clamp(size.height - first, 1, count);
    if (strip.empty()) {
      for (int i = 0; i < count; ++i) out[i] = data + static_cast<std::ptrdiff_t>(first + std::min(i, real - 1)) * stride;
      return;
    }
    for (int y = 0; y < real; ++y) {
      unsigned char* row = strip.ptr<unsigned char>(y);
      const uint8_t* in = data + static_cast<std::ptrdiff_t>(first + y) * stride;
      if (studio) {
        map_studio_range(in, row, size.width, *studio);
      } else {
        std::copy(in, in + size.width, row);
      }
      std::fill(row + size.width, row + strip.cols, row[size.width - 1]);
    }
    for (int i = 0; i < count; ++i) out[i] = strip.ptr<unsigned char>(std::min(i, real - 1));
  }
};

}  // namespace

std::string FrameRegion::jpeg(int quality) const {
  const AVFrame* f = frame_.get();
  const cv::Rect& r = region_;
  const bool studio = f->format == AV_PIX_FMT_YUV420P;  // as planes() reads it
  const auto luma = studio ? std::optional(Plane::kLuma) : std::nullopt;
  const auto chroma = studio ? std::optional(Plane::kChroma) : std::nullopt;
  const int cols = round_up_16(r.width);
  const cv::Size half((r.width + 1) / 2, (r.height + 1) / 2);
  // Rows need no change when they are full range and the encoder's blocks
  // end where the region does (no padding columns).
  const bool in_place = !studio && r.width == cols;
  StripPlane planes[3] = {{plane_at(f, 0, r.tl()), f->linesize[0], r.size(), luma, {}},
                          {plane_at(f, 1, r.tl()), f->linesize[1], half, chroma, {}},
                          {plane_at(f, 2, r.tl()), f->linesize[2], half, chroma, {}}};
  if (!in_place) {
    planes[0].strip.create(16, cols, CV_8U);
    planes[1].strip.create(8, cols / 2, CV_8U);
    planes[2].strip.create(8, cols / 2, CV_8U);
  }
  return encode_jpeg_strips(
      r.width, r.height,
      [&planes](int row, StripRows& rows) {
        planes[0].fill(row, 16, rows.y);
        planes[1].fill(row / 2, 8, rows.cb);
        planes[2].fill(row / 2, 8, rows.cr);
      },
      quality);
}

}  // namespace pelk::internal
