#!/bin/sh
# Starts the built agent in the foreground on a copy of the example
# configuration whose orvpath and script paths point into this checkout, and
# whose temporary files (the replay record among them) stay beside it.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
port=${1:-1055}
dir="$top/build/example"
mkdir -p "$dir"
cp "$top/scripts/"*.sh "$top/build/" 2>/dev/null || true
sed -e "s|^orvpath=.*|orvpath=$top/build/orv|" \
    -e "s|^port=.*|port=$port|" \
    -e "s|^tmpdir=.*|tmpdir=$dir|" \
    "$top/examples/orv.cfg" > "$dir/orv.cfg"
chmod 600 "$dir/orv.cfg"
echo "Query it with: $top/build/orvctl -p $port -P demo-password GetInfo"
exec "$top/build/orv" -i -v "$dir/orv.cfg"
