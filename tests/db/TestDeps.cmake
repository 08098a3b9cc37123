find_package(SQLite3 REQUIRED)
target_link_libraries(${TEST_TARGET} PRIVATE SQLite::SQLite3)
