// The one entry point every fuzz target defines: libFuzzer's, so the same
// target runs under libFuzzer (clang) and under the replay driver (any
// compiler) that the test suite uses for a short deterministic run.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
