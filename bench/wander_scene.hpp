// A second scene generator for the identity repair benchmark, built apart
// from the pen scene on purpose: its own floor, its own animal drawing and
// its own motion model (key poses joined by straight walks, pauses, turns on
// the spot), so the repair is checked on encounters it was not tuned on:
// an animal that comes, pauses and turns beside another; three or four
// animals that gather, lie on each other and part; two that walk along each
// other. Deterministic from a seed; frames are written as PNG.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/mask.hpp"

namespace pelk::bench {

enum class WanderKind { kPauseTurn, kGatherThree, kGatherFour, kWalkAlong };

inline const char* wander_kind_name(WanderKind k) {
  switch (k) {
    case WanderKind::kPauseTurn: return "pause & turn";
    case WanderKind::kGatherThree: return "gather 3";
    case WanderKind::kGatherFour: return "gather 4";
    case WanderKind::kWalkAlong: return "walk along";
  }
  return "?";
}

// One animal's key pose: from frame `frame` on it moves in a straight line
// (and turns evenly) towards the next key pose.
struct KeyPose {
  int frame;
  cv::Point2d at;
  double heading_deg;
};

struct WanderAnimal {
  std::vector<KeyPose> keys;  // in frame order
  double length = 52, width = 22;
  double shade = 210;
  cv::Point2d spot;           // the dark marking, in body coordinates
  double spot_radius = 8;
};

class WanderScene {
 public:
  static constexpr int kAnimals = 6;
  WanderScene(WanderKind kind, int seed) : rng_(static_cast<std::uint32_t>(seed) * 7919u + 17u) {
    std::uniform_real_distribution<double> u(0, 1);
    // Homes on two columns of three, with room to walk between.
    for (int i = 0; i < kAnimals; ++i) {
      WanderAnimal a;
      const cv::Point2d home(150 + 290 * (i % 2) + 30 * (u(rng_) - 0.5), 130 + 230 * (i / 2) + 30 * (u(rng_) - 0.5));
      a.keys.push_back({0, home, 360 * u(rng_)});
      a.length = 48 + 10 * u(rng_);
      a.width = 19 + 5 * u(rng_);
      a.shade = 175 + 60 * u(rng_);
      a.spot = {(u(rng_) - 0.5) * 1.2 * a.length, (u(rng_) - 0.5) * 0.9 * a.width};
      a.spot_radius = 6 + 5 * u(rng_);
      animals_.push_back(a);
    }
    script(kind, u);
    for (WanderAnimal& a : animals_) frames_ = std::max(frames_, a.keys.back().frame + 1);
    frames_ += 16;
    floor_ = make_floor();
  }

  int frames() const { return frames_; }
  // The two animals whose keys a tracker's fault exchanges, and the last
  // frame of their encounter.
  std::pair<int, int> pair() const { return {0, 1}; }
  int encounter_end() const { return encounter_end_; }

  // Visible masks of frame `f`, identity order (later identities on top).
  std::vector<Mask> truth(int f) const {
    std::vector<cv::Mat1b> shapes;
    for (int i = 0; i < kAnimals; ++i) shapes.push_back(silhouette(i, f));
    std::vector<Mask> out;
    for (int i = 0; i < kAnimals; ++i) {
      cv::Mat1b visible = shapes[static_cast<std::size_t>(i)].clone();
      for (int j = i + 1; j < kAnimals; ++j) visible.setTo(0, shapes[static_cast<std::size_t>(j)]);
      out.emplace_back(visible);
    }
    return out;
  }

  std::vector<std::string> write_frames(const std::string& dir) const {
    std::vector<std::string> paths;
    for (int f = 0; f < frames_; ++f) {
      cv::Mat3b image = floor_.clone();
      for (int i = 0; i < kAnimals; ++i) draw(image, i, f);
      paths.push_back(dir + "/" + std::to_string(f) + ".png");
      cv::imwrite(paths.back(), image);
    }
    return paths;
  }

 private:
  inline static const cv::Size kSize{590, 720};

  KeyPose pose(int i, int f) const {
    const auto& keys = animals_[static_cast<std::size_t>(i)].keys;
    if (f <= keys.front().frame) return keys.front();
    for (std::size_t k = 1; k < keys.size(); ++k) {
      if (f > keys[k].frame) continue;
      const KeyPose &a = keys[k - 1], &b = keys[k];
      const double t = static_cast<double>(f - a.frame) / std::max(1, b.frame - a.frame);
      return {f, a.at + (b.at - a.at) * t, a.heading_deg + (b.heading_deg - a.heading_deg) * t};
    }
    return keys.back();
  }

