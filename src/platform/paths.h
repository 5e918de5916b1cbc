// Path helpers shared by the recorder's path list, the deletion worker, the scan of
// existing files and the catalogue. Hosts may hand us Windows-style paths ("D:\rec\a.VDB"),
// so both '\' and '/' separate directories and a leading drive letter is recognised; what
// comes out uses the native '/'.
#pragma once

#include <string>

namespace platform {

inline constexpr char kPathSeparator = '/';

// The path with every '\' and '/' turned into '/', plus a trailing '/' when the result is
// not empty and lacks one. An empty path stays empty.
std::string NormalizeDirectory(const std::string& path);
// The final component without its extension (from its last '.'): "D:\rec\file0001.VDB"
// gives "file0001". A path ending in a separator gives "".
std::string FileTitleOf(const std::string& path);
// Drive and directory with the trailing separator, separators made native:
// "D:\rec\file0001.VDB" gives "D:/rec/". A bare file name gives "".
std::string DirectoryOf(const std::string& path);

}  // namespace platform
