// Reading a textfile folder on Windows (textfile_win32.cpp).
#pragma once

#include <string>

#include "textfile_collector.h"

namespace textfile {

// The folder's *.prom files (UTF-8 path; names without regard to case), in path order.
Folder read_folder(const std::string &folder, size_t max_bytes);

}  // namespace textfile
