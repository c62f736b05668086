#!/usr/bin/env bash
# The .deb that `make package` makes, built here by CPack from this build into a temporary folder: its name
# and control fields, dependencies from dpkg-shlibdeps, files and their modes, stripped programs that run,
# and the layout check on its contents.
set -u

: "${QPARLIN_SOURCE_DIR:?QPARLIN_SOURCE_DIR must name the source directory}"
: "${QPARLIN_BINARY_DIR:?QPARLIN_BINARY_DIR must name the build directory}"
: "${CPACK_COMMAND:?CPACK_COMMAND must name cpack}"
: "${QPARLIN_GUI:?QPARLIN_GUI must say whether the window is built (1 or 0)}"

. "$QPARLIN_SOURCE_DIR/tests/system/common.sh"
. "$QPARLIN_SOURCE_DIR/tests/package/layout.sh"
need_layout_tools dpkg-deb dpkg-shlibdeps

if ! "$CPACK_COMMAND" --config "$QPARLIN_BINARY_DIR/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack failed"
    finish ""
fi
debs=("$work/out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { fail "cpack made ${#debs[@]} packages"; finish ""; }
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "qparlin_2.5-1_$arch.deb" ] || fail "the package is named $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qparlin ] || fail "Package: $(field Package)"
[ "$(field Version)" = 2.5-1 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
dpkg-deb -f "$deb" Description | sed -n 1p | grep -q "voice over IP" || fail "Description: $(field Description | sed -n 1p)"

# Every library the programs link comes from a package that dpkg-shlibdeps named, and every package named
# is one installed here, with no development package among them.
depends=$(field Depends)
echo "Depends: $depends"
wanted=(libc6 libstdc++6 libasound2 libportaudio2 libpulse0 libsndfile1 libgsm1 libspandsp2 libntlm0 libnettle8)
[ "$QPARLIN_GUI" = 1 ] && wanted+=(libqt6core6 libqt6gui6 libqt6widgets6)
for package in "${wanted[@]}"; do
    grep -qE "(^|, )$(printf '%s' "$package" | sed 's/[+.]/\\&/g')( |,|$)" <<<"$depends" || fail "Depends does not name $package"
done
# What dpkg-shlibdeps cannot see: the route to the sound server and, with the window, Qt's display plugin.
grep -qE "(^|, )libasound2-plugins \| pipewire-alsa(,|$)" <<<"$depends" ||
    fail "Depends does not name libasound2-plugins | pipewire-alsa"
if [ "$QPARLIN_GUI" = 1 ]; then
    grep -qE "(^|, )qt6-qpa-plugins(,|$)" <<<"$depends" || fail "Depends does not name qt6-qpa-plugins"
fi
# The licence travels with the package: the copyright file says BSD-3-Clause and carries its text.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/qparlin/copyright >"$work/copyright" ||
    fail "the package has no copyright file"
grep -q "^License: BSD-3-Clause$" "$work/copyright" || fail "the copyright file names no BSD-3-Clause licence"
grep -q "Neither the name of the copyright holder" "$work/copyright" || fail "the copyright file lacks the licence text"
grep -q "not-yet-chosen" "$work/copyright" && fail "the copyright file still says not-yet-chosen"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/metainfo/org.example.qparlin.metainfo.xml |
    grep -q "<project_license>BSD-3-Clause</project_license>" || fail "the metainfo names no project licence"
cmp -s <(sed -n '/^Redistribution/,$p' "$(dirname "$0")/../../LICENSE") \
    <(sed -n '/^ Redistribution/,$p' "$work/copyright" | sed 's/^ //; s/^\.$//') ||
    fail "LICENSE and the copyright file's licence text differ"
IFS=',' read -r -a entries <<<"$depends"
for entry in "${entries[@]}"; do
    name=$(awk '{ print $1 }' <<<"$entry")
    [[ "$name" != *-dev ]] || fail "Depends names a development package: $name"
    dpkg-query -W "$name" >/dev/null 2>&1 || dpkg-query -W "$name:$arch" >/dev/null 2>&1 ||
        fail "Depends names $name, which is not installed here"
done

# The files, each with the mode Debian expects: programs 0755, everything else 0644, owned by root.
dpkg-deb -c "$deb" >"$work/contents"
awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }' "$work/contents" | LC_ALL=C sort >"$work/deb.files"
expected_files >"$work/expected.files"
cmp -s "$work/deb.files" "$work/expected.files" ||
    fail "the package's files differ from installed-files.txt: $(diff "$work/expected.files" "$work/deb.files" | grep '^[<>]' | tr '\n' ' ')"
while read -r mode owner _ _ _ path; do
    want=-rw-r--r--
    [[ "$path" == ./usr/bin/* ]] && want=-rwxr-xr-x
    [ "$mode" = "$want" ] || fail "$path has mode $mode"
    [ "$owner" = root/root ] || fail "$path is owned by $owner"
done < <(awk '$1 !~ /^d/ { print }' "$work/contents")
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $6 }' "$work/contents" | grep -q . &&
    fail "directories not 0755: $(awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $6 }' "$work/contents" | tr '\n' ' ')"

root=$work/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
for program in qparlin qparlin-codec; do
    info=$(file -b "$root/usr/bin/$program")
    [[ "$info" == ELF* && "$info" == *", stripped"* ]] || fail "$program in the package is: $info"
done
check_layout "$root/usr" "$root"

finish "the .deb holds the layout, depends on the linked libraries' packages and runs"
