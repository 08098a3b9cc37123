find_package(ZLIB REQUIRED)
target_link_libraries(${TEST_TARGET} PRIVATE trelvo_core ZLIB::ZLIB)
