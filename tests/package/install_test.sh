#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: the layout a desktop expects, passed by its validators, and
# programs that run from there.
set -u

: "${QPARLIN_SOURCE_DIR:?QPARLIN_SOURCE_DIR must name the source directory}"
: "${QPARLIN_BINARY_DIR:?QPARLIN_BINARY_DIR must name the build directory}"
: "${CMAKE_COMMAND:?CMAKE_COMMAND must name cmake}"

. "$QPARLIN_SOURCE_DIR/tests/system/common.sh"
. "$QPARLIN_SOURCE_DIR/tests/package/layout.sh"
need_layout_tools

prefix=$work/prefix
if ! "$CMAKE_COMMAND" --install "$QPARLIN_BINARY_DIR" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "cmake --install failed"
    finish ""
fi
check_layout "$prefix"
"$prefix/bin/qparlin" --help 2>&1 | head -n 1 | grep -qx "Supported parameters are:" ||
    fail "the installed qparlin --help does not print the help"
"$prefix/bin/qparlin-codec" --help 2>&1 | head -n 1 | grep -q "^usage: qparlin-codec" ||
    fail "the installed qparlin-codec --help does not print its usage"

finish "cmake --install lays out programs, pages, desktop entry, icons and metainfo that validate"
