#pragma once
// The listings of a directory (NLST or MLSD) as the transfer steps read
// them, and the check each listed name passes before it becomes a local file name. The
// names come from the server, so nothing here trusts them.
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

// One name per line; a line feed ends a line, a carriage return before it is
// dropped, and a last line without a line feed counts.
std::vector<std::string> SplitListing(const std::string& text);

// A listed name becomes a file under InternetDir + "Tmp/" and is deleted on
// the server afterwards. Only a plain name (or one behind a single leading
// "./", which some servers add) stays inside that directory; anything else
// is what a broken or hostile server would send to write elsewhere.
bool IsSafeListedName(const std::string& listed);

// The name as the run log can show it: control characters as \xNN.
std::string PrintableName(const std::string& name);

}  // namespace trelvo
