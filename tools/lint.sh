#!/usr/bin/env bash
# Static analysis of the project's code: clang-tidy (.clang-tidy) and
# cppcheck for the C++, whose tests are left to the compiler's warnings (the
# test macros are not what either tool is for); ruff for the Python, tests
# included (pyproject.toml's [tool.ruff]), and mypy for the package's types
# ([tool.mypy]). Needs build/compile_commands.json and the venv's ruff and
# mypy ($VENV, build/venv by default).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cpp' | grep -vE '_test\.cpp$|^tests/')
echo "clang-tidy: ${#sources[@]} files"
printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p build --quiet 2> >(grep -v "warnings generated" >&2)
# useStlAlgorithm is a style preference the code does not share;
# missingIncludeSystem because the standard headers need not be found.
echo "cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 \
  --inline-suppr --error-exitcode=1 --quiet -I . \
  --suppress=useStlAlgorithm --suppress=missingIncludeSystem "${sources[@]}"
echo "ruff"
"${VENV:-build/venv}/bin/ruff" check python/morvela python/tests bench tools
echo "mypy"
"${VENV:-build/venv}/bin/mypy"
echo "static analysis clean"
