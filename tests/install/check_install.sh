#!/usr/bin/env bash
# Installs the build into a staging folder and checks the tree a desktop expects, and that the
# desktop entry and the AppStream metainfo validate without errors or warnings.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
root="$stage/usr"
status=0
for f in bin/kiriha bin/kiriha-check bin/kiriha-gate share/applications/org.kiriha.kiriha.desktop \
    share/icons/hicolor/scalable/apps/org.kiriha.kiriha.svg share/metainfo/org.kiriha.kiriha.metainfo.xml \
    share/man/man1/kiriha.1.gz share/man/man1/kiriha-check.1.gz share/man/man1/kiriha-gate.1.gz \
    share/doc/kiriha/copyright share/doc/kiriha/changelog.gz share/bash-completion/completions/kiriha-check \
    share/bash-completion/completions/kiriha-gate share/man/ja/man1/kiriha-check.1.gz \
    share/man/ja/man1/kiriha-gate.1.gz share/locale/ja/LC_MESSAGES/kiriha.mo; do
    if [ -e "$root/$f" ]; then echo "ok: $f"; else echo "missing: $f"; status=1; fi
done
for b in kiriha kiriha-check kiriha-gate; do [ -x "$root/bin/$b" ] || { echo "bin/$b is not executable"; status=1; }; done
# The gate's service and its list, where Debian keeps them.
for f in etc/kiriha/gate.list lib/systemd/system/kiriha-gate.service; do
    [ -e "$stage/$f" ] || { echo "missing: /$f"; status=1; }
done
# systemd accepts the unit, its program and its manual as installed.
unit=$(mktemp -d)
trap 'rm -rf "$stage" "$unit"' EXIT
sed "s|/usr/bin/kiriha-gate|$root/bin/kiriha-gate|" "$stage/lib/systemd/system/kiriha-gate.service" >"$unit/kiriha-gate.service"
verify=$(MANPATH="$root/share/man" systemd-analyze verify "$unit/kiriha-gate.service" 2>&1) || status=1
[ -z "$verify" ] || { echo "systemd-analyze verify: $verify"; status=1; }

out=$(desktop-file-validate "$root/share/applications/org.kiriha.kiriha.desktop" 2>&1) || status=1
echo "$out"
if echo "$out" | grep -qE 'error|warning'; then status=1; fi  # hints are advice, not faults

appstreamcli validate --no-net --pedantic "$root/share/metainfo/org.kiriha.kiriha.metainfo.xml" || status=1

# The manual pages render without a warning, and hold no control byte that roff would print as text.
for page in kiriha kiriha-check kiriha-gate; do
    gz="$root/share/man/man1/$page.1.gz"
    if zcat "$gz" | LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]'; then echo "$page.1: a control byte"; status=1; fi
    warnings=$(man --warnings -E UTF-8 -l "$gz" 2>&1 >/dev/null) || status=1
    [ -z "$warnings" ] || { echo "$page.1: $warnings"; status=1; }
done
# The installed commands find their catalogue where the package puts it: Japanese under a Japanese locale.
for b in kiriha-check kiriha-gate; do
    env -u TEXTDOMAINDIR LC_ALL=ja_JP.UTF-8 "$root/bin/$b" --help | grep -q '^使い方: ' ||
        { echo "$b --help under ja_JP.UTF-8: not in Japanese"; status=1; }
done
# The Japanese pages, found as man -L ja finds them, render without a warning under a Japanese locale and under C.
for page in kiriha-check kiriha-gate; do
    for locale in ja_JP.UTF-8 C.UTF-8; do
        warnings=$(LC_ALL=$locale MANPATH="$root/share/man" man -L ja --warnings -E UTF-8 "$page" 2>&1 >/dev/null) || status=1
        [ -z "$warnings" ] || { echo "ja/$page.1 ($locale): $warnings"; status=1; }
    done
    LC_ALL=ja_JP.UTF-8 MANPATH="$root/share/man" man -L ja -E UTF-8 "$page" 2>/dev/null | grep -q '^名前' ||
        { echo "man -L ja $page: not the Japanese page"; status=1; }
done
exit $status
