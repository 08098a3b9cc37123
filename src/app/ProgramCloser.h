#pragma once
// The close request to the suite's sibling programs on an X11 display: the
// top-level window with exactly the given title gets the window manager's
// close message (WM_DELETE_WINDOW). The X library is loaded on first use and
// only when DISPLAY is set; without it nothing is ever found.
#include <memory>
#include <string>

#include "transfer/Transfer.h"

namespace trelvo {

class TX11ProgramCloser : public TProgramCloser {
 public:
  TX11ProgramCloser();
  ~TX11ProgramCloser() override;
  bool CloseWindowByTitle(const std::string& title) override;

 private:
  struct TLib;
  std::unique_ptr<TLib> Lib_;
  bool Tried_ = false;
};

}  // namespace trelvo
