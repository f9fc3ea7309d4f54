#!/usr/bin/env bash
# Fetches the source releases that the fuller test run needs into the test
# equipment folder (VARROKIT_EQUIPMENT, by default ../shared beside the
# clone), and checks each against the SHA-256 of its uncompressed tar, the
# same for a .tar.gz and a .tar.xz of one release:
#
#   tools/fetch-equipment.sh            every item that is missing
#   tools/fetch-equipment.sh NAME...    only these (perl-VERSION, ...)
#
# Where the network is closed it fails within seconds, naming what to put
# where by hand. The Windows perls' headers cannot be fetched:
# CONTRIBUTING.md, "Test equipment", says how they are made.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
equipment=${VARROKIT_EQUIPMENT:-$(dirname "$here")/shared}
src=https://www.cpan.org/src/5.0

# name, folder within the equipment, address, SHA-256 of the tar inside:
# the perls' from the table of perls, and the rest.
items=()
while read -r name sum; do
    items+=("$name perls/source $src/$name.tar.gz $sum")
done < <(perl "$here/tools/perls.pl" sources)
items+=(
    "Test-Simple-0.98 perls/source https://cpan.metacpan.org/authors/id/M/MS/MSCHWERN/Test-Simple-0.98.tar.gz 19f8afe0fdcea3dd6f6c225409ca19efac5d7b014054ef320310cc44167ab4ea"
    "make-dfsg_4.3.orig windows-cpan http://deb.debian.org/debian/pool/main/m/make-dfsg/make-dfsg_4.3.orig.tar.gz 8264142e8f0c702039f65058264e11d47a297ed9aa98934fe651f686bd15309f"
)

wanted=("$@")
failures=0
for item in "${items[@]}"; do
    read -r name folder address sum <<<"$item"
    if [ ${#wanted[@]} -gt 0 ]; then
        [[ " ${wanted[*]} " = *" $name "* ]] || continue
    elif compgen -G "$equipment/$folder/$name.tar.*" >/dev/null; then
        continue
    fi
    mkdir -p "$equipment/$folder"
    target="$equipment/$folder/$name.tar.gz"
    echo "fetching $name from $address"
    if ! curl -fsSL --connect-timeout 5 --max-time 600 -o "$target.part" "$address" 2>"$target.why"; then
        echo "  could not fetch it: $(tr '\n' ' ' <"$target.why")" >&2
        echo "  put the release as $target by hand" >&2
        rm -f "$target.part" "$target.why"
        failures=$((failures + 1))
        continue
    fi
    rm -f "$target.why"
    actual=$(gzip -dc "$target.part" | sha256sum | cut -c1-64)
    if [ "$actual" != "$sum" ]; then
        echo "  its tar has SHA-256 $actual, not $sum: not kept" >&2
        rm -f "$target.part"
        failures=$((failures + 1))
        continue
    fi
    mv "$target.part" "$target"
done
exit $((failures > 0))
