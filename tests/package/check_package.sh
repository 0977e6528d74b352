#!/usr/bin/env bash
# Checks the Debian package that scripts/package.sh made: lintian finds no error, the desktop
# entry and the AppStream file validate, apt could install it here, and installed into a scratch
# root it works: the program starts offscreen in the user's folders, every tool answers --help
# under its installed name, the systemd units verify and the service's user is made, the manual
# pages render, and removing it leaves nothing behind but that user.
set -euo pipefail
cd "$(dirname "$0")/../.."
deb=$(ls build-package/quorvik_*_*.deb)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvik-package-XXXXXX")
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf -- "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== lintian"
lintian --pedantic "$deb" | tee "$scratch/lintian.txt" || true
! grep -q '^E:' "$scratch/lintian.txt" || fail "lintian reports errors"

echo "== installed size"
said=$(dpkg-deb -f "$deb" Installed-Size)
files=$(dpkg-deb -c "$deb" | awk '{ k += int(($3 + 1023) / 1024) } END { print k }')
# What the control file says is what the files take, links and folders aside.
[ "$said" -ge "$files" ] && [ "$said" -le $((files + 200)) ] ||
  fail "Installed-Size says $said KiB, the files take $files KiB"

root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status"
echo "== dependencies (apt, simulated)"
apt-get install -s -q "./$deb" > "$scratch/apt.txt" || { cat "$scratch/apt.txt"; fail "apt cannot install it"; }
grep '^Inst ' "$scratch/apt.txt"
echo "== installed into $root"
# The dependencies are the host's: this root holds the package alone.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" > /dev/null 2>&1 ||
  fail "dpkg could not install it"
usr="$root/usr"

appstreamcli validate --no-net "$usr/share/metainfo/org.quorvik.Quorvik.metainfo.xml"
desktop-file-validate "$usr/share/applications/org.quorvik.Quorvik.desktop"
[ -f "$usr/libexec/quorvik/../../share/quorvik/Quorvik.html" ] || fail "no help where the program looks"
grep -qx "Exec=/usr/bin/quorvik" "$usr/share/applications/org.quorvik.Quorvik.desktop" ||
  fail "the menu entry does not start /usr/bin/quorvik"

echo "== tools"
for tool in eventcreate eventquery mc watchtest sc mailtest netsend config; do
  out=$(LC_ALL=C.UTF-8 "$usr/bin/quorvik-$tool" --help) || fail "quorvik-$tool --help failed"
  grep -q "^usage: quorvik-$tool " <<<"$out" || fail "quorvik-$tool --help: $out"
done

out=$(LC_ALL=C.UTF-8 "$usr/bin/quorvik-service" --help) || fail "quorvik-service --help failed"
grep -q "^usage: quorvik-service " <<<"$out" || fail "quorvik-service --help: $out"
for tool in quorvik-service quorvik-eventquery; do
  LC_ALL=ja_JP.UTF-8 "$usr/bin/$tool" --help | grep -q "^使い方: $tool " ||
    fail "$tool --help is not Japanese under a Japanese locale"
done

# A display that cannot be opened: said, status 1, no core.
set +e
env -i PATH="$PATH" DISPLAY=:97 HOME="$scratch" "$usr/bin/quorvik" > "$scratch/display.txt" 2>&1
status=$?
set -e
[ "$status" = 1 ] && grep -q "could not open a display" "$scratch/display.txt" ||
  fail "an unusable display ended with $status: $(cat "$scratch/display.txt")"

echo "== systemd units and the service's user"
for unit in "$usr/lib/systemd/user/quorvik.service" "$usr/lib/systemd/system/quorvik.service"; do
  [ -f "$unit" ] || fail "$unit missing"
  # Checked as installed, the program named where this root has it.
  sed "s|/usr/bin/quorvik-service|$usr/bin/quorvik-service|" "$unit" > "$scratch/quorvik.service"
  systemd-analyze --man=no verify "$scratch/quorvik.service" || fail "$unit does not verify"
