#!/usr/bin/env bash
# publish: the complete update-host tree from a release description, checked
# file by file with sha256sum, cmp and openssl; and descriptions it refuses.
. "${ORV_TESTLIB:-$(dirname "$0")/testlib.sh}"
T=$ORV_RELEASE
cd "$ORV_WORK"

mkdir -p keys
ok "keygen" "$T" keygen keys/private.pem keys/public.pem

mkdir -p games/halcyra/bin games/second/data setup
head -c 70000 /dev/urandom >games/halcyra/bin/game.dat
printf 'MZ halcyra' >games/halcyra/ORVELANT.exe
printf 'MZ second' >games/second/Second.exe
head -c 5000 /dev/urandom >games/second/data/pack.bin
head -c 30000 /dev/urandom >setup/ORVELANT_Launcher_Setup_v1.1.0.exe

cat >release.txt <<'DESC'
# Release 2 of the service.
host = localhost
signing_key = keys/private.pem

[catalog]
launcher_min_version = 1.0.0

[control]
service_state = maintenance
maintenance_message = "Back at 18:00.\nThank you for waiting."
signal = SIGNAL // MAINTENANCE
announcement =
allow_offline = false
store_enabled = true
min_launcher_version = 1.0.0
latest_launcher_version = 1.1.0
installer_url = https://localhost/launcher/releases/v1.1.0/ORVELANT_Launcher_Setup_v1.1.0.exe
installer_file = setup/ORVELANT_Launcher_Setup_v1.1.0.exe
force_launcher_update = false

[news]
title = SEASON 2 // LIVE
summary = "New maps, \"quoted\" words and a backslash \\ in one line."
published_at = 2025-04-01
link = https://orvelant.example/news/season-2

[news]
title = MAINTENANCE // 18:00

[product first-title]
title = HALCYRA
project = PROJECT / 001
subtitle = THE NEXT WORLD STARTS HERE.
install_dir = first-title
executable = ORVELANT.exe
manifest_path = /games/first-title/stable/manifest.json
store_url = https://orvelant.example/business/games/
folder = games/halcyra
version = 1.2.0

[product second_title]
title = SECOND
install_dir = studio/second
executable = Second.exe
manifest_path = /games/second/manifest.json
folder = games/second
version = 0.9.1-beta
url_prefix = /cdn/second/0.9.1/
DESC

# A document without the serial, expiry and the names of the catalog and news
# that every publish puts at its top.
unstamp() {
  grep -Ev '^  "(serial|expires|catalog_serial|catalog_sha256|news_serial|news_sha256)": ' "$1"
}

group "publish lays out the whole tree"
ok "publish" "$T" publish release.txt out/tree
for doc in launcher/catalog.json launcher/news.json launcher/control.json \
  games/first-title/stable/manifest.json games/second/manifest.json; do
  [ -s "out/tree/$doc" ] || fail "missing $doc"
  openssl_verifies keys/public.pem "out/tree/$doc" || fail "openssl does not verify $doc.sig"
  grep -Eq '^[0-9a-f]{512}$' "out/tree/$doc.sig" || fail "$doc.sig is not 512 hex digits"
done
[ -e out/tree/.orvelant-published ] || fail "no publisher marker"
same "nothing left next to the tree but its lock" ".tree.lock tree" "$(ls -A out | paste -sd' ')"

