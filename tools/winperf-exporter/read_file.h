// A whole file read through its UTF-16 path, for the files the settings name.
#pragma once

#include <string>

namespace exporter {

// path is UTF-8. Returns false with reason set (the system's words) when the file cannot be
// read, or when it is larger than max_bytes.
bool read_whole_file(const std::string &path, size_t max_bytes, std::string &content,
                     std::string &reason);

}  // namespace exporter
