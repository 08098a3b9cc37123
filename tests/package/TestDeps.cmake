# The package is made from the build's own programs and documents.
add_dependencies(${TEST_TARGET} trelvo trelvo-admin trelvo_docs)
# Building the package and lintian take a minute or two on a busy machine.
set(TEST_PROPERTIES TIMEOUT 900)
