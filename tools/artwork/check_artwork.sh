#!/bin/sh
# Verifies the committed pictures: each loads with gdk-pixbuf at the size, format and channel layout the client
# expects, converts to pixdata (what glib-compile-resources does with them), and is byte-for-byte what the generator
# draws today. Then it feeds the checker damaged copies to prove it would notice.
#
#   tools/artwork/check_artwork.sh [path/to/veltra-artwork]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
generator=${1:-$repo/build/tools/artwork/veltra-artwork}
bundle=$here
icons=$repo/data/icons

if [ ! -x "$generator" ]; then
    echo "no generator at $generator; build it with: cmake --build build --target veltra-artwork" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Every picture the generator knows about, relative to its root, as "<root> <path>" lines.
"$generator" "$work/fresh/bundle" "$work/fresh/icons" >/dev/null
list() { (cd "$work/fresh/$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }

# 1. The committed files pass the checker's own table.
"$generator" --check "$bundle" "$icons" >/dev/null || fail "committed pictures do not pass --check"

# 2. They are exactly what the generator draws now, and drawing twice gives the same bytes.
"$generator" "$work/again/bundle" "$work/again/icons" >/dev/null
for root in bundle icons; do
    committed=$bundle
    [ "$root" = icons ] && committed=$icons
    for f in $(list "$root"); do
        cmp -s "$work/fresh/$root/$f" "$work/again/$root/$f" || fail "$root/$f differs between two runs"
        cmp -s "$work/fresh/$root/$f" "$committed/$f" || fail "$committed/$f is stale or missing: regenerate"
    done
done

# 3. Each converts to pixdata, and ImageMagick agrees with gdk-pixbuf about the alpha channel of each PNG.
for root in bundle icons; do
    for f in $(list "$root"); do
        src=$work/fresh/$root/$f
        gdk-pixbuf-pixdata "$src" "$work/x.pixdata" 2>/dev/null || fail "$root/$f does not convert to pixdata"
        case $f in
        *.png)
            channels=$(identify -format '%[channels]' "$src" 2>/dev/null || echo unreadable)
            case $f in
            Common/Main/bottomBar.png | Common/Settings/bottomBar.png | Common/Main/btnServerBackground.png)
                want=srgb ;;
            *) want=srgba ;;
            esac
            [ "$channels" = "$want" ] || fail "$root/$f has channels '$channels', expected $want"
            ;;
        esac
    done
done

# 4. Damaged copies must be rejected. Each case starts from a clean copy and breaks one thing.
swap() { cp "$1" swap.tmp && cp "$2" "$1" && mv swap.tmp "$2"; }
expect_rejected() {
    what=$1
    shift
    rm -rf "$work/bad"
    cp -R "$work/fresh" "$work/bad"
    (cd "$work/bad/bundle/Common" && "$@")
    if "$generator" --check "$work/bad/bundle" "$work/bad/icons" >/dev/null 2>&1; then
        fail "checker accepted: $what"
    fi
}
expect_rejected "a missing picture" rm Main/ServerStar.png
expect_rejected "an empty file" sh -c ': > Main/ServerStar.png'
expect_rejected "a truncated PNG" sh -c 'head -c 200 Login/btnLogin.png > t && mv t Login/btnLogin.png'
expect_rejected "text instead of an image" sh -c 'echo "not a picture" > TopBar/btnClose.png'
expect_rejected "a PNG where a JPEG belongs" cp TopBar/btnClose.png No.jpg
expect_rejected "a PNG where an ICO belongs" cp Main/btnConnectGreen.png Main/btnConnectGreen.ico
expect_rejected "an RGBA picture where an RGB one belongs" \
    cp Main/btnServerForeground_Upgrade.png Main/btnServerBackground.png
expect_rejected "the wrong size" cp Settings/switch_off.png Settings/switch_on.png
expect_rejected "connect states swapped" cp Main/btnConnectRed.png Main/btnConnectGreen.png
expect_rejected "ICO states swapped" cp Main/btnConnectOrange.ico Main/btnConnectDisabled.ico
expect_rejected "text field looks swapped" cp Login/textViewBackground.png Login/textViewBackground_focused.png
expect_rejected "filled star for the empty one" cp Main/ServerStar.png Main/ServerStar_unchecked.png
expect_rejected "normal login button for the focused one" cp Login/btnLogin.png Login/btnLogin_focused.png
expect_rejected "OK for Cancel" cp Dialogs/btn_ok.png Dialogs/btn_cancel.png
expect_rejected "close for minimise" cp TopBar/btnClose.png TopBar/btnMinimize.png
expect_rejected "minimise for close" cp TopBar/btnMinimize.png TopBar/btnClose.png
expect_rejected "the settings bar on the main window" cp Settings/bottomBar.png Main/bottomBar.png
expect_rejected "the main bar in the settings window" cp Main/bottomBar.png Settings/bottomBar.png
expect_rejected "switch states swapped" swap Settings/switch_on.png Settings/switch_off.png
expect_rejected "a wrong-size desktop icon" \
    cp ../../icons/hicolor/32x32/apps/veltra.png ../../icons/hicolor/48x48/apps/veltra.png

# 5. The command line refuses what it does not understand.
"$generator" --bogus >/dev/null 2>&1 && fail "unknown option accepted"
"$generator" a b c >/dev/null 2>&1 && fail "a third folder accepted"
"$generator" --check "$work/nowhere" "$work/nowhere" >/dev/null 2>&1 && fail "an empty folder passed --check"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "artwork OK: $(list bundle | wc -l) bundle pictures, $(list icons | wc -l) icons"
