# Writes OUTPUT: a header with the page's files as string views, so that tul-peer serves the
# page without files beside it. CHART is Debian's Chart.js; without it the page has no trends.
#   cmake -DOUTPUT=... -DPAGE=dir -DCHART=file -P EmbedAssets.cmake
set(text "#pragma once\n// Generated from apps/peer/web/page by EmbedAssets.cmake.\n#include <string_view>\n")
string(APPEND text "namespace ormanta::peer::web {\n")
foreach(pair "kIndexHtml=${PAGE}/index.html" "kAppJs=${PAGE}/app.js" "kStyleCss=${PAGE}/style.css"
             "kChartJs=${CHART}")
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  set(content "")
  if(EXISTS "${file}")
    file(READ "${file}" content)
  endif()
  string(FIND "${content}" ")TULASSET\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the raw string's delimiter")
  endif()
  string(APPEND text "inline constexpr std::string_view ${name} = R\"TULASSET(${content})TULASSET\";\n")
endforeach()
string(APPEND text "}  // namespace ormanta::peer::web\n")
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
