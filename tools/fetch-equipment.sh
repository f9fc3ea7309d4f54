#!/usr/bin/env bash
# Fetches the source releases that the fuller test run needs into the test
# equipment folder (VARROKIT_EQUIPMENT, by default ../shared beside the
# clone), and checks each against the SHA-256 of its uncompressed tar, the
# same for a .tar.gz and a .tar.xz of one release:
#
#   tools/fetch-equipment.sh            every item that is missing
#   tools/fetch-equipment.sh perl-5.8.9 ...   only these
#
# Where the network is closed it fails within seconds, naming what to put
# where by hand. The Windows perls' headers cannot be fetched:
# CONTRIBUTING.md, "Test equipment", says how they are made.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
equipment=${VARROKIT_EQUIPMENT:-$(dirname "$here")/shared}
src=https://www.cpan.org/src/5.0

# name, folder within the equipment, address, SHA-256 of the tar inside.
items=(
    "perl-5.6.2 perls/source $src/perl-5.6.2.tar.gz 6a186d1c2c3dc2f4bb686a8a4fa4f62c8c3ffc4b438d59d3ffd848429c33df27"
    "perl-5.8.9 perls/source $src/perl-5.8.9.tar.gz 9ebf3511a61170d50a1f2b2b7e7b1b0fa4cbb7971bb3a1a85573b1efbde6a2af"
    "perl-5.22.4 perls/source $src/perl-5.22.4.tar.gz 471411b26429a91ded3bd3cbaa49ea29b3f433a2dc5254caf0d1e109d7fe3720"
    "perl-5.40.0 perls/source $src/perl-5.40.0.tar.gz 782d440c9145463bb7d345e2a642ee7ff4d1fbaa69f3a0a38aa19b8a2ee2eedc"
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
