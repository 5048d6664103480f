#!/usr/bin/env bash
# keygen, sign and verify round trip; a changed manifest and a wrong key fail.
set -eu
tool=$1 dir=$2
rm -rf "$dir" && mkdir -p "$dir"
hex=$("$tool" keygen --out "$dir/key" 2>/dev/null)
[[ $hex =~ ^[0-9A-F]{128}$ ]] || { echo "keygen printed '$hex'"; exit 1; }
[[ $(stat -c %a "$dir/key/release-key.pem") == 600 ]] || { echo "private key is readable by others"; exit 1; }
if "$tool" keygen --out "$dir/key" 2>/dev/null; then echo "keygen overwrote a key"; exit 1; fi
printf '{"version":"1.0.0"}' > "$dir/manifest"
"$tool" sign --key "$dir/key/release-key.pem" --manifest "$dir/manifest" --out "$dir/manifest.sig"
[[ $(stat -c %s "$dir/manifest.sig") == 64 ]] || { echo "signature is not 64 bytes"; exit 1; }
"$tool" verify --public-key "$hex" --manifest "$dir/manifest" --signature "$dir/manifest.sig" 2>/dev/null
printf '\n' >> "$dir/manifest"
if "$tool" verify --public-key "$hex" --manifest "$dir/manifest" --signature "$dir/manifest.sig" 2>/dev/null; then
  echo "a changed manifest verified"; exit 1
fi
other=$("$tool" keygen --out "$dir/other" 2>/dev/null)
truncate -s -1 "$dir/manifest"
if "$tool" verify --public-key "$other" --manifest "$dir/manifest" --signature "$dir/manifest.sig" 2>/dev/null; then
  echo "a signature verified under another key"; exit 1
fi
set +e
"$tool" sign --key "$dir/manifest" --manifest "$dir/manifest" --out "$dir/x" 2>/dev/null; rc=$?
[[ $rc == 1 ]] || { echo "signing with a non-key exited $rc"; exit 1; }
"$tool" sign --manifest "$dir/manifest" 2>/dev/null; rc=$?
[[ $rc == 2 ]] || { echo "a missing option exited $rc"; exit 1; }
echo ok
