# Helpers of the update host tests (sourced after testlib.sh).

PORT=${ORVELANT_HOST_PORT:-443}
export ORVELANT_HOST_PORT=$PORT

# Binding a port below 1024 needs root here.
if [ "$PORT" -lt 1024 ] && [ "$(id -u)" -ne 0 ]; then
  echo "skipped: port $PORT needs root"
  exit 77
fi

# Publishes a small tree with a game and a Setup into $1.
publish_tree() {
  local out=$1 tag=$2
  mkdir -p src/game/bin src/setup keys
  [ -s keys/private.pem ] || "$ORV_RELEASE" keygen keys/private.pem keys/public.pem >/dev/null
  head -c 300000 /dev/urandom >src/game/bin/game.dat
  # BIG_MIB=<n>: a large file too, published with its pieces as objects.
  rm -f src/game/bin/big.pak
  [ -z "${BIG_MIB:-}" ] || head -c $((BIG_MIB << 20)) /dev/urandom >src/game/bin/big.pak
  printf 'MZ %s' "$tag" >src/game/ORVELANT.exe
  [ -s src/setup/Setup.exe ] || head -c 20000 /dev/urandom >src/setup/Setup.exe
  cat >src/release.txt <<DESC
signing_key = ../keys/private.pem
[control]
signal = SIGNAL // $tag
installer_url = https://localhost/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe
installer_file = setup/Setup.exe
[product first-title]
title = HALCYRA
install_dir = first-title
executable = ORVELANT.exe
manifest_path = /games/first-title/stable/manifest.json
folder = game
version = 1.0.0
DESC
  "$ORV_RELEASE" publish src/release.txt "$out" >/dev/null
}

# content_url <tree> <path>: the address the manifest gives the file.
content_url() {
  tr -d '\r' <"$1/games/first-title/stable/manifest.json" |
    awk -F'"' -v p="$2" '/"path":/ { cur = $4 } /"url":/ && cur == p { print $4; exit }'
}

# Our nginx master and workers: processes whose command line names our config.
our_nginx() {
  local f
  for f in /proc/[0-9]*/cmdline; do
    tr '\0' ' ' 2>/dev/null <"$f" | grep -qF "$STATE/nginx.conf" && echo "${f//[^0-9]/}"
  done
  return 0
}

. "$ORV_HOST_DIR/common.sh"
port_listeners() { host_port_listeners "$PORT"; }

# fetch <path> [curl options...]: prints "status size" and leaves the body in body.out.
fetch() {
  local path=$1
  shift
  curl -sS --cacert "$STATE/certs/ca.crt" -o body.out -w '%{http_code} %{size_download}' \
    "$@" "https://localhost:$PORT$path"
}
