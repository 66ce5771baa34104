#include "pelk_utils/matching/identity_repair.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/contact.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/stop.hpp"
#include "pelk_utils/matching/internal/repair_decision.hpp"
#include "pelk_utils/matching/internal/repair_evidence.hpp"

namespace pelk {
namespace {

using internal::both_present;
using internal::overlap_percent;
using internal::swap_boxes;

// Whether two masks come within `px` pixels of each other.
bool touching(const Mask& a, const Mask& b, int px) { return masks_within(a, b, px); }


// Runs of consecutive keys of one pair, as episodes of `kind`.
void add_runs(const std::pair<std::string, std::string>& pair, const std::vector<int>& keys, int min_frames,
              EpisodeKind kind, EpisodeKind shorter, std::vector<OverlapEpisode>& out) {
  std::size_t start = 0;
  for (std::size_t i = 1; i <= keys.size(); ++i) {
    if (i < keys.size() && keys[i] == keys[i - 1] + 1) continue;
    const bool long_enough = static_cast<int>(i - start) >= min_frames;
    out.push_back({pair.first, pair.second, keys[start], keys[i - 1], long_enough ? kind : shorter});
    start = i;
  }
}

}  // namespace

std::vector<std::vector<std::size_t>> pile_groups(const std::vector<OverlapEpisode>& episodes, int pile_frames) {
  std::vector<std::size_t> root(episodes.size());
  for (std::size_t i = 0; i < root.size(); ++i) root[i] = i;
  const auto find = [&](std::size_t i) {
    while (root[i] != i) i = root[i] = root[root[i]];
    return i;
  };
  for (std::size_t i = 0; i < episodes.size(); ++i) {
    for (std::size_t j = i + 1; j < episodes.size(); ++j) {
      const OverlapEpisode &a = episodes[i], &b = episodes[j];
      const bool share = a.box_a == b.box_a || a.box_a == b.box_b || a.box_b == b.box_a || a.box_b == b.box_b;
      const bool close = a.first_frame <= b.last_frame + pile_frames && b.first_frame <= a.last_frame + pile_frames;
      if (share && close) root[find(j)] = find(i);
    }
  }
  std::map<std::size_t, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < episodes.size(); ++i) groups[find(i)].push_back(i);
  std::vector<std::vector<std::size_t>> out;
  for (auto& [first, members] : groups) out.push_back(std::move(members));
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.front() < b.front(); });
  return out;
}

void check_repair_settings(const RepairSettings& s) {
  const auto refuse = [](const std::string& name, const std::string& rule, const std::string& value) {
    throw std::invalid_argument("repair setting " + name + " must be " + rule + ", got " + value);
  };
  for (const auto& [name, value] : {std::pair{"margin", s.margin}, std::pair{"cue_margin", s.cue_margin}}) {
    if (!(std::isfinite(value) && value >= 0)) refuse(name, "a finite number of 0 or more", format_number(value));
  }
  for (const auto& [name, value] : {std::pair{"intersection_thrr", s.intersection_thrr},
                                    std::pair{"apart_percent", s.apart_percent}}) {
    if (!(value >= 0 && value <= 100)) refuse(name, "a percentage from 0 to 100", format_number(value));
  }
  if (s.min_frames < 1) refuse("min_frames", "1 or more", std::to_string(s.min_frames));
  if (s.search_frames < 1) refuse("search_frames", "1 or more", std::to_string(s.search_frames));
  if (s.motion_frames < 0) refuse("motion_frames", "0 or more", std::to_string(s.motion_frames));
  if (s.side_frames < 1) refuse("side_frames", "1 or more", std::to_string(s.side_frames));
  if (s.contact_px < 0) refuse("contact_px", "0 or more", std::to_string(s.contact_px));
  if (!(s.decisive_share >= 0 && s.decisive_share <= 1)) {
    refuse("decisive_share", "a share from 0 to 1", format_number(s.decisive_share));
  }
  for (const auto& [name, value] : {std::pair{"fit_appearance", s.fit_appearance}, std::pair{"fit_position", s.fit_position},
                                    std::pair{"fit_heading", s.fit_heading}}) {
    if (!(std::isfinite(value) && value >= 0)) refuse(name, "a finite number of 0 or more", format_number(value));
  }
  if (s.pile_frames < 0) refuse("pile_frames", "0 or more", std::to_string(s.pile_frames));
  if (s.max_pile_animals < 2) refuse("max_pile_animals", "2 or more", std::to_string(s.max_pile_animals));
  if (!(s.whole_share > 0 && s.whole_share <= 1)) refuse("whole_share", "a share above 0 and at most 1", format_number(s.whole_share));
  if (!(s.turn_degrees >= 0 && s.turn_degrees <= 90)) refuse("turn_degrees", "an angle from 0 to 90", format_number(s.turn_degrees));
  if (s.second_look_frames < 0) refuse("second_look_frames", "0 or more", std::to_string(s.second_look_frames));
}

const char* episode_kind_name(EpisodeKind kind) {
  switch (kind) {
    case EpisodeKind::kOverlap: return "overlap";
    case EpisodeKind::kShortOverlap: return "short overlap";
    case EpisodeKind::kContact: return "contact";
  }
  return "?";
}

