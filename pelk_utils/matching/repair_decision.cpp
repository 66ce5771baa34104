// Deciding an episode, or a pile of them, from the gathered evidence: the
// evidence rule, the second look at the frames after, and where an
// exchange starts.
#include "pelk_utils/matching/internal/repair_decision.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/matching/internal/repair_evidence.hpp"

namespace pelk::internal {
namespace {

struct Cue {
  const char* name;
  std::array<double, 2> cost;
  double fit;
};

std::array<Cue, 3> cues_of(const CueCosts& c, const RepairSettings& s) {
  return {Cue{"appearance", c.appearance, s.fit_appearance}, Cue{"where each was", c.position, s.fit_position},
          Cue{"where each was heading", c.heading, s.fit_heading}};
}

// Whether the frames after the episode bear an exchange out: no cue says
// kept and "exchanged" still costs less.
bool borne_out(const CueCosts& c, const RepairSettings& s) {
  for (const Cue& cue : cues_of(c, s)) {
    if (cue.cost[1] - cue.cost[0] > s.cue_margin) return false;
  }
  return c.appearance[1] + c.position[1] + c.heading[1] < c.appearance[0] + c.position[0] + c.heading[0];
}

// The later frames of the second look: up to side_frames where the `seen`
// boxes are apart from all `boxes`, from the far end of the window after
// `last_frame` inwards.
std::vector<int> later_frames(const ClipAnnotationData& clip, const std::vector<std::string>& seen,
                              const std::vector<std::string>& boxes, int last_frame, const RepairSettings& s) {
  std::vector<int> out;
  for (int key = last_frame + s.second_look_frames; key > last_frame && static_cast<int>(out.size()) < s.side_frames; --key) {
    const auto it = clip.find(key);
    if (it != clip.end() && all_apart(it->second, seen, boxes, s.apart_percent)) out.push_back(key);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

// The animal before that each of `seen` is under `partner` (partner[i]: the
// animal box i is exchanged with, i itself when kept).
std::vector<int> seen_from(const std::vector<std::string>& boxes, const std::vector<std::string>& seen,
                           const std::vector<int>& partner) {
  std::vector<int> from;
  for (const std::string& box : seen) {
    from.push_back(partner[index_of(boxes, box)]);
  }
  return from;
}

// The second look at an exchange (`partner`, see seen_from) decided from
// `before` and the frames after `last_frame`, on the `seen` boxes: withdrawn
// (unclear) when the window after does not bear it out.
void second_look(SwapDecision& d, const ClipAnnotationData& clip, const std::vector<std::string>& boxes,
                 const std::vector<std::string>& seen, const std::vector<int>& before, const std::vector<int>& partner,
                 int last_frame, ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s) {
  const std::vector<int> later = later_frames(clip, seen, boxes, last_frame, s);
  if (later.empty()) return;  // the clip ends: nothing contradicts the decision
  const Evidence ev = gather(clip, boxes, seen, before, later, predictor, usual, s);
  const CueCosts c = cue_costs(costs_of(ev, seen_from(boxes, seen, identity(boxes.size()))),
                               costs_of(ev, seen_from(boxes, seen, partner)), static_cast<int>(seen.size()));
  if (borne_out(c, s)) return;
  char costs[96];
  std::snprintf(costs, sizeof(costs), "kept %.2f, exchanged %.2f",
                c.appearance[0] + c.position[0] + c.heading[0], c.appearance[1] + c.position[1] + c.heading[1]);
  d.verdict = SwapVerdict::kUnclear;
  d.reason = "unclear: the frames up to " + std::to_string(later.back()) + " do not bear out the exchange (" +
             cue_words(c, s) + "; " + costs + "); first look: " + d.reason;
}

SwapDecision decide(const ClipAnnotationData& clip, const OverlapEpisode& e, ImagePredictor& predictor,
                    const UsualAreas& usual, const RepairSettings& s) {
  SwapDecision d{e};
  const std::vector<std::string> boxes = {e.box_a, e.box_b};
  const std::vector<int> before = clear_frames(clip, boxes, e.first_frame - 1, -1, s.search_frames, s.side_frames, s.apart_percent);
  const std::vector<int> after = clear_frames(clip, boxes, e.last_frame + 1, 1, s.search_frames, s.side_frames, s.apart_percent);
  if (before.empty() || after.empty()) {
    d.reason = std::string("unclear: no frame with both animals apart ") + (before.empty() ? "before" : "after") + " the episode";
    return d;
  }
  d.before_frame = before.front();
  d.after_frame = after.front();
  d.frames_compared = static_cast<int>(before.size() + after.size());
  const Evidence ev = gather(clip, boxes, boxes, before, after, predictor, usual, s);
  record_costs(d, cue_costs(costs_of(ev, {0, 1}), costs_of(ev, {1, 0}), 2));
  const Judgement j = judge_cues(d.costs, s);
  d.verdict = j.verdict;
  d.reason = j.reason;
  if (d.verdict == SwapVerdict::kSwap) second_look(d, clip, boxes, boxes, before, {1, 0}, e.last_frame, predictor, usual, s);
  return d;
}

// Every way to exchange animals in disjoint pairs among `pairs` (indices),
// as partner vectors of `n` animals (partner[i]: whom i is exchanged with,
// i when kept); the first keeps everyone.
std::vector<std::vector<int>> pairwise_exchanges(std::size_t n, const std::vector<std::pair<int, int>>& pairs) {
  std::vector<std::vector<int>> out;
  for (std::size_t chosen = 0; chosen < (std::size_t{1} << pairs.size()); ++chosen) {
    std::vector<int> partner = identity(n);
    bool disjoint = true;
    for (std::size_t k = 0; k < pairs.size() && disjoint; ++k) {
      if (((chosen >> k) & 1) == 0) continue;
      const auto [x, y] = pairs[k];
      disjoint = partner[static_cast<std::size_t>(x)] == x && partner[static_cast<std::size_t>(y)] == y;
      partner[static_cast<std::size_t>(x)] = y, partner[static_cast<std::size_t>(y)] = x;
    }
    if (disjoint) out.push_back(std::move(partner));
  }
  return out;
}

// Decides a pile that some of its animals do not come out of within
// search_frames (they lie together to the clip's end, say). The animals that
// come out ("seen") are compared after it with every animal of the pile
// before it: an exchange of a seen animal with one it met is decided as in
// any pile, from where the last seen animal came out. Whether two animals
// that never came out exchanged cannot be told: their episodes stay unclear.
std::vector<SwapDecision> decide_open_pile(const ClipAnnotationData& clip, const std::vector<OverlapEpisode>& pile,
                                           const std::vector<std::string>& boxes, const std::vector<int>& before,
                                           const std::string& where, std::vector<SwapDecision> out,
                                           ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s) {
  const auto all_unclear = [&](const std::string& why) {
    for (SwapDecision& d : out) d.verdict = SwapVerdict::kUnclear, d.reason = "unclear: " + where + why;
    return out;
  };
  std::map<std::string, int> left;  // the last frame of each animal's last episode in the pile
  for (const OverlapEpisode& e : pile) {
    for (const std::string& b : {e.box_a, e.box_b}) {
      const auto [it, fresh] = left.try_emplace(b, e.last_frame);
      it->second = std::max(it->second, e.last_frame);
    }
  }
  std::vector<std::string> seen, unseen;
  int out_after = std::numeric_limits<int>::min();
  for (const std::string& box : boxes) {
    const bool comes_out =
        !apart_frames(clip, {box}, boxes, left[box] + 1, 1, s.search_frames, 1, s.apart_percent).empty();
    (comes_out ? seen : unseen).push_back(box);
    if (comes_out) out_after = std::max(out_after, left[box]);
  }
  const std::vector<int> after =
      seen.empty() ? std::vector<int>{}
                   : apart_frames(clip, seen, boxes, out_after + 1, 1, s.search_frames, s.side_frames, s.apart_percent);
  if (after.empty()) return all_unclear("no frame with all its animals apart after it");
  // The exchanges that the seen animals can tell: of pairs that met, one of
  // them seen.
  std::vector<std::pair<int, int>> pairs;
  for (const OverlapEpisode& e : pile) {
    const int a = static_cast<int>(index_of(boxes, e.box_a)), b = static_cast<int>(index_of(boxes, e.box_b));
    const int x = std::min(a, b), y = std::max(a, b);
    const bool told = index_of(seen, e.box_a) < seen.size() || index_of(seen, e.box_b) < seen.size();
    if (told && std::find(pairs.begin(), pairs.end(), std::pair{x, y}) == pairs.end()) pairs.emplace_back(x, y);
  }
  const Evidence ev = gather(clip, boxes, seen, before, after, predictor, usual, s);
  const std::vector<std::vector<int>> candidates = pairwise_exchanges(boxes.size(), pairs);
  const Costs3 kept_costs = costs_of(ev, seen_from(boxes, seen, candidates.front()));
  std::vector<int> best = candidates.front();
  Costs3 best_costs;
  double best_total = HUGE_VAL, runner_up = HUGE_VAL;
  for (std::size_t k = 1; k < candidates.size(); ++k) {
    const Costs3 c = costs_of(ev, seen_from(boxes, seen, candidates[k]));
    if (c.total() < best_total) {
      runner_up = best_total, best_total = c.total(), best = candidates[k], best_costs = c;
    } else {
      runner_up = std::min(runner_up, c.total());
    }
  }
  const CueCosts c = cue_costs(kept_costs, best_costs, static_cast<int>(seen.size()));
  Judgement j = judge_cues(c, s);
  if (j.verdict == SwapVerdict::kSwap && runner_up - best_total <= s.margin) {
    j = {SwapVerdict::kUnclear, "two exchanges of the pile are too close to call (" + cue_words(c, s) + ")"};
  }
  if (j.verdict == SwapVerdict::kSwap) {
    SwapDecision look{pile.front()};
    look.verdict = SwapVerdict::kSwap;
    look.reason = j.reason;
    second_look(look, clip, boxes, seen, before, best, out_after, predictor, usual, s);
    if (look.verdict == SwapVerdict::kUnclear) j = {SwapVerdict::kUnclear, look.reason};
  }
  const std::string told_by = "told by " + joined(seen) + " after it (" + joined(unseen) + " not seen apart): ";
  const std::string reason = told_by + (j.reason.rfind("unclear: ", 0) == 0 ? j.reason.substr(9) : j.reason);
  for (SwapDecision& d : out) {
    d.before_frame = before.front();
    d.after_frame = after.front();
    d.frames_compared = static_cast<int>(before.size() + after.size());
    d.swap_after_frame = out_after;
    record_costs(d, c);
    if (index_of(seen, d.episode.box_a) == seen.size() && index_of(seen, d.episode.box_b) == seen.size()) {
      d.verdict = SwapVerdict::kUnclear;
      d.reason = "unclear: " + where + d.episode.box_a + " and " + d.episode.box_b + " are not seen apart after it";
    } else if (j.verdict != SwapVerdict::kSwap) {
      d.verdict = j.verdict;
      d.reason = (j.verdict == SwapVerdict::kUnclear ? "unclear: " : "") + where + reason;
    } else {
      d.verdict = SwapVerdict::kKeep;
      d.reason = where + "kept within it (" + cue_words(c, s) + ")";
    }
  }
  if (j.verdict == SwapVerdict::kSwap) {
    // Each exchanged pair's last episode carries the exchange.
    for (std::size_t i = 0; i < best.size(); ++i) {
      const auto k = static_cast<std::size_t>(best[i]);
      if (k <= i) continue;
      for (auto d = out.rbegin(); d != out.rend(); ++d) {
        if (std::minmax(boxes[i], boxes[k]) != std::minmax(d->episode.box_a, d->episode.box_b)) continue;
        d->verdict = SwapVerdict::kSwap;
        d->reason = where + reason;
        break;
      }
    }
  }
  return out;
}


// Decides the episodes of one pile together: the best assignment of the
// pile's animals from just before it to just after it, by the same cues.
std::vector<SwapDecision> decide_pile(const ClipAnnotationData& clip, const std::vector<OverlapEpisode>& pile,
                                      ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s) {
  std::vector<std::string> boxes;
  int first = pile.front().first_frame, last = pile.front().last_frame;
  for (const OverlapEpisode& e : pile) {
    for (const std::string& b : {e.box_a, e.box_b}) {
      if (std::find(boxes.begin(), boxes.end(), b) == boxes.end()) boxes.push_back(b);
    }
    first = std::min(first, e.first_frame), last = std::max(last, e.last_frame);
  }
  std::sort(boxes.begin(), boxes.end());
  const std::string where = "decided with its pile (" + joined(boxes) + " in frames " + std::to_string(first) + ".." +
                            std::to_string(last) + "): ";
  std::vector<SwapDecision> out;
  for (const OverlapEpisode& e : pile) {
    SwapDecision d{e};
    d.pile = boxes;
    d.pile_frames = std::pair{first, last};
    d.swap_after_frame = last;
    out.push_back(std::move(d));
  }
  const auto all_unclear = [&](const std::string& why) {
    for (SwapDecision& d : out) d.verdict = SwapVerdict::kUnclear, d.reason = "unclear: " + where + why;
    return out;
  };
  if (static_cast<int>(boxes.size()) > s.max_pile_animals) {
    return all_unclear("a pile of " + std::to_string(boxes.size()) + " animals is left to a person");
  }
  const std::vector<int> before = clear_frames(clip, boxes, first - 1, -1, s.search_frames, s.side_frames, s.apart_percent);
  if (before.empty()) return all_unclear("no frame with all its animals apart before it");
  const std::vector<int> after = clear_frames(clip, boxes, last + 1, 1, s.search_frames, s.side_frames, s.apart_percent);
  if (after.empty()) return decide_open_pile(clip, pile, boxes, before, where, std::move(out), predictor, usual, s);
  const Evidence ev = gather(clip, boxes, boxes, before, after, predictor, usual, s);
  const std::vector<int> kept = identity(boxes.size());
  // Every assignment; the kept one, the best other and the runner-up.
  std::vector<int> to = kept, best;
  double best_total = HUGE_VAL, runner_up = HUGE_VAL;
  while (std::next_permutation(to.begin(), to.end())) {
    const double t = costs_of(ev, to).total();
    if (t < best_total) {
      runner_up = best_total, best_total = t, best = to;
    } else {
      runner_up = std::min(runner_up, t);
    }
  }
  const Costs3 kept_costs = costs_of(ev, kept);
  const CueCosts c = cue_costs(kept_costs, costs_of(ev, best), static_cast<int>(boxes.size()));
  Judgement j = judge_cues(c, s);
  if (j.verdict == SwapVerdict::kSwap && runner_up - best_total <= s.margin) {
    j = {SwapVerdict::kUnclear, "two exchanges of the pile are too close to call (" + cue_words(c, s) + ")"};
  }
  // An exchange must be of pairs that met: each moved animal trades places
  // with one other, and the two had an episode in the pile.
  std::vector<std::pair<std::string, std::string>> exchanges;
  if (j.verdict == SwapVerdict::kSwap) {
    for (std::size_t i = 0; i < best.size(); ++i) {
      const auto k = static_cast<std::size_t>(best[i]);
      if (k == i) continue;
      if (static_cast<std::size_t>(best[k]) != i) {
        j = {SwapVerdict::kUnclear, "its best assignment moves identities round a cycle, not between two animals"};
        break;
      }
      if (i < k) exchanges.emplace_back(boxes[i], boxes[k]);
    }
  }
  for (SwapDecision& d : out) {
    d.before_frame = before.front();
    d.after_frame = after.front();
    d.frames_compared = static_cast<int>(before.size() + after.size());
    record_costs(d, c);
  }
  if (j.verdict != SwapVerdict::kSwap) {
    for (SwapDecision& d : out) {
      d.verdict = j.verdict;
      d.reason = (j.verdict == SwapVerdict::kUnclear ? "unclear: " : "") + where +
                 (j.reason.rfind("unclear: ", 0) == 0 ? j.reason.substr(9) : j.reason);
    }
    return out;
  }
  // Each exchanged pair's last episode carries the exchange; the others are kept.
  SwapDecision look{pile.front()};
  look.reason = j.reason;
  look.verdict = SwapVerdict::kSwap;
  second_look(look, clip, boxes, boxes, before, best, last, predictor, usual, s);
  for (SwapDecision& d : out) {
    d.verdict = SwapVerdict::kKeep;
    d.reason = where + "kept within it (" + cue_words(c, s) + ")";
  }
  for (const auto& [x, y] : exchanges) {
    bool met = false;
    const ExchangePoint point = exchange_point(clip, x, y, first, last);
    for (auto d = out.rbegin(); d != out.rend() && !met; ++d) {
      if (std::minmax(x, y) != std::minmax(d->episode.box_a, d->episode.box_b)) continue;
      met = true;
      d->verdict = look.verdict;
      d->reason = (look.verdict == SwapVerdict::kUnclear ? "unclear: " + where + look.reason.substr(9)
                                                         : where + j.reason + "; exchanged " + point.why);
      d->swap_after_frame = point.after_frame;
    }
    if (!met) return all_unclear("its best assignment exchanges " + x + " and " + y + ", which did not meet");
  }
  if (look.verdict == SwapVerdict::kUnclear) {
    for (SwapDecision& d : out) d.verdict = SwapVerdict::kUnclear, d.reason = "unclear: " + where + look.reason.substr(9);
  }
  return out;
}

}  // namespace

CueCosts cue_costs(const Costs3& kept, const Costs3& exchanged, int animals) {
  CueCosts c;
  c.appearance = {kept.appearance, exchanged.appearance};
  c.position = {kept.position, exchanged.position};
  c.heading = {kept.heading, exchanged.heading};
  c.animals = animals;
  return c;
}

// Fills the decision's figures from the costs it is judged on.
void record_costs(SwapDecision& d, const CueCosts& c) {
  d.costs = c;
  d.cues = {c.appearance[1] - c.appearance[0], c.position[1] - c.position[0], c.heading[1] - c.heading[0]};
  d.keep_cost = c.appearance[0] + c.position[0] + c.heading[0];
  d.swap_cost = c.appearance[1] + c.position[1] + c.heading[1];
}

std::string cue_words(const CueCosts& c, const RepairSettings& s) {
  std::string out;
  for (const Cue& cue : cues_of(c, s)) {
    const double m = cue.cost[1] - cue.cost[0];
    const char* says = m > s.cue_margin ? "kept" : m < -s.cue_margin ? "exchanged" : "no answer";
    out += (out.empty() ? "" : ", ") + std::string(cue.name) + ": " + says;
  }
  return out;
}

std::string joined(const std::vector<std::string>& boxes) {
  std::string out;
  for (const std::string& b : boxes) out += (out.empty() ? "" : ", ") + b;
  return out;
}

// Whether, from frame `key` - 1 to `key`, each of `a` and `b` overlaps its
// own mask more than the other's: the masks can be followed.
bool followed(const ClipAnnotationData& clip, const std::string& a, const std::string& b, int key) {
  const auto now = clip.find(key), then = clip.find(key - 1);
  if (now == clip.end() || then == clip.end() || !both_present(now->second, a, b) || !both_present(then->second, a, b)) {
    return false;
  }
  const auto& m = now->second.masks_dict;
  const auto& p = then->second.masks_dict;
  return intersection_area(m.at(a), p.at(a)) > intersection_area(m.at(a), p.at(b)) &&
         intersection_area(m.at(b), p.at(b)) > intersection_area(m.at(b), p.at(a));
}

// The identities of two animals can change hands only where their masks
// overlap (a mask that only touches another keeps its animal): an exchange
// starts after the last frame of the pile in which they share a pixel, when
// each mask can be followed from the parting frame to the pile's end. Otherwise (they
// overlap to its end, never overlap, or a mask jumps) it starts after the
// pile, as before.
ExchangePoint exchange_point(const ClipAnnotationData& clip, const std::string& a, const std::string& b, int first,
                             int last) {
  std::optional<int> overlapped;
  for (int key = last; key >= first && !overlapped; --key) {
    const auto it = clip.find(key);
    if (it == clip.end() || !both_present(it->second, a, b)) continue;
    if (intersection_area(it->second.masks_dict.at(a), it->second.masks_dict.at(b)) > 0) overlapped = key;
  }
  const std::string end = "after the pile's end (frame " + std::to_string(last) + ")";
  if (!overlapped) return {last, end + ": their masks never overlap in it"};
  if (*overlapped == last) return {last, end + ": their masks overlap to it"};
  // From the parting frame on (the step into it is where the exchange goes).
  for (int key = *overlapped + 2; key <= last; ++key) {
    if (!followed(clip, a, b, key)) {
      return {last, end + ": their masks cannot be followed from frame " + std::to_string(key - 1) + " to " +
                        std::to_string(key)};
    }
  }
  return {*overlapped, "from frame " + std::to_string(*overlapped + 1) + ", where they parted (the last frame their "
                                                                          "masks overlapped is " +
                           std::to_string(*overlapped) + ")"};
}

std::vector<SwapDecision> decide_episodes(const ClipAnnotationData& clip, const std::vector<OverlapEpisode>& pile,
                                          ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s) {
  if (pile.size() > 1) return decide_pile(clip, pile, predictor, usual, s);
  return {decide(clip, pile.front(), predictor, usual, s)};
}

}  // namespace pelk::internal

namespace pelk {

using internal::Cue;
using internal::cue_words;
using internal::cues_of;

Judgement judge_cues(const CueCosts& c, const RepairSettings& s) {
  bool kept = false, vote_fits = false, decisive = false;
  int votes = 0;
  for (const Cue& cue : cues_of(c, s)) {
    const double m = cue.cost[1] - cue.cost[0];
    kept = kept || m > s.cue_margin;
    if (m >= -s.cue_margin) continue;
    ++votes;
    const bool fits = cue.cost[1] <= cue.fit * c.animals;
    vote_fits = vote_fits || fits;
    decisive = decisive || (fits && -m >= s.decisive_share * cue.cost[0]);
  }
  const double keep = c.appearance[0] + c.position[0] + c.heading[0];
  const double swap = c.appearance[1] + c.position[1] + c.heading[1];
  char costs[64];
  const auto shown = [](double v) { return std::abs(v) < 0.005 ? 0.0 : v; };  // never "-0.00"
  std::snprintf(costs, sizeof(costs), "; kept %.2f, exchanged %.2f", shown(keep), shown(swap));
  const std::string words = " (" + cue_words(c, s) + costs + ")";
  if (kept && votes > 0) return {SwapVerdict::kUnclear, "unclear: the cues disagree" + words};
  if (votes > 0 && swap - keep < -s.margin) {
    if (!vote_fits) return {SwapVerdict::kUnclear, "unclear: neither assignment fits" + words};
    if (votes < 2 && !decisive) {
      return {SwapVerdict::kUnclear, "unclear: one cue alone, by a narrow share of its own cost" + words};
    }
    return {SwapVerdict::kSwap, "the identities were exchanged" + words};
  }
  if (kept && swap - keep > s.margin) return {SwapVerdict::kKeep, "the identities were kept" + words};
  return {SwapVerdict::kUnclear, "unclear: too close to call, the two assignments differ by less than the margin" + words};
}

}  // namespace pelk