group "product files sit at their content address or under the url prefix"
# Prints "path<TAB>sha256<TAB>size<TAB>url" per entry of a manifest.
entries() {
  tr -d '\r' <"$1" | awk -F'"' '
    /^    \{/ { p = ""; s = ""; u = "" }
    /"path":/ { p = $4 }
    /"sha256":/ { s = $4 }
    /"url":/ { u = $4 }
    /"size":/ { z = $0; sub(/.*"size": */, "", z); print p "\t" s "\t" z "\t" u }'
}
m1=out/tree/games/first-title/stable/manifest.json
same "first manifest files" "ORVELANT.exe
bin/game.dat" "$(entries $m1 | cut -f1)"
entries $m1 | while IFS=$'\t' read -r path sha size url; do
  served=out/tree$url
  same "content address of $path" "/content/${sha:0:2}/$sha" "$url"
  cmp -s "$served" "games/halcyra/$path" || fail "served $path differs from the game folder"
  same "sha256 of $path" "$(sha256sum "$served" | cut -d' ' -f1)" "$sha"
  same "size of $path" "$(stat -c %s "$served")" "$size"
done
m2=out/tree/games/second/manifest.json
same "second manifest urls" "/cdn/second/0.9.1/Second.exe
/cdn/second/0.9.1/data/pack.bin" "$(entries $m2 | cut -f4)"
entries $m2 | while IFS=$'\t' read -r path sha size url; do
  cmp -s "out/tree$url" "games/second/$path" || fail "file at $url differs from the game folder"
  same "sha256 at $url" "$(sha256sum "out/tree$url" | cut -d' ' -f1)" "$sha"
done
[ ! -e out/tree/games/second/files ] || fail "prefixed product also copied to the default address"
same "version" '  "version": "0.9.1-beta",' "$(unstamp $m2 | tr -d '\r' | sed -n 2p)"
[ ! -e out/tree/games/first-title/stable/files ] || fail "a content-addressed file also sits in place"
for hidden in .orvelant-published .orvelant-releases; do
  [ -s "out/tree/$hidden" ] || fail "no $hidden"
done

group "the Setup and its SHA-256 in the control document"
setup=out/tree/launcher/releases/v1.1.0/ORVELANT_Launcher_Setup_v1.1.0.exe
cmp -s "$setup" setup/ORVELANT_Launcher_Setup_v1.1.0.exe || fail "Setup not at its url path"
same "installer_sha256" "  \"installer_sha256\": \"$(sha256sum "$setup" | cut -d' ' -f1)\"," \
  "$(tr -d '\r' <out/tree/launcher/control.json | grep installer_sha256)"

group "documents in the launcher's layout"
printf '%s\r\n' '{' '  "schema": 1,' '  "service_state": "maintenance",' \
  '  "maintenance_message": "Back at 18:00.\nThank you for waiting.",' \
  '  "signal": "SIGNAL // MAINTENANCE",' '  "announcement": "",' '  "allow_offline": false,' \
  '  "store_enabled": true,' '  "min_launcher_version": "1.0.0",' \
  '  "latest_launcher_version": "1.1.0",' \
  '  "installer_url": "https://localhost/launcher/releases/v1.1.0/ORVELANT_Launcher_Setup_v1.1.0.exe",' \
  "  \"installer_sha256\": \"$(sha256sum "$setup" | cut -d' ' -f1)\"," \
  '  "force_launcher_update": false' '}' >expected_control.json
same_file "control.json" expected_control.json <(unstamp out/tree/launcher/control.json)
printf '%s\r\n' '{' '  "schema": 1,' '  "items": [' '    {' \
  '      "title": "SEASON 2 // LIVE",' \
  '      "summary": "New maps, \"quoted\" words and a backslash \\ in one line.",' \
  '      "published_at": "2025-04-01",' '      "link": "https://orvelant.example/news/season-2"' \
  '    },' '    {' '      "title": "MAINTENANCE // 18:00",' '      "summary": "",' \
  '      "published_at": "",' '      "link": ""' '    }' '  ]' '}' >expected_news.json
same_file "news.json" expected_news.json <(unstamp out/tree/launcher/news.json)
printf '%s\r\n' '{' '  "schema": 2,' '  "launcher_min_version": "1.0.0",' \
  '  "products": [' '    {' '      "id": "first-title",' '      "title": "HALCYRA",' \
  '      "project": "PROJECT / 001",' '      "subtitle": "THE NEXT WORLD STARTS HERE.",' \
  '      "install_dir": "first-title",' '      "executable": "ORVELANT.exe",' \
  '      "manifest_path": "/games/first-title/stable/manifest.json",' \
  '      "store_url": "https://orvelant.example/business/games/"' '    },' '    {' \
  '      "id": "second_title",' '      "title": "SECOND",' '      "project": "",' \
  '      "subtitle": "",' '      "install_dir": "studio/second",' \
  '      "executable": "Second.exe",' '      "manifest_path": "/games/second/manifest.json",' \
  '      "store_url": ""' '    }' '  ]' '}' >expected_catalog.json
same_file "catalog.json" expected_catalog.json <(unstamp out/tree/launcher/catalog.json)

group "a minimal description gives the launcher's default news and control"
mkdir -p mini/game && printf 'MZ' >mini/game/ORVELANT.exe
printf '%s\n' '[product first-title]' 'title = HALCYRA' 'install_dir = first-title' \
  'executable = ORVELANT.exe' 'manifest_path = /games/first-title/stable/manifest.json' \
  'folder = game' 'version = 1.0.0' >mini/release.txt
ok "publish minimal" "$T" publish mini/release.txt mini/tree --key keys/private.pem
same "default news, 37 bytes" "37" "$(unstamp mini/tree/launcher/news.json | wc -c)"
printf '%s\r\n' '{' '  "schema": 1,' '  "service_state": "normal",' \
  '  "maintenance_message": "",' '  "signal": "SIGNAL // CURRENT",' '  "announcement": "",' \
  '  "allow_offline": true,' '  "store_enabled": true,' '  "min_launcher_version": "1.0.0",' \
  '  "latest_launcher_version": "1.0.0",' \
  '  "installer_url": "https://localhost/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe",' \
  '  "force_launcher_update": false' '}' >expected_default.json
same_file "default control.json" expected_default.json <(unstamp mini/tree/launcher/control.json)
[ ! -e mini/tree/launcher/releases ] || fail "a Setup was published without installer_file"

group "publishing is reproducible and replaces the old tree whole"
fixed=(--serial 40 --expires 2031-02-03T04:05:06Z)
ok "publish with a given serial" "$T" publish release.txt out/tree "${fixed[@]}"
ok "publish again elsewhere" "$T" publish release.txt out/again "${fixed[@]}"
# Only the release record (with its times) may differ.
diff -r -x .orvelant-releases out/tree out/again >/dev/null || fail "two publishes of one description differ"
old_urls=$(entries $m1 | cut -f4)
printf 'MZ halcyra 2' >games/halcyra/ORVELANT.exe
rm games/halcyra/bin/game.dat
ok "republish over the tree" "$T" publish release.txt out/tree
same "files of the new manifest" "ORVELANT.exe" "$(entries $m1 | cut -f1)"
new_url=$(entries $m1 | cut -f4)
cmp -s "out/tree$new_url" games/halcyra/ORVELANT.exe || fail "the changed file was not republished"
for url in $old_urls; do  # a player holding the previous manifest still completes
  [ -f "out/tree$url" ] || fail "the previous release's $url is gone after a publish"
done
openssl_verifies keys/public.pem $m1 || fail "republished manifest does not verify"
same "nothing left next to the tree" ".again.lock .tree.lock again tree" "$(ls -A out | paste -sd' ')"
head -c 70000 /dev/urandom >games/halcyra/bin/game.dat

group "every signed document carries a growing serial and an expiry; refresh re-signs them"
docs=(launcher/catalog.json launcher/news.json launcher/control.json
  games/first-title/stable/manifest.json games/second/manifest.json)
# stamp <tree>: "serial expires" of every document, one line each.
stamp() {
  for doc in "${docs[@]}"; do
    tr -d '\r' <"$1/$doc" | awk -F'[:,]' '/^  "serial":/ { s = $2 } /^  "expires":/ { sub(/^  "expires": "/, ""); sub(/",$/, ""); e = $0 } END { print s " " e }'
  done
}
n=$(($(cat keys/private.pem.serial) + 1))
ok "publish by default" "$T" publish release.txt out/tree
expires=$(date -u -d '+21 days' +%Y-%m-%d)
same "serial above the tree's, expiry three weeks ahead" "$(printf " $n %s\n" "$expires"{,,,,})" \
  "$(stamp out/tree | sed 's/T[0-9:]*Z$//')"
same "the control document names the catalog" \
  "$n $(sha256sum out/tree/launcher/catalog.json | cut -d' ' -f1) $n $(sha256sum out/tree/launcher/news.json | cut -d' ' -f1)" \
  "$(tr -d '\r' <out/tree/launcher/control.json | grep -E '^  "(catalog|news)_(serial|sha256)"' | sed 's/.*: "\{0,1\}//; s/"\{0,1\},$//' | paste -sd' ')"
same "the counter beside the key" "$n" "$(cat keys/private.pem.serial)"
ok "a fresh tree continues the key's counter" "$T" publish release.txt out/again
same "next serial" " $((n + 1))" "$(stamp out/again | cut -d' ' -f1-2 | sort -u)"
files_before=$(cd out/tree && find . -type f ! -name '*.json' ! -name '*.sig' ! -name '*.json.gz' -exec sha256sum {} + | LC_ALL=C sort)
for doc in "${docs[@]}"; do unstamp "out/tree/$doc" >"plain-${doc//\//-}"; done
ok "refresh" "$T" refresh out/tree --key keys/private.pem --lifetime-days 2
same "refreshed serial and expiry" "$(printf " $((n + 2)) %s\n" "$(date -u -d '+2 days' +%Y-%m-%d)"{,,,,})" \
  "$(stamp out/tree | sed 's/T[0-9:]*Z$//')"
for doc in "${docs[@]}"; do
  same_file "refreshed $doc" "plain-${doc//\//-}" <(unstamp "out/tree/$doc")
  openssl_verifies keys/public.pem "out/tree/$doc" || fail "refreshed $doc does not verify"
done
same "the control document names the refreshed catalog" \
  "  \"catalog_sha256\": \"$(sha256sum out/tree/launcher/catalog.json | cut -d' ' -f1)\"," \
  "$(tr -d '\r' <out/tree/launcher/control.json | grep catalog_sha256)"
same "files untouched by refresh" "$files_before" \
  "$(cd out/tree && find . -type f ! -name '*.json' ! -name '*.sig' ! -name '*.json.gz' -exec sha256sum {} + | LC_ALL=C sort)"
# Each manifest's compressed twin is made again from the re-signed bytes; the
# launcher documents have none.
for doc in "${docs[@]}"; do
  case $doc in
    launcher/*) [ ! -e "out/tree/$doc.gz" ] || fail "$doc has a twin" ;;
    *) same_file "twin of the refreshed $doc" "out/tree/$doc" <(gzip -dc "out/tree/$doc.gz") ;;
  esac
done
same "nothing left next to the refreshed tree" ".again.lock .tree.lock again tree" "$(ls -A out | paste -sd' ')"
# A cache revalidating by date and size must see every new document and .sig
# as changed, even when the tree it replaces was written in the same second.
later=$(($(date +%s) + 3600))
touch -d @$later out/tree/launcher/control.json out/tree/launcher/control.json.sig \
  out/tree/games/second/manifest.json.gz
ok "refresh with a given expiry" "$T" refresh out/tree --key keys/private.pem --expires 2030-01-01T00:00:00Z
for f in launcher/control.json launcher/control.json.sig games/second/manifest.json.gz; do
  [ "$(stat -c %Y out/tree/$f)" -gt $later ] ||
    fail "refreshed $f is dated no later than the one it replaced"
done
same "given expiry" " $((n + 3)) 2030-01-01T00:00:00Z" "$(stamp out/tree | sort -u)"
refused "expiry not in UTC" "is not a UTC time" "$T" refresh out/tree --key keys/private.pem --expires 2031-01-01
# A document stamped with a date that does not exist, has passed or lies
# beyond the stated bound is refused before anything is signed.
before=$(stamp out/tree)
for bad in 2031-13-01T00:00:00Z 2031-02-29T00:00:00Z 2031-01-01T24:00:00Z; do
  refused "expiry $bad" "is not a real date and time" "$T" refresh out/tree --key keys/private.pem --expires $bad
done
refused "expiry in the past" "is not in the future" "$T" publish release.txt out/tree --expires 2020-01-01T00:00:00Z
refused "expiry in year 9999" "is more than 3650 days ahead" "$T" refresh out/tree --key keys/private.pem --expires 9999-01-01T00:00:00Z
same "refused expiries changed nothing" "$before" "$(stamp out/tree)"
printf 'lifetime_days = 0\n' >life.txt
refused "lifetime of 0 days" "lifetime_days \"0\": is not a number of days" \
  "$T" publish life.txt out/tree --key keys/private.pem
refused "refresh of a folder that is no tree" "is not a published tree" "$T" refresh games --key keys/private.pem

group "a serial at or below the tree's is refused; writers of one tree take turns"
# Every file of a tree with its bytes, and every folder.
tree_bytes() { (cd "$1" && find . -type f -exec sha256sum {} + | LC_ALL=C sort && find . | LC_ALL=C sort); }
serial_of() { tr -d '\r' <"$1/launcher/catalog.json" | sed -n 's/^  "serial": \([0-9]*\),$/\1/p'; }
top=$(serial_of out/tree)
before=$(tree_bytes out/tree)
refused "--serial equal to the tree's" "--serial $top is not above $top, the serial \"out/tree\" already carries" \
  "$T" publish release.txt out/tree --serial "$top"
refused "--serial below the tree's" "--serial 3 is not above $top" "$T" publish release.txt out/tree --serial 3
refused "refresh with the tree's serial" "--serial $top is not above $top" \
  "$T" refresh out/tree --key keys/private.pem --serial "$top"
same "the refused tree is untouched" "$before" "$(tree_bytes out/tree)"
# The serial is read from the tree's own documents, manifests included, not
# from the key's counter: a key without one meets a manifest signed higher.
mkdir -p hand && cp -a out/tree hand/tree
sed -i "s/^  \"serial\": $top,/  \"serial\": $((top + 5)),/" hand/tree/games/second/manifest.json
ok "second key" "$T" keygen keys/other.pem keys/other-public.pem
refused "a manifest's serial counts" "is not above $((top + 5)), the serial \"hand/tree\" already carries (/games/second/manifest.json)" \
  "$T" publish release.txt hand/tree --key keys/other.pem --serial $((top + 1))
ok "publish by default above the manifest" "$T" publish release.txt hand/tree --key keys/other.pem
same "serial above the manifest's" "$((top + 6))" "$(serial_of hand/tree)"

# A writer holding the tree's lock (flock(1) on the same file, as a running
# publish does): each command waits, says so, and changes nothing until it
# is let go.
# Every command that writes into the tree waits too: one that writes a single
# file into it, and one that reaches the tree through a link.
ln -sfn tree out/alias && cp games/halcyra/bin/game.dat lone.dat
for command in "publish release.txt out/tree" "refresh out/tree --key keys/private.pem" \
  "prune out/tree --now 4000000000" "sign keys/private.pem out/tree/launcher/news.json" \
  "manifest games/second --version 1 -o out/tree/hand.json" \
  "pieces lone.dat --objects out/tree" "publish release.txt out/alias"; do
  before=$(tree_bytes out/tree)
  exec 9>out/.tree.lock
  flock -x 9
  # The previous round's message must not answer for this one.
  rm -f waited.err
  # shellcheck disable=SC2086
  "$T" $command >waited.out 2>waited.err &
  pid=$!
  for _ in $(seq 200); do grep -qs "waiting for another publish" waited.err && break; sleep 0.05; done
  grep -qE "waiting for another publish, refresh or prune of \"(out/tree|$PWD/out/tree)\"" waited.err ||
    fail "${command%% *} did not wait for the lock: $(cat waited.err)"
  same "${command%% *}: the tree while the lock is held" "$before" "$(tree_bytes out/tree)"
  kill -0 $pid 2>/dev/null || fail "${command%% *} ended while the lock was held"
  flock -u 9
  exec 9>&-
  wait $pid || fail "${command%% *} failed once the lock was let go: $(cat waited.err)"
done
same "the publishes and the refresh each took the next serial" "$((top + 3))" "$(serial_of out/tree)"
[ -L out/alias ] && [ "$(readlink out/alias)" = tree ] || fail "publish through a link replaced the link"
rm -f out/alias out/tree/hand.json

# A writer that does not take the lock (a hand edit) changes a document
# while refresh reads the tree: refresh refuses instead of swapping back the
# tree it read. Many small files make the read long enough to edit during it.
mkdir -p out/tree/bulk && (cd out/tree/bulk && seq 1 5000 | xargs touch)
cp -p out/tree/launcher/news.json news.kept
(end=$((SECONDS + 20))
  while ! compgen -G 'out/.tree.refreshing-*' >/dev/null && [ $SECONDS -lt $end ]; do :; done
  printf 'edited by hand\n' >>out/tree/launcher/news.json) &
editor=$!
refused "refresh of a tree edited meanwhile" "changed while refresh read it" \
  "$T" refresh out/tree --key keys/private.pem
wait $editor
grep -q 'edited by hand' out/tree/launcher/news.json || fail "refresh swapped its tree over a hand edit"
same "the refused refresh left nothing beside the tree" ".tree.lock tree" "$(ls -A out | grep -v again | paste -sd' ')"
rm -rf out/tree/bulk && cp -p news.kept out/tree/launcher/news.json

# Two publishes and a prune at once: each publish its own serial, and every
# file the served manifests name still there afterwards.
counted=$(cat keys/private.pem.serial)
"$T" publish release.txt out/tree >race1.log 2>&1 & p1=$!
"$T" publish release.txt out/tree >race2.log 2>&1 & p2=$!
"$T" prune out/tree --now 4000000000 >race3.log 2>&1 & p3=$!
for p in $p1 $p2 $p3; do wait $p || fail "a writer at once failed: $(cat race1.log race2.log race3.log)"; done
same "two publishes at once: two serials" "$((counted + 2)) $((counted + 2))" \
  "$(serial_of out/tree) $(cat keys/private.pem.serial)"
for m in $m1 out/tree/games/second/manifest.json; do
  for url in $(entries $m | cut -f4); do
    [ -f "out/tree$url" ] || fail "$url of the served $m is gone after publishes and a prune at once"
  done
done

# bad <description> <expected message> <description text...>: a description
# that must be refused, leaving the published tree as it was.
snapshot() { (cd out/tree && find . -type f -exec sha256sum {} + | LC_ALL=C sort); }
before=$(snapshot)
bad() {
  local what=$1 pattern=$2
  shift 2
  printf '%s\n' "$@" >bad.txt
  refused "$what" "$pattern" "$T" publish bad.txt out/tree --key keys/private.pem
}
P=('[product first-title]' 'title = HALCYRA' 'install_dir = first-title'
  'executable = ORVELANT.exe' 'manifest_path = /games/first-title/stable/manifest.json'
  'folder = games/halcyra' 'version = 1.2.0')
Q=('[product other]' 'title = OTHER' 'install_dir = other' 'executable = Second.exe'
  'manifest_path = /games/other/manifest.json' 'folder = games/second' 'version = 1')

group "descriptions that are refused, with the line that is wrong"
bad "duplicate product" "bad.txt:8: product \"first-title\" is already described on line 1" \
  "${P[@]}" "${P[@]}"
bad "upper-case id" "product id \"First\": use lower-case" '[product First]' "${P[@]:1}"
bad "dotted id" "product id \"a.b\"" '[product a.b]' "${P[@]:1}"
bad "unknown key" "bad.txt:8: [product first-title] unknown key \"tittle\"" "${P[@]}" 'tittle = X'
bad "unknown section" "unknown section [products]" '[products]'
bad "a manifest among the launcher's Setups" "manifest_path \"/launcher/releases/m.json\" lies under /launcher/" \
  "${P[@]:0:4}" 'manifest_path = /launcher/releases/m.json' "${P[@]:5}"
bad "game files among the launcher's documents" "file \"/launcher/g/ORVELANT.exe\" lies under /launcher/" \
  "${P[@]}" 'url_prefix = /launcher/g/'
bad "line without =" "bad.txt:2: expected \"key = value\"" "${P[@]:0:1}" 'title HALCYRA'
bad "repeated key" "bad.txt:8: title is already set on line 2" "${P[@]}" 'title = AGAIN'
bad "missing title" "[product first-title] needs title" '[product first-title]' "${P[@]:2}"
bad "parent reference" 'install_dir "../x": parent reference' "${P[@]:0:2}" \
  'install_dir = ../x' "${P[@]:3}"
bad "leading separator" 'executable "/abs.exe": leading separator' "${P[@]:0:3}" \
  'executable = /abs.exe' "${P[@]:4}"
bad "drive letter" 'install_dir "C:/Games": colon' "${P[@]:0:2}" 'install_dir = C:/Games' "${P[@]:3}"
bad "executable not shipped" 'executable "Game.exe" is not among the 2 files' "${P[@]:0:3}" \
  'executable = Game.exe' "${P[@]:4}"
mkdir -p games/own && printf 'MZ' >games/own/ORVELANT.exe && printf x >games/own/.Orvelant-Known-Good
bad "the launcher's own file in the folder" \
  "[product first-title] folder: \".Orvelant-Known-Good\" is the launcher's own file \".orvelant-known-good\"" \
  "${P[@]:0:5}" 'folder = games/own' "${P[@]:6}"
bad "relative manifest_path" 'manifest_path "games/m.json": must begin with "/"' "${P[@]:0:4}" \
  'manifest_path = games/m.json' "${P[@]:5}"
bad "manifest_path folder" 'must name a file, not a folder' "${P[@]:0:4}" \
  'manifest_path = /games/' "${P[@]:5}"
bad "reserved host path" 'lies under a path the update host reserves' "${P[@]:0:4}" \
  'manifest_path = /slow/manifest.json' "${P[@]:5}"
bad "unsafe version" 'version "1.2 final": character " "' "${P[@]:0:6}" 'version = 1.2 final'
bad "missing folder" 'folder: "' "${P[@]:0:5}" 'folder = games/none' "${P[@]:6}"
bad "same install_dir, other case" 'install_dir "First-Title" is also the folder of product "first-title"' \
  "${P[@]}" "${Q[@]:0:2}" 'install_dir = First-Title' "${Q[@]:3}"
bad "same manifest" 'is also the manifest of product "first-title"' \
  "${P[@]}" "${Q[@]:0:4}" 'manifest_path = /games/first-title/stable/manifest.json' "${Q[@]:5}"
bad "file where a folder is needed" 'needs a folder where' \
  "${P[@]}" "${Q[@]:0:4}" 'manifest_path = /games/first-title/stable/manifest.json/m.json' "${Q[@]:5}"
bad "title too long" 'too long: 180 bytes, at most 179' "${P[@]:0:1}" \
  "title = $(printf 'T%.0s' $(seq 180))" "${P[@]:2}"
bad "value that hides a key" 'value "store_url" of "subtitle" would be read as the key "store_url"' \
  "${P[@]}" 'subtitle = store_url'
bad "brace in a list entry" 'contains a brace' "${P[@]}" 'subtitle = {beta}'
bad "no product" 'no [product ID] section' '[control]' 'service_state = normal'
mapfile -t many < <(for i in $(seq 17); do
  echo "[product p$i]"; echo "title=T"; echo "install_dir=p$i"; echo "executable=ORVELANT.exe"
  echo "manifest_path=/p$i/m.json"; echo "folder=games/halcyra"; echo "version=1"; done)
bad "17 products" 'bad.txt:113: more than 16 products' "${many[@]}"
bad "4 news" 'more than 3 [news] items' "${P[@]}" '[news]' 'title=a' '[news]' 'title=b' \
  '[news]' 'title=c' '[news]' 'title=d'
bad "news without title" '[news] needs title' "${P[@]}" '[news]' 'summary = no title'
bad "news link that is no web address" 'link "file:///C:/x.exe": must begin with https://' \
  "${P[@]}" '[news]' 'title = a' 'link = file:///C:/x.exe'
bad "boolean" '"yes" is not true or false' '[control]' 'allow_offline = yes' "${P[@]}"
bad "unterminated quote" 'missing closing quote' '[control]' 'signal = "SIGNAL' "${P[@]}"
bad "unknown escape" 'unknown escape' '[control]' 'signal = "A\tB"' "${P[@]}"
bad "control field too long for the launcher" 'too long: 32 characters, at most 31' \
  '[control]' "service_state = $(printf 's%.0s' $(seq 32))" "${P[@]}"
bad "Setup on another host" 'must begin with https://localhost/' '[control]' \
  'installer_url = https://evil.example/Setup.exe' "${P[@]}"
bad "Setup with a port" 'must begin with https://localhost/' '[control]' \
  'installer_url = https://localhost:8443/Setup.exe' "${P[@]}"
bad "Setup over http" 'must begin with https://localhost/' '[control]' \
  'installer_url = http://localhost/Setup.exe' "${P[@]}"
bad "Setup hash not matching its file" 'does not match' '[control]' \
  'installer_file = setup/ORVELANT_Launcher_Setup_v1.1.0.exe' \
  "installer_sha256 = $(printf '0%.0s' $(seq 64))" "${P[@]}"
bad "malformed Setup hash" 'not 64 hexadecimal digits' '[control]' 'installer_sha256 = abc' "${P[@]}"
bad "missing Setup file" 'cannot open' '[control]' 'installer_file = setup/none.exe' "${P[@]}"
bad "unknown address kind" 'file_addresses "hashed": content or in-place' 'file_addresses = hashed' "${P[@]}"
bad "negative grace" 'keep_days "-1": a whole number' 'keep_days = -1' "${P[@]}"
bad "url prefix in the content store" 'lies under a path the update host reserves' "${P[@]}" \
  'url_prefix = /content/'
same "refused publishes left the tree alone" "$before" "$(snapshot)"
same "and nothing next to it" ".again.lock .tree.lock again tree" "$(ls -A out | paste -sd' ')"

group "a path past 260 characters under a typical library root: published, with a warning"
seg=Localization-Streaming-Data-Japanese-Voice-Over
mkdir -p "games/deep/$seg/$seg/$seg/$seg"
printf 'MZ deep' >games/deep/Deep.exe
printf 'voice' >"games/deep/$seg/$seg/$seg/$seg/voice.pak"
cat >deep.txt <<'DESC'
host = localhost
signing_key = keys/private.pem

[product deep]
title = DEEP
install_dir = deep
executable = Deep.exe
manifest_path = /games/deep/manifest.json
folder = games/deep
version = 1
DESC
err=$("$T" publish deep.txt out/deep 2>&1 >/dev/null) || fail "publish of a deep product failed: $err"
url=$(grep -A3 "\"path\": \"$seg/$seg/$seg/$seg/voice.pak\"" out/deep/games/deep/manifest.json |
  sed -n 's/.*"url": "\(.*\)".*/\1/p')
[ -n "$url" ] && [ -s "out/deep$url" ] || fail "the deep file was not published"
grep -qF "warning: [product deep] \"$seg/$seg/$seg/$seg/voice.pak\" makes a path of 265 characters" <<<"$err" ||
  fail "no long-path warning: $err"
err=$("$T" publish release.txt out/short 2>&1 >/dev/null)
grep -q "long paths" <<<"$err" && fail "a long-path warning for short paths: $err"

group "keys and output folders"
printf '%s\n' "${P[@]}" >nokey.txt
refused "no key" "no signing key" "$T" publish nokey.txt out/x
refused "public key as signing key" "not a PEM private key" \
  "$T" publish nokey.txt out/x --key keys/public.pem
[ ! -e out/x ] || fail "a refused publish left out/x"
mkdir -p precious && printf 'keep' >precious/file
refused "foreign non-empty folder" "is not a published tree" \
  "$T" publish nokey.txt precious --key keys/private.pem
same "foreign folder untouched" "keep" "$(cat precious/file)"
"$T" publish release.txt out/tree2 --key >/dev/null 2>&1
same "--key without value" "2" "$?"

group "earlier releases stay for their grace period; prune keeps what is still named"
mkdir -p pr/game
printf 'MZ same in every release' >pr/game/ORVELANT.exe
# release <n> [keep_days]: publishes data of release n into pr/tree
release() {
  { printf 'data of release %s' "$1"; head -c 8388608 /dev/zero; } >pr/game/data.bin
  printf '%s\n' "keep_releases = 1" "keep_days = ${2:-0}" "${P[@]:0:5}" 'folder = game' \
    "version = 1.$1" >pr/release.txt
  ok "publish release $1" "$T" publish pr/release.txt pr/tree --key keys/private.pem
}
urlof() { grep -A3 "\"path\": \"$1\"" pr/tree/games/first-title/stable/manifest.json | sed -n 's/.*"url": "\(.*\)".*/\1/p'; }
release 1; u1=$(urlof data.bin)
release 2; u2=$(urlof data.bin)
release 3; u3=$(urlof data.bin); exe=$(urlof ORVELANT.exe)
for u in "$u1" "$u2" "$u3" "$exe"; do [ -f "pr/tree$u" ] || fail "$u not kept by publish"; done
# A file's piece list and its signature live and go with it.
lists() { for u in "$@"; do printf '%s\n' "pr/tree$u.pieces" "pr/tree$u.pieces.sig"; done; }
for l in $(lists "$u1" "$u2" "$u3"); do [ -s "$l" ] || fail "$l not kept by publish"; done
# The piece objects a file's list names (each release's first piece is its
# own, the zeros after it are shared by every release).
objects() {
  python3 - "pr/tree$1.pieces" <<'PY'
import sys
head, records = open(sys.argv[1], 'rb').read().split(b'\n', 1)
for i in range(0, len(records), 36):
    d = records[i + 4:i + 36].hex()
    print('/content/%s/%s' % (d[:2], d))
PY
}
for u in "$u1" "$u2" "$u3"; do
  for o in $(objects "$u"); do [ -s "pr/tree$o" ] && [ -s "pr/tree$o.blocks" ] || fail "piece object $o of $u not kept"; done
done
only1=$(comm -23 <(objects "$u1" | sort) <(objects "$u2" | sort)); kept23=$(objects "$u2"; objects "$u3")
[ -n "$only1" ] && [ "$(objects "$u1" | wc -l)" -gt 1 ] || fail "release 1 has no piece object of its own"
ok "prune --dry-run" "$T" prune pr/tree --dry-run yes
[ -f "pr/tree$u1" ] || fail "a dry run removed $u1"
ok "prune" "$T" prune pr/tree
[ ! -e "pr/tree$u1" ] || fail "release 1's $u1 outlived its grace (one release kept)"
for u in "$u2" "$u3" "$exe"; do [ -f "pr/tree$u" ] || fail "prune removed $u of a kept release"; done
for l in $(lists "$u2" "$u3"); do [ -s "$l" ] || fail "prune removed $l of a kept release"; done
for l in $(lists "$u1"); do [ ! -e "$l" ] || fail "$l outlived its file"; done
for o in $only1; do [ ! -e "pr/tree$o" ] && [ ! -e "pr/tree$o.blocks" ] || fail "piece object $o outlived its release"; done
for o in $kept23; do [ -s "pr/tree$o" ] && [ -s "pr/tree$o.blocks" ] || fail "prune removed piece object $o of a kept release"; done
same "releases recorded" "2 3" "$(sed -n 's/^release \([0-9]*\) .*/\1/p' pr/tree/.orvelant-releases | paste -sd' ')"
release 4 30; u4=$(urlof data.bin)
ok "prune within 30 days" "$T" prune pr/tree
[ -f "pr/tree$u2" ] || fail "release 2, replaced less than 30 days ago, was pruned"
ok "prune 31 days later" "$T" prune pr/tree --now $(($(date +%s) + 31 * 86400))
[ ! -e "pr/tree$u2" ] || fail "release 2 outlived 30 days and one release"
for l in $(lists "$u2"); do [ ! -e "$l" ] || fail "$l outlived its file"; done
for u in "$u3" "$u4" "$exe"; do [ -f "pr/tree$u" ] || fail "prune removed $u"; done
# Without any record, what the current (refreshed) documents name still stays.
ok "refresh the pruned tree" "$T" refresh pr/tree --key keys/private.pem
[ -s pr/tree/.orvelant-releases ] || fail "refresh lost the release record"
rm pr/tree/.orvelant-releases
ok "prune without a record" "$T" prune pr/tree
[ ! -e "pr/tree$u3" ] || fail "an orphaned content file stayed"
for l in $(lists "$u3"); do [ ! -e "$l" ] || fail "the orphaned $l stayed"; done
for u in "$u4" "$exe"; do [ -f "pr/tree$u" ] || fail "prune removed $u, named by the current manifest"; done
openssl_verifies keys/public.pem "pr/tree$u4.pieces" || fail "prune lost the current file's piece list"
for o in $(objects "$u4"); do [ -s "pr/tree$o" ] || fail "prune removed $o, named by the current piece list"; done
for o in $(comm -23 <(objects "$u3" | sort) <(objects "$u4" | sort)); do
  [ ! -e "pr/tree$o" ] || fail "the orphaned piece object $o stayed"
done
for doc in launcher/catalog.json launcher/control.json games/first-title/stable/manifest.json; do
  openssl_verifies keys/public.pem "pr/tree/$doc" || fail "prune touched $doc"
done
refused "prune of a foreign folder" "is not a published tree" "$T" prune precious
# A Setup address keeps its bytes: caches hold it for a year.
printf 'other build' >setup/ORVELANT_Launcher_Setup_v1.1.0.exe
refused "another Setup at a published address" "already published with other bytes" \
  "$T" publish release.txt out/tree
group "large files get a signed piece list cut at content-defined boundaries"
mkdir -p games/large
printf 'MZ large' >games/large/Large.exe
rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }
rand large 20000000 >games/large/v1.pak
# Release 2: 100000 bytes inserted in the middle of the same content.
mkdir -p games/large2
cp games/large/Large.exe games/large2/
{ head -c 10000000 games/large/v1.pak; rand inserted 100000; tail -c +10000001 games/large/v1.pak; } \
  >games/large2/v1.pak
