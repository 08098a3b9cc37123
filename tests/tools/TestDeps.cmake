target_link_libraries(${TEST_TARGET} PRIVATE trelvo_core)
add_dependencies(${TEST_TARGET} trelvo-admin trelvo_docs)
