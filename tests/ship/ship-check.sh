#!/usr/bin/env bash
# The files an application ships, checked as shipped (run by ctest):
# 1. the install tree and the zip hold exactly qvfx.dll, qvfx-reviv.exe and qvfx.jar;
# 2. the jar holds every class of java/, compiled for Java 11;
# 3. the two programs import only system DLLs and each other;
# 4. an unpacked copy plays the test video in a fresh Wine prefix, with the
#    test-only d3d9.dll and renderer layer beside it as every playback test
#    needs, the library loaded from java.exe's folder and the server found
#    there, from another working folder.
# Arguments: <build folder> <objdump for the target>.
set -euo pipefail
build=$(cd "$1" && pwd)
objdump=$2
source=$(cd "$(dirname "$0")/../.." && pwd)
scratch="$build/ship-check"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
# A prefix of this check's own: its wineserver goes with it.
stop_prefix() { [ -d "$scratch/wineprefix" ] && WINEPREFIX="$scratch/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; }
stop_prefix
rm -rf "$scratch"
mkdir -p "$scratch"
trap stop_prefix EXIT

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name="qvfx-$version-win-x64"
shipped=$'qvfx-reviv.exe\nqvfx.dll\nqvfx.jar'

cmake --install "$build" --prefix "$scratch/install" >/dev/null
tree=$(cd "$scratch/install" && find . -mindepth 1 | sed 's|^\./||' | sort)
[ "$tree" = "$shipped" ] && ok "the install tree holds exactly the shipped files" ||
    fail "the install tree holds: $(echo $tree)"

cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null
zip="$scratch/package/$name.zip"
if [ -f "$zip" ]; then
    entries=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
    [ "$entries" = "$(sed "s|^|$name/|" <<<"$shipped")" ] && ok "$name.zip holds exactly the shipped files" ||
        fail "$name.zip holds: $(echo $entries)"
else
    fail "no $name.zip; cpack made: $(ls "$scratch/package")"
fi
mkdir -p "$scratch/unpacked"
(cd "$scratch/unpacked" && cmake -E tar xf "$zip")
app="$scratch/unpacked/$name"

# Class files of major version 55 run on Java 11.
mkdir -p "$scratch/jar"
(cd "$scratch/jar" && cmake -E tar xf "$app/qvfx.jar")
while read -r java; do
    class="$scratch/jar/${java%.java}.class"
    if [ ! -f "$class" ]; then
        fail "qvfx.jar lacks ${java%.java}.class"
    elif [ "$(od -An -tu1 -j6 -N2 "$class" | tr -s ' ')" != " 0 55" ]; then
        fail "${java%.java}.class is not compiled for Java 11"
    fi
done < <(cd "$source/java" && find . -name '*.java' | sed 's|^\./||')
ok "qvfx.jar checked against java/"

# DLLs present on every 64-bit Windows since 7.
system="advapi32 comctl32 comdlg32 d3d9 dxva2 evr gdi32 kernel32 mf mfplat msvcrt ole32 oleaut32 psapi
shell32 shlwapi user32 uxtheme version winmm"
for program in qvfx.dll qvfx-reviv.exe; do
    for dll in $("$objdump" -p "$app/$program" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
        base=${dll%.dll}
        grep -qw "$base" <<<"$system" || grep -qx "$dll" <<<"$shipped" || fail "$program imports $dll"
    done
done
ok "import tables read"

# The unpacked copy as an application has it: java.exe beside the shipped files.
cp "$build/bin/qv-ship-host.exe" "$app/java.exe"
cp "$build/bin/d3d9.dll" "$app/"
mkdir -p "$scratch/bin" "$scratch/work"
cp "$build/bin/qv-evr-shim.dll" "$scratch/bin/" # tools/wine-prefix.sh installs it from beside the prefix
winpath() { echo "Z:$(tr / '\\' <<<"$1")"; }
status=0
WINEPREFIX="$scratch/wineprefix" QV_BUILD_DIR="$build" WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b;evr=n,b;winedbg.exe=d" \
    "$source/tools/wine-run.sh" "$app/java.exe" "$(winpath "$scratch/work")" \
    "$(winpath "$build/test-data/clip-av.mp4")" 2>/dev/null || status=$?
[ "$status" -eq 0 ] && ok "the unpacked copy played the test video" || fail "the unpacked copy ended with $status"
[ -f "$scratch/work/qvfx-reviv.exe.log" ] && ok "the server ran from $app" || fail "no server log in the working folder"

[ "$failures" -eq 0 ] || { echo "ship-check: $failures failed"; exit 1; }
echo "ship-check: all passed"
