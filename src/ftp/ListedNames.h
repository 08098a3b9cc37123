#pragma once
// The name list of an NLST listing as the transfer steps read it, and the
// check each listed name passes before it becomes a local file name. The
// names come from the server, so nothing here trusts them.
#include <string>
#include <vector>

namespace trelvo {

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
