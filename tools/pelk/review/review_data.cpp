#include "review/review_data.hpp"

namespace pelk::cli {

std::string review_data_script(const nlohmann::json& data) {
  return "window.PELK_REVIEW = " + data.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + ";\n";
}

}  // namespace pelk::cli
