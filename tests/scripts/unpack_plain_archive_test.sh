#!/usr/bin/env bash
# The setup's unpacking of the network's npm archive: a plain archive is unpacked; one with a
# link, an absolute path, a ".." component or a member outside package/ is refused, and
# nothing of it is written anywhere.
set -euo pipefail
unpack=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p src/package/ONNX out
echo network > src/package/ONNX/net.onnx
echo terms > src/package/LICENSE
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tar czf plain.tgz -C src package
"$unpack" plain.tgz out package/ONNX package/LICENSE || fail "a plain archive was refused"
[ "$(cat out/package/ONNX/net.onnx 2>/dev/null)" = network ] || fail "the plain archive was not unpacked"

ln -s /etc/passwd src/package/ONNX/link.onnx
tar czf symlink.tgz -C src package
rm src/package/ONNX/link.onnx
ln src/package/LICENSE src/package/ONNX/hard.onnx
tar czf hardlink.tgz -C src package
rm src/package/ONNX/hard.onnx
tar czf climbing.tgz -C src --transform 's|^package/LICENSE$|package/../../escaped|' package
tar czf absolute.tgz -P -C src --transform 's|^package/LICENSE$|/tmp/velvix-escaped|' package
tar czf outside.tgz -C src --transform 's|^package/LICENSE$|other/LICENSE|' package
echo "not gzip" > garbage.tgz
for hostile in symlink hardlink climbing absolute outside garbage; do
    rm -rf out && mkdir out
    if "$unpack" "$hostile.tgz" out package/ONNX package/LICENSE 2>"$hostile.err"; then
        fail "$hostile.tgz was unpacked"
    fi
    grep -q "nothing unpacked" "$hostile.err" || fail "$hostile.tgz: no reason given"
    [ -z "$(ls -A out)" ] || fail "$hostile.tgz left files"
done
[ ! -e "$work/../escaped" ] && [ ! -e /tmp/velvix-escaped ] || fail "a file escaped"
[ "$failures" -eq 0 ] && echo "all archives handled as expected"
exit "$failures"