large() {
  printf '%s\n' "signing_key = keys/private.pem" "${@:3}" "[product large]" "title = LARGE" \
    "install_dir = large" "executable = Large.exe" "manifest_path = /games/large/manifest.json" \
    "folder = games/$1" "version = $2" >"large-$1.txt"
  ok "publish $1" "$T" publish "large-$1.txt" "out/$1"
}
large large 1.0.0
large large2 1.1.0 "file_addresses = in-place"
# Prints one line per piece: offset, length, digest; checks the header.
pieces() {
  python3 - "$1" "$2" <<'PY'
import hashlib, json, sys
body = open(sys.argv[1], 'rb').read()
head, records = body.split(b'\n', 1)
h = json.loads(head)
data = open(sys.argv[2], 'rb').read()
assert h["size"] == len(data) and h["sha256"] == hashlib.sha256(data).hexdigest(), h
assert h["pieces"] * 36 == len(records), "record count"
at = 0
for i in range(h["pieces"]):
    n = int.from_bytes(records[36 * i:36 * i + 4], "little")
    d = records[36 * i + 4:36 * i + 36]
    assert hashlib.sha256(data[at:at + n]).digest() == d, "piece %d" % i
    print(at, n, d.hex())
    at += n
assert at == len(data)
PY
}
# By content, the list is beside the file at the address the manifest names.
url1=$(grep -A3 '"path": "v1.pak"' out/large/games/large/manifest.json | sed -n 's/.*"url": "\(.*\)".*/\1/p')
list1=out/large$url1.pieces
[ -n "$url1" ] && [ ! -e out/large/games/large/files ] || fail "release 1 is not by content: $url1"
list2=out/large2/games/large/files/v1.pak.pieces
pieces "$list1" games/large/v1.pak >p1.txt || fail "piece list of release 1 is wrong"
pieces "$list2" games/large2/v1.pak >p2.txt || fail "piece list of release 2 is wrong"
openssl_verifies keys/public.pem "$list1" || fail "openssl does not verify the piece list"
[ ! -e out/large2/games/large/files/Large.exe.pieces ] || fail "a small file got a piece list"
same "piece lists in the content store" "$list1" "$(find out/large/content -name '*.pieces')"
# Each piece is an object at its own SHA-256's address with its block sums
# beside it, for a file by content and one in place alike.
for t in "large p1.txt" "large2 p2.txt"; do
  set -- $t
  python3 - "out/$1" "$2" <<'PY' || fail "piece objects of $1 are wrong"
