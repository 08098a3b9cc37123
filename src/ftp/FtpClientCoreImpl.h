#pragma once
// What the parts of TFtpClientCore's implementation share: the control
// connection (FtpControlConnection.cpp), the data connection and transfers
// (FtpDataConnection.cpp), the listings (FtpListing.cpp) and the request
// machinery (FtpClientCore.cpp).
#include <exception>
#include <string>

#include "ftp/FtpClientCore.h"
#include "ftp/FtpReply.h"

namespace trelvo {

// The class name a failure reply names for an exception.
std::string ExceptionClassName(const std::exception& e);

// Everything the sockets call back runs through here: an exception (a usage
// error of a step that a reply started, a socket refusal) ends the running
// request as failed instead of vanishing in the socket layer.
template <class F>
void TFtpClientCore::Safe(F&& f) {
  UsageErrorRaised_ = false;
  try {
    f();
  } catch (const FtpException&) {
    FailFromException(FtpException(""));
    return;
  } catch (const std::exception& e) {
    FailFromException(e);
    return;
  }
  if (UsageErrorRaised_) FailFromException(FtpException(""));
}

}  // namespace trelvo