  // Appends a walk of animal i to `to` over `frames` frames, facing its way.
  void walk(int i, cv::Point2d to, int frames) {
    auto& keys = animals_[static_cast<std::size_t>(i)].keys;
    const KeyPose last = keys.back();
    const cv::Point2d way = to - last.at;
    double heading = std::atan2(way.y, way.x) * 180 / M_PI;
    while (heading - last.heading_deg > 180) heading -= 360;
    while (heading - last.heading_deg < -180) heading += 360;
    const int turn = std::min(6, frames / 3);
    keys.push_back({last.frame + turn, last.at, heading});  // turns towards it first
    keys.push_back({last.frame + frames, to, heading});
  }
  void pause(int i, int frames) {
    auto& keys = animals_[static_cast<std::size_t>(i)].keys;
    keys.push_back({keys.back().frame + frames, keys.back().at, keys.back().heading_deg});
  }
  void turn(int i, double degrees, int frames) {
    auto& keys = animals_[static_cast<std::size_t>(i)].keys;
    keys.push_back({keys.back().frame + frames, keys.back().at, keys.back().heading_deg + degrees});
  }
  void wait_until(int i, int frame) {
    auto& keys = animals_[static_cast<std::size_t>(i)].keys;
    if (keys.back().frame < frame) keys.push_back({frame, keys.back().at, keys.back().heading_deg});
  }
  cv::Point2d home(int i) const { return animals_[static_cast<std::size_t>(i)].keys.front().at; }

  template <typename U>
  void script(WanderKind kind, U& u) {
    const auto jitter = [&](double r) { return cv::Point2d((u(rng_) - 0.5) * 2 * r, (u(rng_) - 0.5) * 2 * r); };
    const auto new_place = [&](int i) {
      return cv::Point2d(std::clamp(home(i).x + (u(rng_) - 0.5) * 260, 70.0, 520.0),
                         std::clamp(home(i).y + (u(rng_) - 0.5) * 160, 70.0, 650.0));
    };
    switch (kind) {
      case WanderKind::kPauseTurn: {
        // 0 comes to lie against 1, pauses, turns on the spot and leaves
        // (back home, or on to a new place); 1 pauses too, then shifts.
        const cv::Point2d beside = home(1) + jitter(14) + cv::Point2d(0, animals_[1].width * (u(rng_) < 0.5 ? -1 : 1));
        wait_until(0, 6);
        walk(0, beside, 14 + static_cast<int>(u(rng_) * 8));
        pause(0, 3 + static_cast<int>(u(rng_) * 25));
        turn(0, u(rng_) < 0.5 ? 180 : -150, 6 + static_cast<int>(u(rng_) * 8));
        pause(0, static_cast<int>(u(rng_) * 6));
        encounter_end_ = animals_[0].keys.back().frame + 4;
        walk(0, u(rng_) < 0.5 ? home(0) : new_place(0), 14 + static_cast<int>(u(rng_) * 8));
        wait_until(1, encounter_end_);
        walk(1, home(1) + jitter(40), 12);
        break;
      }
      case WanderKind::kGatherThree:
      case WanderKind::kGatherFour: {
        const int n = kind == WanderKind::kGatherThree ? 3 : 4;
        cv::Point2d centre(0, 0);
        for (int i = 0; i < n; ++i) centre += home(i) * (1.0 / n);
        int gathered = 0;
        for (int i = 0; i < n; ++i) {
          wait_until(i, 4 + static_cast<int>(u(rng_) * 10));
          walk(i, centre + jitter(26), 14 + static_cast<int>(u(rng_) * 10));
          gathered = std::max(gathered, animals_[static_cast<std::size_t>(i)].keys.back().frame);
        }
        const int stay = gathered + 4 + static_cast<int>(u(rng_) * 24);
        for (int i = 0; i < n; ++i) {
          wait_until(i, stay + static_cast<int>(u(rng_) * 6));
          if (u(rng_) < 0.5) turn(i, (u(rng_) - 0.5) * 300, 6);
        }
        encounter_end_ = stay + 8;
        for (int i = 0; i < n; ++i) walk(i, u(rng_) < 0.5 ? home(i) : new_place(i), 16 + static_cast<int>(u(rng_) * 8));
        break;
      }
      case WanderKind::kWalkAlong: {
        // 0 joins 1; they walk side by side, touching, then part.
        const cv::Point2d start = home(1);
        const cv::Point2d dir = cv::Point2d(u(rng_) - 0.5, 1.0) * (1.0 / std::hypot(u(rng_) - 0.5, 1.0));
        const cv::Point2d side(-dir.y, dir.x);
        const double gap = (animals_[0].width + animals_[1].width) * 0.95;
        wait_until(0, 4);
        walk(0, start + side * gap, 16);
        wait_until(1, animals_[0].keys.back().frame);
        const int along = 20 + static_cast<int>(u(rng_) * 20);
        const cv::Point2d end = start + dir * (2.5 * along);
        walk(1, end, along);
        const auto& k0 = animals_[0].keys.back();
        wait_until(0, k0.frame);
        walk(0, end + side * gap, along);
        encounter_end_ = animals_[1].keys.back().frame + 4;
        walk(0, end + side * (gap + 90) + dir * 40, 14);
        walk(1, end - side * 80 + dir * 50, 14);
        break;
      }
    }
  }

