#pragma once
// The operator's command after every run ([Internet] RunHook): mail, a
// webhook, a monitoring push. It is started without a shell, so that nothing
// in the settings file is ever interpreted by one unless the operator writes
// `sh -c '...'` there.
#include <string>
#include <vector>

namespace trelvo {

// The words of a command line as a POSIX shell splits them, and nothing more:
// blanks separate words; '...' keeps everything literally; "..." keeps
// everything but \" \\ \$ \` and a backslash-newline; a backslash outside
// quotes takes the next character literally. No variable, glob or tilde is
// expanded. False with error set for an unterminated quote or a final
// backslash.
bool SplitCommandWords(const std::string& text, std::vector<std::string>& words, std::string& error);

}  // namespace trelvo
