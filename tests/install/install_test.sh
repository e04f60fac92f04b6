#!/usr/bin/env bash
# Installs the build into a fresh prefix and runs both programs from there, far from the source
# and build trees: what lands in the prefix must be all the programs need.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

# Every file a desktop needs, at the place the freedesktop rules look for it.
for f in bin/dtl bin/drovetail share/drovetail/home.html share/drovetail/Community.html \
         share/drovetail/verb1.html share/drovetail/sibling.html share/drovetail/doc/desktop.md \
         share/drovetail/doc/sending.md share/applications/drovetail.desktop \
         share/icons/hicolor/64x64/apps/drovetail.png share/mime/packages/drovetail.xml; do
  [[ -s $prefix/$f ]] || fail "missing after install: $f"
done
[[ -x $prefix/bin/dtl && -x $prefix/bin/drovetail ]] || fail "programs not executable"

# The programs find their files by rule, never through a path of the tree they were built in.
if grep -qaF "$source/resources" "$prefix/bin/drovetail"; then
  fail "drovetail holds the source tree's resources path"
fi

# The desktop entry opens descriptors with the program, under the icon installed beside it.
entry=$prefix/share/applications/drovetail.desktop
for line in '[Desktop Entry]' 'Type=Application' 'Exec=drovetail %f' 'Icon=drovetail' 'MimeType=application/x-dtl;'; do
  grep -qxF "$line" "$entry" || fail "desktop entry lacks '$line'"
done
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$entry"; fi

# The icon is a 64x64 PNG, as its hicolor folder says.
[[ $(head -c 8 "$prefix/share/icons/hicolor/64x64/apps/drovetail.png" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] ||
  fail "icon is not a PNG"
[[ $(od -An -j16 -N8 -tu1 "$prefix/share/icons/hicolor/64x64/apps/drovetail.png" | tr -s ' ') == " 0 0 0 64 0 0 0 64" ]] ||
  fail "icon is not 64x64"

# The MIME package maps *.dtl to the type the program registers for itself at start-up.
mime=$prefix/share/mime/packages/drovetail.xml
grep -qF '<mime-type type="application/x-dtl">' "$mime" || fail "MIME package lacks application/x-dtl"
grep -qF '<glob pattern="*.dtl"/>' "$mime" || fail "MIME package lacks the *.dtl glob"
grep -qF '<glob pattern="*.dtl.doc"/>' "$mime" || fail "MIME package lacks the *.dtl.doc glob of Split File's descriptors"
if command -v xmllint >/dev/null; then xmllint --noout "$mime"; fi
if command -v update-mime-database >/dev/null; then
  update-mime-database "$prefix/share/mime" >/dev/null 2>&1
  grep -qE '^[0-9]+:application/x-dtl:\*\.dtl$' "$prefix/share/mime/globs2" ||
    fail "update-mime-database does not map *.dtl to application/x-dtl"
fi

# Keep both programs' settings, logs and caches inside the temporary folder.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_STATE_HOME=$work/home/.local/state XDG_CACHE_HOME=$work/home/.cache TMPDIR=$work
mkdir -p "$HOME"

# dtl: a split and merge round trip gives back the same bytes.
mkdir "$work/segments" "$work/merged"
head -c 700000 /dev/urandom > "$work/sample.bin"
seq 1 50000 >> "$work/sample.bin"
printf 'install-test' > "$work/password"
"$prefix/bin/dtl" split "$work/sample.bin" "$work/segments" --segment-size 200000 \
  --password-file "$work/password" >/dev/null
"$prefix/bin/dtl" merge "$work/segments/sample.bin.dtl.doc" --out "$work/merged" \
  --password-file "$work/password" >/dev/null
cmp "$work/sample.bin" "$work/merged/sample.bin" || fail "dtl merge did not give back the original"

# drovetail: the screenshot mode opens every window and saves each. Each local page of the prefix
# is replaced by a page of one colour, so the pictures show which copy the program found.
page() { printf '<html><body style="margin:0;background:#%s"></body></html>\n' "$2" > "$prefix/share/drovetail/$1"; }
page home.html ff00ff
page Community.html 00ffff
page verb1.html ffff00
page sibling.html 00ff00
QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 "$prefix/bin/drovetail" --screenshots "$work/shots" ||
  fail "drovetail --screenshots failed"
for shot in main-browse main-support main-sibling main-send-list help about merge confirm-replace; do
  [[ $(head -c 4 "$work/shots/$shot.png" 2>/dev/null | od -An -tx1 | tr -d ' \n') == 89504e47 ]] ||
    fail "no screenshot $shot.png"
done
pixel() {
  local got
  got=$(python3 "$(dirname "$0")/png_pixel.py" "$work/shots/$1.png" "$2" "$3")
  [[ $got == "$4" ]] || fail "$1.png at $2,$3 is #$got, not #$4: the installed $5 was not shown"
}
pixel main-browse 700 450 ff00ff home.html
# The banner strip runs right under the menu bar; the tool bars are below the tabs.
pixel main-browse 700 50 ffff00 verb1.html
pixel main-support 400 500 00ffff Community.html
pixel main-sibling 400 500 00ff00 sibling.html
echo "installed into a temporary prefix; both programs ran from it"
