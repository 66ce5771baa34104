// The review page's data file: everything the page shows, as one JSON value
// assigned to window.PELK_REVIEW in "data.js". Kept apart from the page
// writer so it can be tested and fuzzed on its own.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace pelk::cli {

// Returns the text of "data.js" for `data`. Strings that are not UTF-8
// (folder and file names on Linux are bytes) have each bad byte replaced by
// U+FFFD, so the page is always written and always parses; the output is
// pure ASCII.
std::string review_data_script(const nlohmann::json& data);

}  // namespace pelk::cli
