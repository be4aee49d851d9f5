#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it as Debian would: its dependencies, its files,
# and lintian with no error and no warning. Exit 77 (skipped) where lintian is not installed.
set -euo pipefail
build=$1
if ! command -v lintian >/dev/null; then
    echo "lintian is not installed (scripts/dev.sh installs it): package not checked"
    exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$(ls "$out"/kiriha_*.deb)
status=0

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for want in 'ca-certificates' 'libcurl4 (>= 7.85)'; do
    grep -qF "$want" <<<"$depends" || { echo "missing dependency: $want"; status=1; }
done

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for want in ./usr/bin/kiriha ./usr/bin/kiriha-check ./usr/bin/kiriha-gate ./usr/share/man/man1/kiriha.1.gz \
    ./usr/share/man/man1/kiriha-check.1.gz ./usr/share/man/man1/kiriha-gate.1.gz ./usr/share/doc/kiriha/copyright \
    ./usr/share/doc/kiriha/changelog.gz ./usr/share/bash-completion/completions/kiriha-check \
    ./usr/share/bash-completion/completions/kiriha-gate ./etc/kiriha/gate.list \
    ./usr/share/man/ja/man1/kiriha-check.1.gz ./usr/share/man/ja/man1/kiriha-gate.1.gz \
    ./usr/share/locale/ja/LC_MESSAGES/kiriha.mo \
    ./lib/systemd/system/kiriha-gate.service; do
    grep -qxF "$want" <<<"$files" || { echo "missing from the package: $want"; status=1; }
done

[ "$(dpkg-deb -I "$deb" conffiles)" = "/etc/kiriha/gate.list" ] || { echo "the list is no conffile"; status=1; }
# The list holds the proxies' credentials: root's alone, handed to the service's dynamic user as a credential.
grep -q '^-rw------- root/root .* ./etc/kiriha/gate.list$' <<<"$(dpkg-deb -c "$deb")" || { echo "the list is readable by others"; status=1; }
unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/kiriha-gate.service)
grep -q '^LoadCredential=gate.list:/etc/kiriha/gate.list$' <<<"$unit" || { echo "the unit reads the list itself"; status=1; }
lintian --fail-on error,warning "$deb" || status=1
exit $status
