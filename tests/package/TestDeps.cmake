# The package is made from the build's own programs and documents.
add_dependencies(${TEST_TARGET} trelvo trelvo-admin trelvo_docs)
