# Sourced by the wine-*-mend.sh scripts: copies one of Wine's own DLLs into a
# prefix with a few checked byte changes, as a native DLL.
#
# mend_dll NAME SOURCE TARGET SHA256 PATCH...
#   PATCH: "OFFSET ORIGINAL_HEX MENDED_HEX". Returns 0 when TARGET holds the
#   mended bytes (already, or now). Anything but the exact known SOURCE is
#   refused with a line on standard error naming NAME, and returns 1.

mend_matches() { # file, field (2 original, 3 mended), patches...
    local file="$1" field="$2" p fields
    shift 2
    for p in "$@"; do
        read -r -a fields <<<"$p"
        local want=${fields[$field - 1]}
        [ "$(xxd -p -s "${fields[0]}" -l $((${#want} / 2)) "$file" | tr -d '\n')" = "$want" ] || return 1
    done
}

mend_dll() {
    local name="$1" source_dll="$2" target_dll="$3" known_sha="$4" p fields
    shift 4
    local marker_offset=$((0x40))
    local marker="57696e65206275696c74696e20444c4c" # "Wine builtin DLL"
    if [ -f "$target_dll" ] && mend_matches "$target_dll" 3 "$@"; then
        return 0
    fi
    if [ ! -f "$source_dll" ]; then
        echo "$name: $source_dll not found" >&2
        return 1
    fi
    local sha
    sha=$(sha256sum "$source_dll" | cut -d' ' -f1)
    if [ "$sha" != "$known_sha" ]; then
        echo "$name: $source_dll is not the known Wine 8.0 build ($sha); not patching" >&2
        return 1
    fi
    if ! mend_matches "$source_dll" 2 "$@" ||
       [ "$(xxd -p -s $marker_offset -l 16 "$source_dll")" != "$marker" ]; then
        echo "$name: unexpected bytes in $source_dll; not patching" >&2
        return 1
    fi
    mkdir -p "$(dirname "$target_dll")"
    # A new file (rename), never a rewrite: running programs map the old one.
    local tmp
    tmp=$(mktemp "$(dirname "$target_dll")/.mend.XXXXXX")
    cp "$source_dll" "$tmp"
    for p in "$@"; do
        read -r -a fields <<<"$p"
        printf '%s' "${fields[2]}" | xxd -r -p | dd of="$tmp" bs=1 seek="${fields[0]}" conv=notrunc status=none
    done
    # Without the marker Wine takes the file for a native DLL.
    head -c 16 /dev/zero | dd of="$tmp" bs=1 seek=$marker_offset conv=notrunc status=none
    chmod 644 "$tmp"
    mv "$tmp" "$target_dll"
}
