#!/usr/bin/env bash
# Manifests of real folders: hashes and sizes against sha256sum and stat, the
# layout, and every kind of path the launcher would refuse.
. "${ORV_TESTLIB:-$(dirname "$0")/testlib.sh}"
T=$ORV_RELEASE
cd "$ORV_WORK"

# Prints "path sha256 size" per file entry of a manifest, in document order.
entries() {
  tr -d '\r' <"$1" | awk -F'"' '
    /"path":/ { p = $4 }
    /"sha256":/ { s = $4 }
    /"size":/ { sub(/.*"size": */, ""); print p "\t" s "\t" $0 }'
}

group "every file with its SHA-256 and size, sorted by path"
mkdir -p game/bin game/data/maps "game/Save Games"
head -c 200000 /dev/urandom >game/bin/game.dat
printf 'MZ' >game/ORVELANT.exe
: >game/data/empty.txt
printf 'level' >game/data/maps/01.map
printf 'x' >"game/Save Games/readme.txt"
printf 'z' >game/Zeta.txt
printf 'hidden' >game/.settings
ok "manifest" "$T" manifest game --version 1.2.0 -o m.json
expected=$(cd game && find . -type f | sed 's|^\./||' | LC_ALL=C sort | while read -r f; do
  printf '%s\t%s\t%s\n' "$f" "$(sha256sum "$f" | cut -d' ' -f1)" "$(stat -c %s "$f")"; done)
same "entries" "$expected" "$(entries m.json)"
same "file count" "7" "$(entries m.json | wc -l)"
grep -q '"url"' m.json && fail "a url member without --url-prefix"
same "version" '  "version": "1.2.0",' "$(tr -d '\r' <m.json | sed -n 2p)"
same "every line ends in CR LF" "0" "$(grep -vc $'\r$' m.json)"
same "first lines" '{|  "version": "1.2.0",|  "files": [|    {|      "path": ".settings",' \
  "$(tr -d '\r' <m.json | head -5 | paste -sd'|')"

group "the output depends only on the folder's contents"
mkdir -p copy
(cd game && find . -type f | LC_ALL=C sort -r | while read -r f; do
  mkdir -p "../copy/$(dirname "$f")"; cp "$f" "../copy/$f"; done)
ok "manifest of a copy made in another order" "$T" manifest copy --version 1.2.0 -o m2.json
cmp -s m.json m2.json || fail "same contents, different manifest"
printf 'y' >copy/Zeta.txt
ok "manifest after a change" "$T" manifest copy --version 1.2.0 -o m3.json
same "a changed file changes only its entry" "1" \
  "$(diff <(entries m.json) <(entries m3.json) | grep -c '^>')"

group "--url-prefix gives every file its host-relative address"
ok "manifest with prefix" "$T" manifest game --version 1.2.0 --url-prefix /cdn/halcyra/1.2.0/ -o u.json
urls=$(tr -d '\r' <u.json | awk -F'"' '/"url":/ { print $4 }')
same "urls" "$(entries m.json | cut -f1 | sed 's|^|/cdn/halcyra/1.2.0/|')" "$urls"
refused "prefix without leading slash" "must begin with \"/\"" \
  "$T" manifest game --version 1 --url-prefix cdn/ -o x.json
refused "prefix without trailing slash" "must end with \"/\"" \
  "$T" manifest game --version 1 --url-prefix /cdn -o x.json
refused "prefix with a parent reference" "parent reference" \
  "$T" manifest game --version 1 --url-prefix /cdn/../ -o x.json
refused "address longer than the reader's buffer" "at most 759" \
  "$T" manifest game --version 1 --url-prefix "/$(printf 'p%.0s' $(seq 740))/" -o x.json

# unsafe <description> <expected reason> <file name inside the folder>: the
# message must name the file and give the reason.
unsafe() {
  local dir="bad$((++bad_count))"
  mkdir -p "$dir/$(dirname "$3")"
  printf 'x' >"$dir/$3"
  refused "$1" "unsafe path \"$3\": " "$T" manifest "$dir" --version 1 -o "$dir.json"
  refused "$1" "$2" "$T" manifest "$dir" --version 1 -o "$dir.json"
  [ ! -e "$dir.json" ] || fail "$1: a manifest was written anyway"
}
bad_count=0

group "paths the launcher refuses are refused, naming the file"
unsafe "two dots in a name" "two consecutive dots in a name" "a..b.pak"
unsafe "two dots in a folder" "two consecutive dots in a name" "x../f"
unsafe "colon" "colon" "c:d"
unsafe "question mark" 'character "?" is not allowed' "what?.txt"
unsafe "asterisk" 'character "*" is not allowed' "st*r"
unsafe "less-than" 'character "<" is not allowed' "a<b"
unsafe "greater-than" 'character ">" is not allowed' "a>b"
unsafe "vertical bar" 'character "|" is not allowed' "a|b"
unsafe "double quote" 'character """ is not allowed' 'say"hi'

