// The review page's static assets, embedded in the binary at build time.
#pragma once

namespace pelk::cli::review_assets {

extern const char* const kIndexHtml;
extern const char* const kReviewCss;
extern const char* const kReviewJs;

}  // namespace pelk::cli::review_assets