done
[ -f "$usr/lib/sysusers.d/quorvik.conf" ] || fail "no sysusers.d file"
grep -q "^quorvik:" "$root/etc/passwd" 2>/dev/null || fail "the installation made no user quorvik"
systemd-analyze security --offline=true "$usr/lib/systemd/system/quorvik.service" | tail -n 1

echo "== manual pages"
for page in quorvik quorvik-service quorvik-eventcreate quorvik-eventquery quorvik-mc \
  quorvik-watchtest quorvik-sc quorvik-mailtest quorvik-netsend quorvik-config; do
  for dir in "$usr/share/man/man1" "$usr/share/man/ja/man1"; do
    file="$dir/$page.1.gz"
    [ -f "$file" ] || fail "$file missing"
    # As lintian renders them; the Japanese ones with the Japanese macros, as man does.
    warnings=$(env -i PATH="$PATH" LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=120 \
      timeout 30 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 > /dev/null) ||
      fail "man could not render $file"
    [ -z "$warnings" ] || fail "$file: $warnings"
  done
done
MANPATH="$usr/share/man" man -P cat quorvik-eventquery 2>/dev/null | grep -q "quorvik-eventquery" ||
  fail "man quorvik-eventquery finds no page"

echo "== the program, offscreen, as a new user"
home="$scratch/home"
mkdir -p "$home" "$scratch/run"
chmod 700 "$scratch/run"
env -i PATH="$PATH" HOME="$home" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen \
  LANG=C.UTF-8 "$usr/bin/quorvik" > "$scratch/program.txt" 2>&1 &
pid=$!
data="$home/.local/share/quorvik"
log=""
for _ in $(seq 1 300); do
  log=$(ls "$data"/QV*.LOG 2>/dev/null | head -n 1 || true)
  if [ -n "$log" ] && iconv -f CP932 -t UTF-8 "$log" | grep -q "ユーザーのフォルダ"; then break; fi
  kill -0 "$pid" 2>/dev/null || { cat "$scratch/program.txt"; fail "the program ended"; }
  sleep 0.1
done
[ -n "$log" ] || { cat "$scratch/program.txt"; fail "no log in $data"; }
first=$(iconv -f CP932 -t UTF-8 "$log" | grep -m1 "ファイルの場所")
echo "$first"
grep -q "設定 $home/.config/quorvik/、データ $data/" <<<"$first" || fail "first line: $first"
[ "$(stat -c %a "$home/.config/quorvik")" = 700 ] || fail "the settings folder is not private"
[ -f "$data/machine/registry/00-system.reg" ] || fail "no machine in $data"
kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$pid" 2>/dev/null || fail "the program did not end on SIGTERM"
wait "$pid" || fail "the program ended with an error"
pid=""
# The same user's files as text, and back through the checks.
config=(env -i PATH="$PATH" HOME="$home" LANG=C.UTF-8 "$usr/bin/quorvik-config")
"${config[@]}" add-address --mail ops@example.jp || fail "quorvik-config add-address failed"
"${config[@]}" export > "$scratch/config.json" || fail "quorvik-config export failed"
grep -q '"mail": "ops@example.jp"' "$scratch/config.json" || fail "export: $(cat "$scratch/config.json")"
"${config[@]}" import --check "$scratch/config.json" 2>/dev/null || fail "its own export is refused"

echo "== removed"
dpkg --root="$root" --force-script-chrootless -r quorvik > /dev/null 2>&1 || fail "dpkg -r failed"
# The service's user stays, as Debian leaves every system user.
left=$(find "$root" -mindepth 1 ! -type d ! -path "$root/var/lib/dpkg/*" \
  ! -path "$root/etc/passwd*" ! -path "$root/etc/group*" ! -path "$root/etc/shadow*" \
  ! -path "$root/etc/gshadow*" ! -path "$root/etc/.pwd.lock")
[ -z "$left" ] || fail "left after removal: $left"
echo "package checks passed"
