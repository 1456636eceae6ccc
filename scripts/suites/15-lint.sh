# Formatting and clang-tidy over the project's own sources (uses the release
# build's compile_commands.json).
scripts/lint.sh build/release
