#include <functional>
#include <iostream>
#include <sstream>
#include <string>

namespace pelk::cli {

std::string quietly(const std::function<void()>& call) {
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  try {
    call();
  } catch (...) {
    std::cout.rdbuf(old);
    throw;
  }
  std::cout.rdbuf(old);
  return sink.str();
}

}  // namespace pelk::cli
