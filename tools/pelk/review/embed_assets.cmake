# Writes OUT, a C++ file holding the review page's assets as string
# literals, so the `pelk` binary carries them (no install-time data files).
set(body "// Generated from tools/pelk/review at build time; do not edit.\n#include \"review/review_assets.hpp\"\n\nnamespace pelk::cli::review_assets {\n")
foreach(pair "kIndexHtml=index.html" "kReviewCss=review.css" "kReviewJs=review.js")
  string(REPLACE "=" ";" fields ${pair})
  list(GET fields 0 name)
  list(GET fields 1 file)
  file(READ "${IN_DIR}/${file}" content)
  string(APPEND body "const char* const ${name} = R\"PELKASSET(${content})PELKASSET\";\n")
endforeach()
string(APPEND body "}  // namespace pelk::cli::review_assets\n")
file(WRITE "${OUT}" "${body}")
