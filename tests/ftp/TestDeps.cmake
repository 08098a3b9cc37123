find_package(Qt6 REQUIRED COMPONENTS Core)
target_link_libraries(${TEST_TARGET} PRIVATE Qt6::Core)
