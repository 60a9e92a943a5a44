#!/usr/bin/env bash
# The release again, from a copy of the source in a folder of another name, under another umask and
# time zone, some time after the first (foreign_build_test.sh's), from the same inputs: the same
# bytes. Then signed with a throwaway certificate (the signature carries over between the two
# builds, and sets aside to give the unsigned file back), and checked by scripts/verify-release.sh,
# also with a byte changed.
#   reproducible_release_test.sh SOURCE_DIR FIRST_WORK_DIR WORK_DIR
# FIRST_WORK_DIR is foreign_build_test.sh's, whose build/ holds the first release and whose
# release-options.txt its options. WORK_DIR/signed-bundle is left with the signed bundle, which the
# run phase of foreign_build_test.sh starts.
set -uo pipefail
source_dir=$1
first=$2/build
work=$3
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
step() { echo "---- $*"; }
mapfile -t options <"$2/release-options.txt" || { echo "FAILED: no $2/release-options.txt"; exit 1; }
version=$(sed -n 's/^project(Orvane VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
name=orvane-$version-windows-x64-test-standins

rm -rf "$work"
copy=$work/another/checkout-of-orvane
second=$copy/out/rel
mkdir -p "$copy"

step "a second release from a copy of the source elsewhere, umask 077, time zone UTC+14"
# The files as they stand in the working tree, committed or not, without what git ignores.
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$copy" -xf - ||
  { echo "FAILED: cannot copy the source"; exit 1; }
started=$(date +%s)
(cd "$copy" && umask 077 && export TZ=ORV-14 &&
  cmake --preset release -B "$second" "${options[@]}" && cmake --build "$second" &&
  cmake --build "$second" --target orvane_zip) >"$work/second.log" 2>&1 ||
  { tail -n 40 "$work/second.log"; echo "FAILED: the second release build"; exit 1; }
echo "built and packed again in $(($(date +%s) - started)) s"

step "both give the same orvane.exe, debug file and archives"
for file in bundle/orvane.exe orvane.exe.debug bundle/THIRD-PARTY-NOTICES.txt "$name.zip" "$name-symbols.zip"; do
  cmp -s "$first/$file" "$second/$file" || fail "$file differs between $first and $second"
done
echo "archive SHA-256: $(cut -d' ' -f1 "$first/$name.zip.sha256") (first), $(cut -d' ' -f1 "$second/$name.zip.sha256") (second)"

step "signed with a throwaway code-signing certificate, its password read from a file"
keys=$work/signing
mkdir -p "$keys"
password="throwaway-$RANDOM$RANDOM"
printf '%s' "$password" >"$keys/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/certificate.pem" -days 2 \
  -subj "/CN=Orvane throwaway code signing" -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=digitalSignature" >/dev/null 2>&1 &&
  openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/certificate.pem" -out "$keys/certificate.p12" \
    -passout "file:$keys/password" || { echo "FAILED: cannot make the certificate"; exit 1; }
cp "$second/bundle/orvane.exe" "$work/unsigned.exe"
(cd "$copy" && cmake --preset release -B "$second" "${options[@]}" -DORVANE_SIGN_CERTIFICATE="$keys/certificate.p12" \
  -DORVANE_SIGN_PASSWORD_FILE="$keys/password" && cmake --build "$second" -v &&
  cmake --build "$second" --target orvane_zip) >"$work/signed.log" 2>&1 ||
  { tail -n 40 "$work/signed.log"; echo "FAILED: the signed build"; exit 1; }
signed=$second/bundle/orvane.exe
grep -qF "$password" "$work/signed.log" "$second/build.ninja" "$second/CMakeCache.txt" &&
  fail "the password shows in a command line or the build's files"
output=$(osslsigncode verify -in "$signed" -CAfile "$keys/certificate.pem" 2>&1)
grep -q '^Signature verification: ok' <<<"$output" || fail "the signature does not verify: $output"
mkdir -p "$work/signed-archive"
(cd "$work/signed-archive" && cmake -E tar xf "$second/$name.zip")
cmp -s "$work/signed-archive/orvane.exe" "$signed" || fail "the archive does not hold the signed orvane.exe"

step "the signature carries over to the first build's orvane.exe, and sets aside to give it back"
osslsigncode extract-signature -in "$signed" -out "$work/signature.der" >/dev/null &&
  osslsigncode attach-signature -sigin "$work/signature.der" -CAfile "$keys/certificate.pem" \
    -in "$first/bundle/orvane.exe" -out "$work/attached.exe" >/dev/null ||
  fail "osslsigncode cannot move the signature"
cmp -s "$work/attached.exe" "$signed" || fail "the first build with the second's signature is not the signed file"
osslsigncode remove-signature -in "$signed" -out "$work/removed.exe" >/dev/null || fail "cannot remove the signature"
cmp -s "$work/removed.exe" "$first/bundle/orvane.exe" || fail "the signed file without its signature is not the unsigned one"
cmp -s "$work/unsigned.exe" "$first/bundle/orvane.exe" || fail "the second build's unsigned orvane.exe differs"
rm -rf "$work/signed-bundle" && cp -r "$second/bundle" "$work/signed-bundle"

step "verify-release.sh: the signed archive holds"
verify() { bash "$copy/scripts/verify-release.sh" --build-dir "$second" "$@" "$keys/certificate.pem" "${options[@]}"; }
output=$(verify "$second/$name.zip")
rc=$?
echo "$output"
[ $rc -eq 0 ] || fail "verify-release.sh failed on the good archive"
[ "$(grep -c '^ok ' <<<"$output")" -ge 12 ] || fail "verify-release.sh checked fewer than twelve things"

step "verify-release.sh: one byte changed in the archive, or in a file of it with a new checksum, fails"
mkdir -p "$work/tampered"
cp "$second/$name.zip" "$second/$name.zip.sha256" "$work/tampered/"
size=$(stat -c %s "$work/tampered/$name.zip")
printf '\x5a' | dd of="$work/tampered/$name.zip" bs=1 seek=$((size / 2)) conv=notrunc status=none
output=$(verify "$work/tampered/$name.zip")
[ $? -eq 1 ] && grep -q '^FAILED  checksum' <<<"$output" || fail "a changed byte was not caught: $output"
python3 - "$second/$name.zip" "$work/tampered/$name.zip" <<'EOF'
import hashlib, os, sys, zipfile
source, target = sys.argv[1:]
with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w") as new:
    for info in old.infolist():
        data = old.read(info)
        if info.filename == "data/app.so":
            data = data[:-1] + bytes([data[-1] ^ 1])
        new.writestr(info, data, compress_type=info.compress_type)
digest = hashlib.sha256(open(target, "rb").read()).hexdigest()
open(target + ".sha256", "w").write("%s  %s\n" % (digest, os.path.basename(target)))
EOF
output=$(verify "$work/tampered/$name.zip")
[ $? -eq 1 ] && grep -q '^ok      checksum' <<<"$output" && grep -q '^FAILED  file .*data/app.so: differs' <<<"$output" ||
  fail "a changed file with a matching checksum was not caught: $output"

[ $failures -eq 0 ] && echo "reproduced, signed, carried over, verified"
exit $((failures > 0))
