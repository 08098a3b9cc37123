find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
target_link_libraries(${TEST_TARGET} PRIVATE trelvo_app Qt6::Test)
# Installations are made by the operator tool, and one test starts the program itself.
add_dependencies(${TEST_TARGET} trelvo-admin trelvo)
target_compile_definitions(${TEST_TARGET} PRIVATE
  TRELVO_ADMIN_EXE="$<TARGET_FILE:trelvo-admin>" TRELVO_EXE="$<TARGET_FILE:trelvo>")
# The same executable under a real X server: screenshots into build/screenshots
# and the close request to sibling windows. Skipped where xvfb-run is missing.
add_test(NAME app_xvfb
  COMMAND sh -c "command -v xvfb-run >/dev/null || exit 77; exec xvfb-run -a -s '-screen 0 1024x768x24' \"$0\" --gtest_filter='Xvfb*'"
          $<TARGET_FILE:${TEST_TARGET}>
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(app_xvfb PROPERTIES ENVIRONMENT "TRELVO_TEST_DISPLAY=1" SKIP_RETURN_CODE 77 TIMEOUT 180)
