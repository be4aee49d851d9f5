#!/usr/bin/env bash
# The message catalogue's template, made from what the sources mark (xgettext) and what the options' tables say
# (the documentation tools), and the checks a translation must pass.
#   catalogue.sh template BUILD OUTPUT   writes the template
#   catalogue.sh check BUILD             every message in po/ja.po, translated, not fuzzy, its printf arguments kept
set -euo pipefail
cd "$(dirname "$0")/.."
mode=$1
build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

template() {
    xgettext --from-code=UTF-8 --language=C++ --keyword=_ --keyword=N_ --keyword=plural:1,2 \
        --add-comments=TRANSLATORS: --package-name=kiriha --msgid-bugs-address=kiriha@example.org \
        --sort-by-file -o "$tmp/code.pot" $(find cli check gate -name '*.cpp' -o -name '*.h' | LC_ALL=C sort)
    "$build/check/kiriha-check-docs" pot "$tmp/check.pot"
    "$build/gate/kiriha-gate-docs" pot "$tmp/gate.pot"
    msgcat --use-first "$tmp/code.pot" "$tmp/check.pot" "$tmp/gate.pot" -o "$1"
}

case "$mode" in
    template)
        template "$3"
        ;;
    check)
        template "$tmp/all.pot"
        status=0
        for po in po/*.po; do
            # Every message of the sources and the tables there, translated (msgcmp counts no fuzzy or empty one).
            msgcmp "$po" "$tmp/all.pot" || status=1
            fuzzy=$(msgattrib --only-fuzzy --no-obsolete "$po" | grep -c '^msgid' || true)
            empty=$(msgattrib --untranslated --no-obsolete "$po" | grep -c '^msgid' || true)
            [ "$fuzzy" -eq 0 ] || { echo "$po: $fuzzy fuzzy"; status=1; }
            [ "$empty" -eq 0 ] || { echo "$po: $empty untranslated"; status=1; }
            # The printf arguments, the line ends and the header as msgfmt checks them.
            msgfmt --check -o /dev/null "$po" || status=1
        done
        exit $status
        ;;
    *)
        echo "usage: $0 template BUILD OUTPUT | check BUILD" >&2
        exit 2
        ;;
esac
