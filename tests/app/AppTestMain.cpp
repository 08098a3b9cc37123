// One application object for every window test. Offscreen unless the test
// runs under a real X server on purpose (the app_xvfb test).
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/Application.h"

int main(int argc, char** argv) {
  const char* display = std::getenv("DISPLAY");
  const bool onDisplay = std::getenv("TRELVO_TEST_DISPLAY") && display && *display;
  ::setenv("QT_QPA_PLATFORM", onDisplay ? "xcb" : "offscreen", 1);
  ::testing::InitGoogleTest(&argc, argv);
  trelvo::TTrelvoApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
