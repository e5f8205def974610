#!/usr/bin/env bash
# Verifies a driver package's signed catalog as Windows uses it and fails,
# naming the file, unless every image of the package is found in the catalog
# by its Authenticode hash under a signature that chains to the given
# certificate, a copy of each image with one byte changed is not, and the INF
# is listed by the SHA-256 hash of its bytes under its own name. A catalog
# with members beyond the package's files fails too.
#
# usage: check_catalog.sh <osslsigncode> <certificate> <package folder> <catalog name>
set -uo pipefail
osslsigncode=$1 certificate=$2 folder=$3 catalog=$folder/$4

if [ ! -f "$catalog" ]; then
  echo "FAIL: no catalog $catalog"
  exit 1
fi
shopt -s nullglob
images=("$folder"/*.sys)
infs=("$folder"/*.inf)
if [ ${#images[@]} -eq 0 ] || [ ${#infs[@]} -ne 1 ]; then
  echo "FAIL: $folder should hold the images and one INF"
  exit 1
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

in_catalog() {
  "$osslsigncode" verify -CAfile "$certificate" -catalog "$catalog" -in "$1" 2>&1
}

status=0
for image in "${images[@]}"; do
  name=${image##*/}
  if ! report=$(in_catalog "$image"); then
    echo "FAIL: $name: not in the catalog, or the catalog's signature does not verify"
    grep -E 'MISMATCH|failed|[Ee]rror' <<<"$report" | sed 's/^/    /'
    status=1
    continue
  fi
  # A byte of code (half way into the image, well before the signature at
  # its end) changed: the hash must no longer match any member.
  changed=$scratch/$name
  cp "$image" "$changed"
  offset=$(($(stat -c %s "$image") / 2))
  byte=$(od -An -tu1 -j "$offset" -N1 "$image" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 0xff)))" |
    dd of="$changed" bs=1 seek="$offset" conv=notrunc status=none
  if in_catalog "$changed" >/dev/null; then
    echo "FAIL: $name with byte $offset changed still verifies against the catalog"
    status=1
  else
    echo "ok: $name: in the catalog by its Authenticode hash, a changed copy is not"
  fi
done

# osslsigncode lists the members (every name-value attribute as "File name")
# but verifies PE images only: the INF is looked up by its hash here.
inf=${infs[0]##*/}
digest=$(sha256sum "${infs[0]}" | cut -d' ' -f1)
listing=$("$osslsigncode" verify -verbose -CAfile "$certificate" -catalog "$catalog" \
  -in "${images[0]}" 2>&1 | sed -n '/^Catalog members:/,/^Message digest algorithm *:/p')
members=$(grep -c 'Hash algorithm:' <<<"$listing")
named=$(awk -v digest="${digest^^}" -v inf="$inf" '
  /File name:/ { names = names "|" $3 }
  /Message digest:/ { if ($3 == digest && index(names "|", "|" inf "|")) found = 1; names = "" }
  END { print found + 0 }' <<<"$listing")
if [ "$named" != 1 ]; then
  echo "FAIL: $inf: not in the catalog under its name with SHA-256 ${digest^^}"
  status=1
elif [ "$members" != $((${#images[@]} + 1)) ]; then
  echo "FAIL: the catalog lists $members members, the package has $((${#images[@]} + 1)) files"
  status=1
else
  echo "ok: $inf: in the catalog by its SHA-256 hash; one member per file of the package"
fi
exit $status