import hashlib, sys
pieces = []
for line in open(sys.argv[2]):
    at, n, d = line.split()
    body = open('%s/content/%s/%s' % (sys.argv[1], d[:2], d), 'rb').read()
    assert len(body) == int(n) and hashlib.sha256(body).hexdigest() == d, d
    sums = open('%s/content/%s/%s.blocks' % (sys.argv[1], d[:2], d), 'rb').read()
    pieces.append((body, sums))
# One block size, whatever it is, must explain every list's count.
sizes = [1 << k for k in range(10, 23)
         if all(len(s) == 32 * -(-len(b) // (1 << k)) for b, s in pieces)]
assert len(sizes) == 1, sizes
for body, sums in pieces:
    blocks = [body[k:k + sizes[0]] for k in range(0, len(body), sizes[0])]
    assert sums == b''.join(hashlib.sha256(b).digest() for b in blocks)
PY
done
n1=$(wc -l <p1.txt)
shared=$(comm -12 <(cut -d' ' -f3 p1.txt | sort) <(cut -d' ' -f3 p2.txt | sort) | wc -l)
[ "$n1" -ge 10 ] || fail "20 MB cut into only $n1 pieces"
# An insertion disturbs only the pieces around it: the one it lands in and
# those before the cuts fall in step again.
[ "$shared" -ge $((n1 - 4)) ] || fail "only $shared of $n1 pieces survive an insertion"
cp games/large/v1.pak games/large2/v1.pak.pieces
refused "a file where a piece list goes" 'is also' "$T" publish large-large2.txt out/large3
rm games/large2/v1.pak.pieces

group "small files travel in packs beside their own copies; one change reshapes one pack"
mkdir -p games/packed
printf 'MZ packed' >games/packed/Packed.exe
python3 - games/packed <<'PY'
import os, sys
for i in range(400):
    path = os.path.join(sys.argv[1], "data%d" % (i // 100), "f%04d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(os.urandom(500 + (i * 977) % 12000))
PY
head -c 400000 /dev/urandom >games/packed/large.bin
packed() {  # packed <version> [keep_releases]
  printf '%s\n' "signing_key = keys/private.pem" "keep_releases = ${2:-2}" "keep_days = 0" \
    "[product packed]" "title = PACKED" "install_dir = packed" "executable = Packed.exe" \
    "manifest_path = /games/packed/manifest.json" "folder = games/packed" "version = $1" >packed.txt
  ok "publish packed $1" "$T" publish packed.txt out/packed
}
# Checks the index against the manifest and the packs' bytes; prints each
# pack's address.
packs_of() {
  python3 - out/packed <<'PY'
import hashlib, json, sys
tree = sys.argv[1]
manifest = json.load(open(tree + "/games/packed/manifest.json"))
files = {(e["sha256"], e["size"]): e for e in manifest["files"]}
body = open(tree + "/games/packed/manifest.json.packs", "rb").read()
head, records = body.split(b"\n", 1)
h = json.loads(head)
assert len(records) == h["packs"] * 44 + h["members"] * 40, "index length"
members = records[h["packs"] * 44:]
m, out = 0, []
for p in range(h["packs"]):
    r = records[44 * p:44 * p + 44]
    address = "/content/%s/%s" % (r[:1].hex(), r[:32].hex())
    data = open(tree + address, "rb").read()
    assert hashlib.sha256(data).digest() == r[:32], address
    assert len(data) == int.from_bytes(r[32:40], "little") <= 1 << 20, address
    count = int.from_bytes(r[40:44], "little")
    assert count >= 2, "a pack of %d" % count
    at = 0
    for i in range(count):
        d, n = members[40 * m:40 * m + 32], int.from_bytes(members[40 * m + 32:40 * m + 40], "little")
        assert hashlib.sha256(data[at:at + n]).digest() == d, "member %d of %s" % (i, address)
        e = files[(d.hex(), n)]
        assert e["size"] <= 131072 and open(tree + e["url"], "rb").read() == data[at:at + n], e["path"]
        at, m = at + n, m + 1
    assert at == len(data)
    out.append(address)
assert m == h["members"] and m >= 395, "only %d of 400 small files packed" % m
print("\n".join(sorted(out)))
PY
}
packed 1
packs_of >packs1.txt || fail "the pack index or a pack of release 1 is wrong"
openssl_verifies keys/public.pem out/packed/games/packed/manifest.json.packs ||
  fail "openssl does not verify the pack index"
[ "$(wc -l <packs1.txt)" -ge 4 ] || fail "400 small files in $(wc -l <packs1.txt) packs"
# Release 2: one small file changed in place (same size).
head -c "$(stat -c %s games/packed/data2/f0250.bin)" /dev/urandom >games/packed/data2/f0250.bin
packed 2
packs_of >packs2.txt || fail "the pack index or a pack of release 2 is wrong"
same "packs replaced by one changed file" "1 1" \
  "$(comm -23 packs2.txt packs1.txt | wc -l) $(comm -13 packs2.txt packs1.txt | wc -l)"
# Release 3 adds a file: the packs around it change, the others stay.
head -c 3000 /dev/urandom >games/packed/data1/f0150a.bin
packed 3 0
packs_of >packs3.txt || fail "the pack index or a pack of release 3 is wrong"
[ "$(comm -23 packs3.txt packs2.txt | wc -l)" -le 2 ] || fail "adding one file reshaped $(comm -23 packs3.txt packs2.txt | wc -l) packs"
# Prune takes the packs only earlier releases named, and keeps the current ones.
ok "prune the packed tree" "$T" prune out/packed
for a in $(comm -13 packs3.txt <(sort -u packs1.txt packs2.txt)); do
  [ ! -e "out/packed$a" ] || fail "prune kept $a of an expired release"
done
packs_of >/dev/null || fail "prune removed a pack the current index names"

group "what the documents name stays, and only they are re-signed"
mkdir -p ft/game/.config ft/setup
printf 'MZ faults' >ft/game/ORVELANT.exe
printf 'settings' >"ft/game/my settings.txt"
printf 'dot' >ft/game/.config/.init
# The game ships a document of its own, signed by its maker.
printf '{\r\n  "serial": 900000,\r\n  "maker": "own"\r\n}\r\n' >ft/game/extra.json
printf '%0512d\n' 0 >ft/game/extra.json.sig
head -c 4000 /dev/urandom >ft/setup/S2.exe
# ft_desc <with-setup>: the Setup named always; its file given only with 1.
ft_desc() {
  printf '%s\n' 'keep_releases = 0' 'keep_days = 0' '[control]' \
    'installer_url = https://localhost/launcher/releases/v2.0.0/S2.exe' >ft/release.txt
  [ "$1" = 1 ] && echo 'installer_file = setup/S2.exe' >>ft/release.txt
  printf '%s\n' "${P[@]:0:4}" 'manifest_path = /games/ft/manifest.txt' 'folder = game' \
    'version = 1' 'url_prefix = /ft/files/' >>ft/release.txt
}
ft_desc 1
ok "publish with the Setup" "$T" publish ft/release.txt ft/tree --key keys/private.pem
ft_desc 0
# Names with a blank or a leading dot are recorded and read back: the file
# the next release drops stays for players of this one.
mv "ft/game/my settings.txt" ft/kept.txt
ok "publish without the Setup's file" "$T" publish ft/release.txt ft/tree --key keys/private.pem
[ -f "ft/tree/ft/files/my settings.txt" ] || fail "the previous release's \"my settings.txt\" was not kept"
mv ft/kept.txt "ft/game/my settings.txt"
ok "prune the release that brought the Setup" "$T" prune ft/tree
ok "publish again after the prune" "$T" publish ft/release.txt ft/tree --key keys/private.pem
same_file "the Setup the control document names outlives its release" ft/setup/S2.exe \
  ft/tree/launcher/releases/v2.0.0/S2.exe
ok "prune reads the record" "$T" prune ft/tree
for f in "my settings.txt" .config/.init extra.json; do
  [ -f "ft/tree/ft/files/$f" ] || fail "\"$f\" is gone after prune"
done
own=$(sha256sum <ft/tree/ft/files/extra.json)
m=$(tr -d '\r' <ft/tree/games/ft/manifest.txt | sed -n 's/^  "serial": \([0-9]*\),$/\1/p')
ok "refresh" "$T" refresh ft/tree --key keys/private.pem
same "refresh leaves the game's own signed document alone" "$own" "$(sha256sum <ft/tree/ft/files/extra.json)"
same "the manifest not named .json is re-signed" "$((m + 1))" \
  "$(tr -d '\r' <ft/tree/games/ft/manifest.txt | sed -n 's/^  "serial": \([0-9]*\),$/\1/p')"
openssl_verifies keys/public.pem ft/tree/games/ft/manifest.txt || fail "the refreshed manifest.txt does not verify"
# A serial at the 64-bit limit: nothing above it can be written.
cp -a ft/tree ft/full
sed -i 's/^  "serial": [0-9]*,/  "serial": 18446744073709551615,/' ft/full/launcher/news.json
refused "a serial at the limit" "the next serial would pass" "$T" refresh ft/full --key keys/other.pem
refused "a publish at the limit" "the next serial would pass" "$T" publish ft/release.txt ft/full --key keys/other.pem
# Two trees, one key, at once: the slow publish read the counter first; the
# quick one started while it ran must still take another serial.
head -c 100000000 /dev/zero >ft/game/big.bin
"$T" publish ft/release.txt ft/slow --key keys/private.pem >slow.log 2>&1 & slow=$!
for _ in $(seq 400); do compgen -G 'ft/.slow.publishing-*/ft/files' >/dev/null && break; sleep 0.01; done
kill -STOP $slow
ok "a quick publish to another tree" "$T" publish pr/release.txt ft/quick --key keys/private.pem
kill -CONT $slow
wait $slow || fail "the slow publish failed: $(cat slow.log)"
rm ft/game/big.bin
[ "$(serial_of ft/slow)" != "$(serial_of ft/quick)" ] || fail "two trees signed with one key share serial $(serial_of ft/quick)"

group "a publish writes what changed; a killed publish leaves the served tree whole"
mkdir -p wc/game/small
printf 'MZ wc' >wc/game/ORVELANT.exe
for i in $(seq 10 40); do head -c 2000 /dev/urandom >wc/game/small/s$i.bin; done
rand wc-a 9000000 >wc/game/a.pak
rand wc-b 9000000 >wc/game/b.pak
printf '%s\n' "${P[@]:0:4}" 'manifest_path = /games/wc/manifest.json' 'folder = game' 'version = 1' \
  >wc/release.txt
# served_whole <tree>: every object the served documents name is there, whole.
served_whole() {
  python3 - "$1" <<'PY'
import hashlib, json, os, re, sys
tree = sys.argv[1]
def read(p):
    with open(tree + p, 'rb') as f: return f.read()
def check(p, sha, size):
    b = read(p)
    if len(b) != size or hashlib.sha256(b).hexdigest() != sha:
        sys.exit('%s is not the object its document names' % p)
bad = []
catalog = read('/launcher/catalog.json').decode()
for m in re.findall(r'"manifest_path": "([^"]*)"', catalog):
    doc = json.loads(read(m).decode())
    for f in doc['files']:
        check(f['url'], f['sha256'], f['size'])
        if os.path.exists(tree + f['url'] + '.pieces'):
            head, records = read(f['url'] + '.pieces').split(b'\n', 1)
            for i in range(0, len(records), 36):
                d = records[i + 4:i + 36].hex()
                o = '/content/%s/%s' % (d[:2], d)
                check(o, d, int.from_bytes(records[i:i + 4], 'little'))
                read(o + '.blocks')
    if os.path.exists(tree + m + '.packs'):
        head, rest = read(m + '.packs').split(b'\n', 1)
        for i in range(json.loads(head)['packs']):
            r = rest[i * 44:(i + 1) * 44]
            d = r[:32].hex()
            check('/content/%s/%s' % (d[:2], d), d, int.from_bytes(r[32:40], 'little'))
PY
}
# files <tree>: "path inode mtime" of every file.
files() { (cd "$1" && find . -type f -printf '%p %i %T@\n' | LC_ALL=C sort); }
ok "first publish" "$T" publish wc/release.txt wc/tree --key keys/private.pem
files wc/tree >wc/before.txt
printf 'a new ending' >>wc/game/b.pak
started=$(date +%s%N)
ok "second publish, one file changed" "$T" publish wc/release.txt wc/tree --key keys/private.pem
took=$((($(date +%s%N) - started) / 1000000 + 1))
files wc/tree >wc/after.txt
b=$(sha256sum <wc/game/b.pak | cut -c1-64); b=/content/${b:0:2}/$b
python3 - wc/before.txt wc/after.txt "$b" wc/tree <<'PY' || fail "the second publish wrote more than it changed"
import sys
def load(p): return {l.split()[0][1:]: l.split()[1:] for l in open(p)}
before, after, b, tree = load(sys.argv[1]), load(sys.argv[2]), sys.argv[3], sys.argv[4]
head, records = open(tree + b + '.pieces', 'rb').read().split(b'\n', 1)
mine = {b, b + '.pieces', b + '.pieces.sig'}
for i in range(0, len(records), 36):
    d = records[i + 4:i + 36].hex()
    mine |= {'/content/%s/%s' % (d[:2], d), '/content/%s/%s.blocks' % (d[:2], d)}
documents = {'/launcher/%s.json%s' % (n, s) for n in ('catalog', 'news', 'control') for s in ('', '.sig')}
documents |= {'/games/wc/manifest.json', '/games/wc/manifest.json.sig', '/games/wc/manifest.json.gz',
              '/.orvelant-published',
              '/.orvelant-releases'}
written = {p for p in after if before.get(p) != after[p]}
wrong = written - mine - documents
kept = [p for p in before if p in after and p.startswith('/content/') and before[p] != after[p]]
if wrong or kept or b not in written or len(written - documents) > 8:
    sys.exit('written anew: %s\nobjects given a new inode or time: %s' % (sorted(written - documents), kept))
PY
served_whole wc/tree || fail "the second publish left a document naming a missing object"
# Killed at random moments: the served tree is the old release or the new
# one, and the next publish clears what the killed one left.
# Rounds until twenty publishes were killed while they ran (a publish that
# ended before its moment came counts as a clean one), at most sixty.
kills=0 round=0
while [ "$kills" -lt 20 ] && [ "$round" -lt 60 ]; do
  round=$((round + 1))
  printf 'round %s' "$round" >>wc/game/b.pak
  head -c 2000 /dev/urandom >wc/game/small/s$((10 + round)).bin
  "$T" publish wc/release.txt wc/tree --key keys/private.pem >/dev/null 2>&1 & victim=$!
  # Somewhere within the time an unkilled publish of the same kind took.
  sleep "$(awk -v r=$RANDOM -v t=$took 'BEGIN { printf "%.3f", (r % 1000) / 1000 * t * 0.9 / 1000 }')"
  kill -9 $victim 2>/dev/null && kills=$((kills + 1))
  wait $victim 2>/dev/null
  served_whole wc/tree || fail "round $round: a served document names a missing or partial object"
done
echo "killed $kills publishes while they ran, in $round rounds"
[ "$kills" -ge 20 ] || fail "only $kills of $round publishes were still running when killed"
ok "publish after the kills" "$T" publish wc/release.txt wc/tree --key keys/private.pem
served_whole wc/tree || fail "the publish after the kills is not whole"
same "nothing left of the killed publishes" ".tree.lock tree" "$(ls -A wc | grep -v -e game -e release.txt -e .txt | paste -sd' ')"

finish
