// Private to the Linux host implementation (and its tests).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace vorla::platform {

// The version note of an ELF64 little-endian file: owner "Vorla", type 1, four little-endian
// 32-bit words (version_resource.cpp). Reads the file header, the section headers (or, for a file
// without them, the program headers) and the note sections only.
bool ReadElfVersionNote(const std::string& path, FileVersion& version);

// The names that count as a desktop shell when VORLA_SHELL_NAMES is not set: the shells,
// session managers and window managers of the common desktops.
std::vector<std::u16string> DefaultShellNames();
// A comma-separated list; blanks around names and empty entries are dropped.
std::vector<std::u16string> ParseShellNames(std::string_view list);

// Session queries over logind's state: the session of this process is named by the
// "session-<id>.scope" unit in `cgroup_file` (normally /proc/self/cgroup) and described by the
// plain-text file `sessions_dir`/<id> (normally /run/systemd/sessions). A process outside any
// logind session is taken to be on the console, active.
std::unique_ptr<SessionQueries> CreateLogindSessionQueries(std::string cgroup_file,
                                                           std::string sessions_dir);

}  // namespace vorla::platform