  // The animal's outline: an ellipse body and a smaller head in front.
  std::vector<std::vector<cv::Point>> outline(int i, int f) const {
    const WanderAnimal& a = animals_[static_cast<std::size_t>(i)];
    const KeyPose p = pose(i, f);
    const double r = p.heading_deg * M_PI / 180;
    const cv::Point2d ahead(std::cos(r), std::sin(r));
    std::vector<cv::Point> body, head;
    cv::ellipse2Poly(cv::Point(cvRound(p.at.x), cvRound(p.at.y)), cv::Size(cvRound(a.length), cvRound(a.width)),
                     cvRound(p.heading_deg), 0, 360, 8, body);
    const cv::Point2d h = p.at + ahead * (a.length + 10);
    cv::ellipse2Poly(cv::Point(cvRound(h.x), cvRound(h.y)), cv::Size(cvRound(a.width * 0.7), cvRound(a.width * 0.6)),
                     cvRound(p.heading_deg), 0, 360, 10, head);
    return {body, head};
  }

  cv::Mat1b silhouette(int i, int f) const {
    cv::Mat1b m = cv::Mat1b::zeros(kSize);
    cv::fillPoly(m, outline(i, f), cv::Scalar(1));
    return m;
  }

  void draw(cv::Mat3b& image, int i, int f) const {
    const WanderAnimal& a = animals_[static_cast<std::size_t>(i)];
    const cv::Scalar body(a.shade - 12, a.shade - 4, a.shade);
    cv::fillPoly(image, outline(i, f), body, cv::LINE_AA);
    const KeyPose p = pose(i, f);
    const double r = p.heading_deg * M_PI / 180;
    const cv::Point2d ahead(std::cos(r), std::sin(r)), side(-std::sin(r), std::cos(r));
    const cv::Point2d spot = p.at + ahead * a.spot.x + side * a.spot.y;
    cv::circle(image, cv::Point(cvRound(spot.x), cvRound(spot.y)), cvRound(a.spot_radius), cv::Scalar(60, 55, 70),
               cv::FILLED, cv::LINE_AA);
  }

  cv::Mat3b make_floor() {
    cv::Mat1f noise(kSize);
    cv::RNG(rng_()).fill(noise, cv::RNG::NORMAL, 0, 1);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 6);
    cv::normalize(noise, noise, -18, 18, cv::NORM_MINMAX);
    cv::Mat1b grey(kSize);
    for (int y = 0; y < kSize.height; ++y) {
      for (int x = 0; x < kSize.width; ++x) grey(y, x) = cv::saturate_cast<uchar>(62 + 0.02 * y + noise(y, x));
    }
    cv::Mat3b out;
    cv::cvtColor(grey, out, cv::COLOR_GRAY2BGR);
    return out;
  }

  std::mt19937 rng_;
  std::vector<WanderAnimal> animals_;
  int frames_ = 0, encounter_end_ = 0;
  cv::Mat3b floor_;
};

}  // namespace pelk::bench
