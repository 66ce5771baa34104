// The review page of a tracked clip: a self-contained static page
// (index.html, its script and style, data.js and the pictures beside it)
// that works from file:// with no server and no network request.
#pragma once

#include <string>

#include "cli_common.hpp"

namespace pelk::cli {

struct ReviewOptions {
  std::string clip;     // annotation folder of the clip
  std::string out;      // page folder (default: <clip>/review)
  bool resolve = false; // add the overlap resolution
  std::string truth;    // annotation folder of the clip's truth: adds the tracking measures
  int max_flagged = 60; // pictures for at most this many flagged frames (evenly spread)
  std::string behaviour; // folder of `pelk behaviour`'s outputs: adds the Behaviour section
  ModelOptions models;
};

// Writes the review page and returns the path of its index.html. Throws
// std::invalid_argument when the folder holds no annotation files.
std::string write_review_page(const ReviewOptions& options);

}  // namespace pelk::cli
