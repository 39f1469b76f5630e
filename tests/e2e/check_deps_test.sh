#!/usr/bin/env bash
# scripts/check-deps on a small tree of its own: it fails while a command or Python module the
# scripts use comes with no package that install-deps names, passes once they are named, and is
# not fooled by functions, keywords, variables, here-documents or quoted text.
source "$K7160_TESTLIB"

SRC=${K7160_SRC:?K7160_SRC must name the source tree}
T="$TEST_DIR/tree"
mkdir -p "$T/scripts" "$T/tests/e2e" "$T/bench"
cp "$SRC/scripts/check-deps" "$T/scripts/"
echo 'add_executable(myprog main.cpp)' >"$T/CMakeLists.txt"
deps() { printf '#!/usr/bin/env bash\npkgs=(\n  %s\n)\n' "$*" >"$T/scripts/install-deps"; }

cat >"$T/tests/e2e/a_test.sh" <<'EOF'
#!/usr/bin/env bash
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; fi; }
helper() { curl -s "$@"; }
check "a value" [ "$(helper http://x/)" = notacommand1 ]
check "bc counts" bc -l <<<"1+1"
myprog --flag
"$SOME_PROGRAM" notacommand2
for w in notacommand3 notacommand4; do echo "$w"; done
case $1 in
  notacommand5) timeout 5 socat - TCP:127.0.0.1:1 ;;
esac
cat <<TEXT
notacommand6 in a here-document
TEXT
echo 'notacommand7; in quotes' # notacommand8 in a comment
arr=(notacommand9 notacommand10)
curl -s http://x/ &>/dev/null notacommand11
function fn { curl "$@"; }
fn notacommand12
python3 -c "import zeroconf; print(1)"
python3 - <<'PY'
import os, numpy
PY
EOF

deps curl
out=$(python3 "$T/scripts/check-deps" 2>&1); rc=$?
echo "$out"
check "fails while packages are missing" [ "$rc" = 1 ]
for pkg in bc socat python3-numpy python3-zeroconf; do
  check "names the missing package $pkg" grep -q "package $pkg\$" <<<"$out"
done
check "names python3 as missing" grep -qE "^  python3 \(used at tests/e2e/a_test.sh:[0-9]+\): package python3-minimal \(or python3, which brings it\)" <<<"$out"
check "the listed package is accepted" grep -qE '^  curl .* curl \(listed\)' <<<"$out"
check "base system commands are accepted" grep -qE '^  timeout .* coreutils \(base system\)' <<<"$out"
check "nothing else taken for a command" bash -c '! grep -qE "notacommand|myprog|helper|SOME_PROGRAM|^  fn " <<<"$1"' _ "$out"

deps curl bc socat python3 python3-numpy python3-zeroconf
out=$(python3 "$T/scripts/check-deps" 2>&1); rc=$?
check "passes once every package is named" [ "$rc" = 0 ]
check "python3 accepted through the package that pulls it in" grep -qE '^  python3 .*\((listed|by python3)\)' <<<"$out"
check "numpy found in its package" grep -qE '^  numpy .* python3-numpy \(listed\)' <<<"$out"

echo 'nosuchcommand-k7160 --version' >>"$T/bench/b.sh"
out=$(python3 "$T/scripts/check-deps" 2>&1); rc=$?
check "a command no package provides fails the check" [ "$rc" = 1 ]
check "and is named" grep -q "nosuchcommand-k7160 (used at bench/b.sh:1): no package provides it" <<<"$out"

# Pipeline elements: first after gst-launch-1.0, after each "!" of a pipeline, or declared for
# what a pipeline plugs in by itself; a shell "!" is no link.
rm "$T/bench/b.sh"
deps curl bc socat python3 python3-numpy python3-zeroconf gstreamer1.0-tools gstreamer1.0-plugins-base \
  gstreamer1.0-plugins-good
cat >"$T/tests/e2e/g_test.sh" <<'EOF'
#!/usr/bin/env bash
# gst-elements: rtph264depay
gst-launch-1.0 -q videotestsrc num-buffers=1 ! "video/x-raw,width=8" ! fakesink
p="s. ! queue ! decodebin"
if ! grep -q notanelement1 /dev/null; then echo; fi
check "a negation" ! grep -q notanelement2 /dev/null
true && ! grep -q notanelement3 /dev/null
EOF
elements() { sed -n '/GStreamer elements the pipelines/,/^check-deps:/p' <<<"$1"; }
out=$(python3 "$T/scripts/check-deps" 2>&1); rc=$?
echo "$out"
check "passes with every element installed" [ "$rc" = 0 ]
for e in videotestsrc fakesink queue decodebin rtph264depay; do
  check "element $e found in its plugin" grep -qE "^  $e +/.*libgst.*\.so .*\((listed|base system|by .*)\)" <<<"$(elements "$out")"
done
check "no shell word taken for an element" bash -c '! grep -qE "^  (grep|notanelement[0-9]|check|video/x-raw) " <<<"$1"' _ \
  "$(elements "$out")"
cat >>"$T/tests/e2e/g_test.sh" <<'EOF'
gst-launch-1.0 fakesrc ! nosuchelement-k7160 ! fakesink
EOF
out=$(python3 "$T/scripts/check-deps" 2>&1); rc=$?
check "an element no plugin provides fails the check" [ "$rc" = 1 ]
check "and is named" grep -q "GStreamer element nosuchelement-k7160 (used at tests/e2e/g_test.sh:8): no installed plugin provides it" <<<"$out"

check "the project's own scripts pass" python3 "$SRC/scripts/check-deps"
finish
