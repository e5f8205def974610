#!/usr/bin/env bash
# Verifies the Authenticode signature of every image in a driver package and
# fails, naming the image, unless it chains to the given certificate, its
# bytes still match the signed SHA-256 digest, and its PE checksum was
# rewritten after signing (the loader checks the checksum of boot drivers).
# An unsigned or tampered image, or a package with no image, fails.
#
# usage: check_signatures.sh <osslsigncode> <certificate> <package folder>
set -uo pipefail
osslsigncode=$1 certificate=$2 folder=$3

shopt -s nullglob
images=("$folder"/*.sys)
if [ ${#images[@]} -eq 0 ]; then
  echo "FAIL: no images in $folder"
  exit 1
fi

status=0
for image in "${images[@]}"; do
  name=${image##*/}
  if ! report=$("$osslsigncode" verify -CAfile "$certificate" -in "$image" 2>&1); then
    echo "FAIL: $name: signature does not verify"
    grep -E 'MISMATCH|No signature|failed|[Ee]rror' <<<"$report" | sed 's/^/    /'
    status=1
    continue
  fi
  digest=$(sed -nE 's/^Message digest algorithm *: *//p' <<<"$report" | sort -u)
  # One value when the stored checksum matches, two (stored, computed) when not.
  checksums=$(grep 'PE checksum' <<<"$report" | grep -oE '[0-9A-Fa-f]{8}' | sort -u | wc -l)
  if [ "$digest" != "SHA256" ]; then
    echo "FAIL: $name: signed with digest ${digest:-none}, should be SHA256"
    status=1
  elif [ "$checksums" != "1" ]; then
    echo "FAIL: $name: PE checksum stale after signing"
    status=1
  else
    echo "ok: $name: signed, SHA256, checksum matches"
  fi
done
exit $status
