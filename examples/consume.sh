#!/usr/bin/env bash
# Uses tessel as someone who installed it would: installs the build in
# BUILD_DIR (default build) to a temporary prefix, moves the installed tree
# to another folder (nothing in it may name the place it was installed
# to), starts each installed tool, and builds and runs a consumer against
# it twice: the examples through find_package(tessel), and the README's
# hello (its first C++ block, which must equal examples/hello.cpp) through
# pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/installed" >/dev/null
mv "$root/installed" "$root/prefix"
prefix=$root/prefix

echo "== the installed tools start"
for tool in tessel-galaxyd tessel-topology tessel-room; do
  "$prefix/bin/$tool" --help >/dev/null
  echo "$tool: ok"
done

echo "== find_package(tessel): the examples"
cmake -S examples -B "$root/examples" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/examples" -j 2 >/dev/null
ctest --test-dir "$root/examples" --output-on-failure

echo "== pkg-config: the README's hello"
awk '/^```cpp$/ { inside = 1; next } inside && /^```$/ { exit } inside { print }' README.md >"$root/hello.cpp"
if ! cmp -s "$root/hello.cpp" examples/hello.cpp; then
  echo "the README's hello differs from examples/hello.cpp:"
  diff "$root/hello.cpp" examples/hello.cpp || true
  exit 1
fi
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name tessel.pc -print -quit)")
export PKG_CONFIG_PATH
c++ -std=c++20 -o "$root/hello" "$root/hello.cpp" $(pkg-config --cflags --libs tessel) \
  -Wl,-rpath,"$(pkg-config --variable=libdir tessel)"
"$root/hello"
