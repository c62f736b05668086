# Sourced by the package tests, after tests/system/common.sh: check_layout checks a tree laid out as
# `cmake --install` or the .deb lays it out, under the prefix $1 (the .deb's is usr/ of its root $2).
# Files, validators, icon sizes, and what the desktop entry and metainfo point at.

# installed-files.txt, less the window module in a build without the window.
expected_files() {
    if [ "${QPARLIN_GUI:-1}" = 1 ]; then
        cat "$QPARLIN_SOURCE_DIR/tests/package/installed-files.txt"
    else
        grep -v '^lib/qparlin/qparlin-window\.so$' "$QPARLIN_SOURCE_DIR/tests/package/installed-files.txt"
    fi
}

check_layout() {
    local prefix=$1 root=${2:-$1}
    local expected=$work/expected.files
    expected_files >"$expected"

    (cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort) >"$work/layout.files"
    local only
    only=$(LC_ALL=C comm -23 "$expected" "$work/layout.files" | tr '\n' ' ')
    [ -z "$only" ] || fail "missing from the layout: $only"
    only=$(LC_ALL=C comm -13 "$expected" "$work/layout.files" | tr '\n' ' ')
    [ -z "$only" ] || fail "not expected in the layout: $only"

    local desktop=$prefix/share/applications/qparlin.desktop
    local metainfo=$prefix/share/metainfo/org.example.qparlin.metainfo.xml
    local report
    # Hints count too: a clean entry gives no output at all.
    report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate failed"
    [ -z "$report" ] || fail "desktop-file-validate: $report"
    report=$(appstreamcli validate --no-net --strict --pedantic "$metainfo" 2>&1) ||
        fail "appstreamcli validate: $report"
    # The tree as a whole: the metainfo's launchable must name a desktop entry that is there.
    report=$(appstreamcli validate-tree --no-net --strict "$root" 2>&1) || fail "appstreamcli validate-tree: $report"

    local exec_name icon_name
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$prefix/bin/$exec_name" ] || fail "the desktop entry runs '$exec_name', which is not in bin/"
    icon_name=$(sed -n 's/^Icon=//p' "$desktop")
    local size info
    for size in 16 32 48 64 128 256; do
        info=$(file -b "$prefix/share/icons/hicolor/${size}x${size}/apps/$icon_name.png" 2>&1)
        [[ "$info" == "PNG image data, $size x $size,"* ]] || fail "the ${size}x${size} icon '$icon_name' is: $info"
    done
    grep -q '<launchable type="desktop-id">qparlin.desktop</launchable>' "$metainfo" ||
        fail "the metainfo does not launch qparlin.desktop"

    # The release the metainfo announces is the program's version.
    local version release
    version=$("$prefix/bin/qparlin" --version 2>&1 | awk '{ print $2 }')
    release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
    [ -n "$version" ] && [ "$release" = "$version" ] ||
        fail "the metainfo's newest release is '$release', qparlin --version says '$version'"

    local page warnings
    for page in qparlin qparlin-codec; do
        warnings=$(man --warnings -P cat -l "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man $page: $warnings"
        man -P cat -l "$prefix/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "^NAME" ||
            fail "man $page renders no NAME section"
    done
    head -n 1 "$prefix/share/doc/qparlin/copyright" |
        grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
        fail "the copyright file is not in Debian's machine-readable format"

    # The installed program finds its installed window module (Qt's offscreen platform stands in for a
    # display): it maps it within a few seconds.
    if [ "${QPARLIN_GUI:-1}" = 1 ]; then
        QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work "$prefix/bin/qparlin" --audio=null \
            >"$work/window.out" 2>"$work/window.err" &
        local window=$! loaded=no
        for _ in $(seq 50); do
            grep -q "$prefix/lib/qparlin/qparlin-window.so$" "/proc/$window/maps" 2>/dev/null && loaded=yes && break
            sleep 0.1
        done
        kill -KILL "$window" 2>/dev/null
        wait "$window" 2>/dev/null
        [ "$loaded" = yes ] || fail "the installed program did not load its window module: $(cat "$work/window.err")"
    fi
}

# The tools the checks need, from the test set of scripts/install-deps.
need_layout_tools() {
    local tool
    for tool in desktop-file-validate appstreamcli man file "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps --test)"; exit 1; }
    done
}
