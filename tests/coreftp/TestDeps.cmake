target_link_libraries(${TEST_TARGET} PRIVATE trelvo_core trelvo_ftptestkit)
# ftp-check is tested through the built tool.
add_dependencies(${TEST_TARGET} trelvo-admin)
