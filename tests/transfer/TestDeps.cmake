target_link_libraries(${TEST_TARGET} PRIVATE trelvo_ftptestkit)
add_dependencies(${TEST_TARGET} trelvo-admin)
