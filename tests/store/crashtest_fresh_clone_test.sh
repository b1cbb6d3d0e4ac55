#!/usr/bin/env bash
# scripts/crashtest on a clone that has no build tree yet: it must set up, configure and build
# before the crash test runs, not fail in "ninja -C build". The clone holds the two scripts;
# stand-ins for the machine setup, CMake, Ninja and the test program note what they were asked
# and leave what the real ones would.
#
#   crashtest_fresh_clone_test.sh SOURCE_ROOT
set -euo pipefail
source_root=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
clone=$tmp/clone
mkdir -p "$clone/scripts" "$tmp/tools"
cp "$source_root/scripts/crashtest" "$source_root/scripts/crash-soak" "$clone/scripts/"
export STUB_LOG=$tmp/log

cat >"$clone/scripts/setup" <<'STUB'
#!/bin/sh
echo "setup" >>"$STUB_LOG"
STUB
cat >"$tmp/tools/cmake" <<'STUB'
#!/bin/sh
# cmake -S SOURCE -B BUILD ...
echo "cmake $*" >>"$STUB_LOG"
mkdir -p "$4" && touch "$4/CMakeCache.txt"
STUB
cat >"$tmp/tools/ninja" <<'STUB'
#!/bin/sh
# ninja -C BUILD TARGET...
[ -d "$2" ] || { echo "ninja: fatal: chdir to $2" >&2; exit 1; }
echo "ninja $*" >>"$STUB_LOG"
mkdir -p "$2/bin"
cat >"$2/bin/test_store" <<'PROGRAM'
#!/bin/sh
echo "test_store $* kills=$TAVIK_CRASH_KILLS bin=$TAVIK_BIN_DIR" >>"$STUB_LOG"
PROGRAM
chmod +x "$2/bin/test_store"
STUB
chmod +x "$clone/scripts/setup" "$tmp/tools/cmake" "$tmp/tools/ninja"

env -u TAVIK_BUILD_DIR -u BUILD_DIR PATH="$tmp/tools:$PATH" "$clone/scripts/crashtest" 7 >"$tmp/out" 2>&1 || {
  echo "scripts/crashtest failed on a fresh clone:" >&2
  cat "$tmp/out" >&2
  exit 1
}
build=$clone/build
expected="setup
cmake -S $clone -B $build -G Ninja
ninja -C $build store_crash_child test_store
ninja -C $build store_crash_child test_store
test_store --gtest_filter=StoreCrash.* --gtest_brief=1 kills=7 bin=$build/bin"
if [ "$(cat "$STUB_LOG")" != "$expected" ]; then
  echo "expected:" >&2; echo "$expected" >&2
  echo "got:" >&2; cat "$STUB_LOG" >&2
  exit 1
fi
