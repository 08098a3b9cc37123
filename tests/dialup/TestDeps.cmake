# The core's dial-up steps and the Qt event loop the disconnect watch runs in.
target_link_libraries(${TEST_TARGET} PRIVATE trelvo_core trelvo_ftptestkit)
