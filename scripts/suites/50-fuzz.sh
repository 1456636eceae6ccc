# The libFuzzer targets (clang 14, ASan + UBSan), each for a bounded time
# (KINETRA_FUZZ_SECONDS, 60 s by default), from the seeds in fuzz/corpus/.
cmake --workflow --preset fuzz
