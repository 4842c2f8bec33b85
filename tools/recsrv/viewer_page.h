// The viewer page index.html of the output folder: one self-contained file (HTML, CSS and script,
// no network resources) holding the index as JSON. Opened from disk it shows the index as it was
// written; served over HTTP (--http) it also reads index.json every few seconds and redraws when
// it changed. The page checks itself: once every player has loaded its metadata and seeked, the
// element #viewer-check gets data-state "ok" (or "failed", its text naming each failure).
#pragma once

#include <string>

namespace vorla::recsrv {

// The page for `index_json` (the text of index.json).
std::string ViewerPage(const std::string& index_json);

}  // namespace vorla::recsrv
