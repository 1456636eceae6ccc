# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer;
# the first report fails the run.
cmake --workflow --preset asan
