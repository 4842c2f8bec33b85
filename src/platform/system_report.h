// The program that writes a system-information report.
//
// The command line is the program's argv prefix from SystemReportProgram followed by
//   "/nfo" <file>      the full report, or
//   "/report" <file>   the text report,
// then optionally "/categories" and a list such as "+componentsnetwork+componentsstorage" that
// picks the sections after the summary: componentsmultimedia, componentsnetwork,
// componentsdisplay, componentsstorage and swenvservices. The program replaces <file>. It uses
// only tools of a plain installation and leaves out what a machine does not have.
#pragma once

#include <string>
#include <vector>

namespace vorla::platform {

// argv[0] is an absolute path when the program is found there, else a bare name for the search
// path.
std::vector<std::u16string> SystemReportProgram();

}  // namespace vorla::platform
