// The frame every `pelk` program shares: the application's description and
// version, and the runner that turns any error into one line on standard
// error and an exit code (1 for a failed command, 2 for a wrong command line).
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#ifndef PELK_VERSION
#define PELK_VERSION "0.0.0"
#endif

namespace pelk::cli {

// Returns "pelk <version>", as --version prints it.
inline std::string version_text() { return std::string("pelk ") + PELK_VERSION; }

// Sets the description, --version and the one-command rule on `app`.
void set_up_app(CLI::App& app);

// Checks that argv names a command of `app`, parses and runs it; returns
// the exit code.
int run_app(CLI::App& app, int argc, char** argv);

// Returns "1 frame", "3 frames": `count` and the noun in its number
// (`plural` defaults to `singular` + "s").
inline std::string counted(std::size_t count, const std::string& singular, const std::string& plural = "") {
  return std::to_string(count) + " " + (count == 1 ? singular : plural.empty() ? singular + "s" : plural);
}

}  // namespace pelk::cli
