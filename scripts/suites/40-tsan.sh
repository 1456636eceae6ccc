# The whole test suite under ThreadSanitizer.
cmake --workflow --preset tsan
