target_link_libraries(${TEST_TARGET} PRIVATE trelvo_ftptestkit)