group "paths that would break on Windows or in a download address are refused"
unsafe "backslash" "backslash" 'dir\file'
unsafe "brace" "brace" "data{1}.pak"
unsafe "percent" 'character "%" has a meaning in web addresses' "100%.txt"
unsafe "hash" 'character "#" has a meaning in web addresses' "#1.txt"
unsafe "control character" "control character" $'tab\there'
unsafe "non-ASCII" "non-ASCII character" "caf$(printf '\xc3\xa9').txt"
unsafe "device name" "reserved Windows device name" "sub/NUL.txt"
unsafe "device name, lower case" "reserved Windows device name" "com1"
unsafe "trailing dot" "ends with a dot or blank" "name."
unsafe "trailing blank" "ends with a dot or blank" "dir /f"
long="$(printf 'd%.0s' $(seq 100))"
unsafe "path longer than 519 bytes" "at most 519" "$long/$long/$long/$long/$long/$long"

group "names Windows cannot tell apart, links and special files"
mkdir -p case1 && printf a >case1/Data.pak && printf b >case1/data.pak
refused "letter case" "name the same file on Windows" "$T" manifest case1 --version 1 -o x.json
mkdir -p case2/Maps && printf a >case2/Maps/a && printf b >case2/maps
refused "file and folder differing in case" "on Windows (letter case)" \
  "$T" manifest case2 --version 1 -o x.json
mkdir -p case3/Maps case3/maps && printf a >case3/Maps/a && printf b >case3/maps/b
refused "folders differing in case" "are the same folder on Windows" \
  "$T" manifest case3 --version 1 -o x.json
# The launcher's own files in a product folder's root, in any letter case or
# as a folder, would be overwritten by it after every install; the same
# names deeper down are game files like any other.
for own in Version.json .orvelant-known-good .ORVELANT-Release-Serial; do
  rm -rf own && mkdir -p own && printf a >own/Game.exe && printf b >"own/$own"
  refused "the launcher's $own" "\"$own\" is the launcher's own file" \
    "$T" manifest own --version 1 -o x.json
done
rm -rf own && mkdir -p own/version.json && printf a >own/version.json/x
refused "a folder at the launcher's name" "\"version.json/x\" lies in a folder named as the launcher's own file \"version.json\"" \
  "$T" manifest own --version 1 -o x.json
rm -rf own && mkdir -p own/data && printf a >own/data/version.json && printf b >own/version.json.txt
ok "the names below the root or longer" "$T" manifest own --version 1 -o own.json
same "both listed" "data/version.json version.json.txt" "$(entries own.json | cut -f1 | paste -sd' ')"
mkdir -p link && printf a >link/real && ln -s real link/alias
refused "symbolic link" "\"alias\" is a symbolic link" "$T" manifest link --version 1 -o x.json
mkdir -p fifo && mkfifo fifo/pipe
refused "fifo" "\"pipe\" is not a regular file" "$T" manifest fifo --version 1 -o x.json
mkdir -p keyname && printf a >keyname/sha256
refused "file named like a later key" "would be read as the key \"sha256\"" \
  "$T" manifest keyname --version 1 -o x.json

group "hundreds of files, and the bound the launcher shares"
mkdir -p many
for i in $(seq 1 300); do printf '%d' "$i" >"many/f$i"; done
ok "300 files" "$T" manifest many --version 1 -o many.json
same "300 entries" "300" "$(entries many.json | wc -l)"
# (the bound itself is checked in the unit test: it takes 200,000 files)

group "version text is checked"
refused "quote in version" "unsafe version" "$T" manifest game --version '1.0"' -o x.json
refused "blank in version" "unsafe version" "$T" manifest game --version '1 0' -o x.json
refused "empty version" "empty version" "$T" manifest game --version '' -o x.json
refused "96-byte version" "at most 95" "$T" manifest game --version "$(printf '9%.0s' $(seq 96))" -o x.json
ok "95-byte version" "$T" manifest game --version "$(printf '9%.0s' $(seq 95))" -o v95.json
refused "version that hides the files key" "would be read as the key \"files\"" \
  "$T" manifest game --version files -o x.json
[ ! -e x.json ] || fail "a refused manifest was written"

group "command line"
"$T" manifest game -o x.json >/dev/null 2>&1
same "missing --version" "2" "$?"
"$T" manifest game --version 1 >/dev/null 2>&1
same "missing -o" "2" "$?"
refused "not a folder" "is not a folder" "$T" manifest nothere --version 1 -o x.json

finish
