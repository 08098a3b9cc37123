#pragma once
// Reading a directory listing that came over a data connection.
#include <string>
#include <vector>

namespace trelvo {

// The plain file names of a listing, in listing order and each once: an
// NLST listing holds a name a line, an MLSD listing (machine true) facts and
// a name a line. Lines end in LF or CR LF. Any path part a server puts before
// a name ("./name", "/dir/name") is dropped, and so are ".", "..", empty
// lines, and what MLSD tells is no file (directories, links, lines without
// facts).
std::vector<std::string> ListedFileNames(const std::string& listing, bool machine);

}  // namespace trelvo
