# The native build and its whole test suite.
cmake --workflow --preset release