std::vector<OverlapEpisode> find_overlap_episodes(const ClipAnnotationData& clip, const RepairSettings& settings) {
  check_repair_settings(settings);
  using Pair = std::pair<std::string, std::string>;
  std::map<Pair, std::vector<int>> covering, near;  // per pair: frames of covering, of touching or covering
  for (const auto& [key, record] : clip) {
    throw_if_stop_requested();
    const std::vector<std::string> keys = record.masks_dict.keys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      for (std::size_t j = i + 1; j < keys.size(); ++j) {
        if (!both_present(record, keys[i], keys[j])) continue;
        const Pair pair = std::minmax(keys[i], keys[j]);
        if (overlap_percent(record, keys[i], keys[j]) > settings.intersection_thrr) {
          covering[pair].push_back(key);
          near[pair].push_back(key);
        } else if (settings.short_contacts &&
                   touching(record.masks_dict.at(keys[i]), record.masks_dict.at(keys[j]), settings.contact_px)) {
          near[pair].push_back(key);
        }
      }
    }
  }
  std::vector<OverlapEpisode> out;
  for (const auto& [pair, keys] : covering) add_runs(pair, keys, settings.min_frames, EpisodeKind::kOverlap, EpisodeKind::kShortOverlap, out);
  if (!settings.short_contacts) {
    std::erase_if(out, [](const OverlapEpisode& e) { return e.kind != EpisodeKind::kOverlap; });
  } else {
    // Touching runs with no covering frame in them are contacts.
    for (const auto& [pair, keys] : near) {
      std::vector<OverlapEpisode> runs;
      add_runs(pair, keys, 1, EpisodeKind::kContact, EpisodeKind::kContact, runs);
      const auto& cover = covering[pair];
      for (const OverlapEpisode& r : runs) {
        const auto it = std::lower_bound(cover.begin(), cover.end(), r.first_frame);
        if (it == cover.end() || *it > r.last_frame) out.push_back(r);
      }
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return std::tie(a.first_frame, a.last_frame, a.box_a, a.box_b) < std::tie(b.first_frame, b.last_frame, b.box_a, b.box_b);
  });
  return out;
}

std::vector<SwapDecision> decide_identity_swaps(const ClipAnnotationData& clip, ImagePredictor& image_predictor,
                                                const RepairSettings& settings) {
  check_repair_settings(settings);
  ClipAnnotationData working = clip;  // masks are shared, not copied
  const internal::UsualAreas usual = internal::usual_areas(clip);
  std::vector<SwapDecision> out;
  using Key = std::tuple<int, int, std::string, std::string>;
  std::set<Key> decided;
  const auto key_of = [](const OverlapEpisode& e) { return Key{e.first_frame, e.last_frame, e.box_a, e.box_b}; };
  // After a swap the keys after that episode change, and with them the
  // later episodes: they are found again on the corrected clip.
  for (int from = std::numeric_limits<int>::min();;) {
    const std::vector<OverlapEpisode> episodes = find_overlap_episodes(working, settings);
    std::optional<std::size_t> next;
    for (std::size_t i = 0; i < episodes.size() && !next; ++i) {
      if (episodes[i].first_frame >= from && !decided.count(key_of(episodes[i]))) next = i;
    }
    if (!next) break;
    throw_if_stop_requested();  // between episodes: nothing has been written yet
    std::vector<OverlapEpisode> pile;
    for (const auto& group : pile_groups(episodes, settings.pile_frames)) {
      if (std::find(group.begin(), group.end(), *next) == group.end()) continue;
      for (const std::size_t i : group) {
        if (!decided.count(key_of(episodes[i]))) pile.push_back(episodes[i]);
      }
    }
    for (const OverlapEpisode& e : pile) decided.insert(key_of(e));
    from = episodes[*next].first_frame;
    std::vector<SwapDecision> ds = internal::decide_episodes(working, pile, image_predictor, usual, settings);
    bool within = false;  // an exchange inside the pile's frames renames some of its episodes
    int pile_first = pile.front().first_frame, pile_last = pile.front().last_frame;
    std::set<std::string> pile_boxes;
    for (const OverlapEpisode& e : pile) {
      pile_first = std::min(pile_first, e.first_frame), pile_last = std::max(pile_last, e.last_frame);
      pile_boxes.insert({e.box_a, e.box_b});
    }
    for (SwapDecision& d : ds) {
      if (d.verdict == SwapVerdict::kSwap) {
        const int after = d.swap_after_frame.value_or(d.episode.last_frame);
        swap_boxes(working, d.episode.box_a, d.episode.box_b, after);
        within = within || after < pile_last;
      }
      out.push_back(std::move(d));
    }
    if (within) {
      // The pile's episodes under their new names were decided with it.
      for (const OverlapEpisode& e : find_overlap_episodes(working, settings)) {
        if (e.first_frame <= pile_last && e.last_frame >= pile_first && pile_boxes.contains(e.box_a) &&
            pile_boxes.contains(e.box_b)) {
          decided.insert(key_of(e));
        }
      }
    }
  }
  return out;
}

std::vector<IdentitySwap> swaps_of(const std::vector<SwapDecision>& decisions) {
  std::vector<IdentitySwap> out;
  for (const SwapDecision& d : decisions) {
    if (d.verdict != SwapVerdict::kSwap) continue;
    out.push_back({d.swap_after_frame.value_or(d.episode.last_frame), object_id_of_key(d.episode.box_a),
                   object_id_of_key(d.episode.box_b)});
  }
  return out;
}

}  // namespace pelk
