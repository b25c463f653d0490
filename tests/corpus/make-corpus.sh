#!/usr/bin/env bash
# make-corpus.sh OUTDIR - makes the key corpus the tests read, with GnuPG only.
#
# The output is committed under tests/corpus/data, so that the tests neither
# depend on the GnuPG version at hand nor need this script to run; run it
# again only to change the corpus (new keys get new key IDs: tests look them
# up in KEYIDS.tsv by name). MANIFEST.txt in the output describes every file.
#
# Times are pinned with --faked-system-time, so that the creation and
# signature dates the tests assert stay the same whenever the corpus is made.
# Environment: NOW (default 20261208T001436) is the "present" of the corpus;
# BULK_ED25519, BULK_RSA, BULK_DSA (1000, 300, 100) the sizes of the bulk files.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
OUT=$1
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
NOW=${NOW:-20261208T001436}
BULK_ED25519=${BULK_ED25519:-1000}
BULK_RSA=${BULK_RSA:-300}
BULK_DSA=${BULK_DSA:-100}

WORK=$(mktemp -d)
cleanup() {
  gpgconf --homedir "$WORK/home" --kill gpg-agent >/dev/null 2>&1 || true
  for h in "$WORK"/bulk-*; do
    [ -d "$h" ] && gpgconf --homedir "$h" --kill gpg-agent >/dev/null 2>&1
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
export GNUPGHOME="$WORK/home"
mkdir -m 700 "$GNUPGHOME"
echo "allow-loopback-pinentry" >"$GNUPGHOME/gpg-agent.conf"

# g [--at TIME] ARGS: gpg in batch mode at the corpus's time (or TIME).
g() {
  local at=$NOW
  if [ "$1" = "--at" ]; then at=$2; shift 2; fi
  gpg --batch --quiet --no-tty --yes --pinentry-mode loopback --passphrase '' \
    --faked-system-time "$at!" --no-auto-check-trustdb --trust-model always \
    "$@" 2>>"$WORK/gpg.log"
}

# fpr EMAIL: fingerprint of the primary key whose user ID has that address.
fpr() {
  g --with-colons --list-keys "<$1>" | awk -F: '$1 == "fpr" { print $10; exit }'
}

# genkey TIME PARAMS...: one key from gpg's unattended key generation; it
# does not expire unless PARAMS say otherwise.
genkey() {
  local at=$1 p expiry="Expire-Date: 0"
  shift
  for p in "$@"; do [[ $p == Expire-Date:* ]] && expiry=; done
  printf '%s\n' "%no-protection" "$@" ${expiry:+"$expiry"} "%commit" >"$WORK/params"
  g --at "$at" --gen-key "$WORK/params"
}

# --- single keys --------------------------------------------------------
gen_rsa() {  # NAME EMAIL [TIME]
  genkey "${3:-$NOW}" "Key-Type: RSA" "Key-Length: 2048" "Key-Usage: sign" \
    "Name-Real: $1" "Name-Email: $2"
}

genkey "$NOW" "Key-Type: RSA" "Key-Length: 2048" "Key-Usage: sign" \
  "Subkey-Type: RSA" "Subkey-Length: 2048" "Subkey-Usage: encrypt" \
  "Name-Real: Alice Rsa" "Name-Email: alice-c@example.org"
genkey "$NOW" "Key-Type: DSA" "Key-Length: 2048" "Key-Usage: sign" \
  "Subkey-Type: ELG-E" "Subkey-Length: 2048" "Subkey-Usage: encrypt" \
  "Name-Real: Bob Dsa" "Name-Email: bob-c@example.org"
genkey "$NOW" "Key-Type: EDDSA" "Key-Curve: ed25519" "Key-Usage: sign" \
  "Subkey-Type: ECDH" "Subkey-Curve: cv25519" "Subkey-Usage: encrypt" \
  "Name-Real: Carol Ed" "Name-Email: carol-c@example.org"
genkey "$NOW" "Key-Type: ECDSA" "Key-Curve: nistp256" "Key-Usage: sign" \
  "Name-Real: Dave Ecdsa" "Name-Email: dave-c@example.org"
gen_rsa "Erin Multi" erin-c@example.org
MULTI=$(fpr erin-c@example.org)
g --quick-add-uid "$MULTI" "Erin Multi (work) <erin-work-c@example.com>"
g --quick-add-uid "$MULTI" "Smith, Erin <erin.smith-c@example.net>"
gen_rsa "Trusted Signer" trusted-c@example.org
TRUSTED=$(fpr trusted-c@example.org)
genkey "$NOW" "Key-Type: EDDSA" "Key-Curve: ed25519" "Key-Usage: sign" \
  "Name-Real: Second Signer" "Name-Email: second-c@example.org"
SECOND=$(fpr second-c@example.org)
gen_rsa "Signed User" signed-c@example.org
gen_rsa "Local Sig" local-c@example.org
gen_rsa "Revoked Key" revoked-c@example.org
genkey 20200101T000000 "Key-Type: RSA" "Key-Length: 2048" "Key-Usage: sign" \
  "Name-Real: Expired Key" "Name-Email: expired-c@example.org" "Expire-Date: 1y"
gen_rsa "Old Signer" oldsigner-c@example.org 20210101T000000
gen_rsa "Expired Cert" expcert-c@example.org 20210101T000000
gen_rsa "Photo Person" photo-c@example.org 20240101T000000
# The designated revoker sits on a direct-key self-signature.
genkey "$NOW" "Key-Type: RSA" "Key-Length: 2048" "Key-Usage: sign" \
  "Revoker: 1:$TRUSTED" \
  "Name-Real: Has Revoker" "Name-Email: hasrevoker-c@example.org"
genkey "$NOW" "Key-Type: RSA" "Key-Length: 2048" "Key-Usage: sign auth" \
  "Name-Real: Directory Server" "Name-Email: server-c@example.org"
printf '%s\n' "Key-Type: RSA" "Key-Length: 2048" "Key-Usage: sign auth" \
  "Name-Real: Protected Server" "Name-Email: pserver-c@example.org" \
  "Passphrase: server secret" "Expire-Date: 0" "%commit" >"$WORK/params"
g --gen-key "$WORK/params"

RSA=$(fpr alice-c@example.org)
DSA=$(fpr bob-c@example.org)
ED=$(fpr carol-c@example.org)
ECDSA=$(fpr dave-c@example.org)
SIGNED=$(fpr signed-c@example.org)
LOCAL=$(fpr local-c@example.org)
REVOKED=$(fpr revoked-c@example.org)
EXPIRED=$(fpr expired-c@example.org)
OLD=$(fpr oldsigner-c@example.org)
EXPCERT=$(fpr expcert-c@example.org)
PHOTO=$(fpr photo-c@example.org)
REVOKER=$(fpr hasrevoker-c@example.org)
SERVER=$(fpr server-c@example.org)
PSERVER=$(fpr pserver-c@example.org)

exp() { g --armor --export "$@"; }

exp "$RSA" >"$OUT/rsa.asc"
exp "$DSA" >"$OUT/dsa-elg.asc"
exp "$ED" >"$OUT/ed25519.asc"
exp "$ECDSA" >"$OUT/ecdsa-p256.asc"
exp "$MULTI" >"$OUT/multi-uid.asc"
exp "$TRUSTED" >"$OUT/trusted-signer.asc"
exp "$SECOND" >"$OUT/second-signer.asc"
exp "$RSA" "$DSA" >"$OUT/two-keys.asc"
exp "$EXPIRED" >"$OUT/expired.asc"
exp "$OLD" >"$OUT/old-signer.asc"
exp "$REVOKER" >"$OUT/designated-revoker.asc"

# --- certifications -----------------------------------------------------
g -u "$TRUSTED" --quick-sign-key "$SIGNED" >/dev/null
exp "$SIGNED" >"$OUT/signed-by-trusted.asc"
g -u "$SECOND" --quick-sign-key "$SIGNED" >/dev/null
exp "$SIGNED" >"$OUT/signed-by-both.asc"

g -u "$TRUSTED" --quick-lsign-key "$LOCAL" >/dev/null
exp "$LOCAL" >"$OUT/local-sig.asc"
exp --export-options export-local-sigs "$LOCAL" >"$OUT/local-sig-included.asc"

# A certification made the day after the signer's creation, valid one day.
g --at 20210102T000000 -u "$OLD" --default-cert-expire 1d --quick-sign-key "$EXPCERT" >/dev/null
exp "$EXPCERT" >"$OUT/expired-cert.asc"

# --- revocation: the certificate gpg wrote when it made the key -------------
exp "$REVOKED" >"$OUT/revoked-before.asc"
sed 's/^:-----BEGIN/-----BEGIN/' "$GNUPGHOME/openpgp-revocs.d/$REVOKED.rev" >"$WORK/revoke.asc"
g --import "$WORK/revoke.asc"
exp "$REVOKED" >"$OUT/revoked.asc"

# --- photo IDs: a 1x1 JPEG whose comment segment says "photo N" ------------
JPEG_B64='/9j//gAJcGhvdG8gMf/gABBKRklGAAEBAAABAAEAAP/bAEMAAQEBAQEBAQEBAQEBAQEBAQEBAQEB
AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAf/AAAsIAAEAAQEBEQD/
xAAfAAABBQEBAQEBAQAAAAAAAAAAAQIDBAUGBwgJCgv/xAC1EAACAQMDAgQDBQUEBAAAAX0BAgMA
BBEFEiExQQYTUWEHInEUMoGRoQgjQrHBFVLR8CQzYnKCCQoWFxgZGiUmJygpKjQ1Njc4OTpDREVG
R0hJSlNUVVZXWFlaY2RlZmdoaWpzdHV2d3h5eoOEhYaHiImKkpOUlZaXmJmaoqOkpaanqKmqsrO0
tba3uLm6wsPExcbHyMnK0tPU1dbX2Nna4eLj5OXm5+jp6vHy8/T19vf4+fr/2gAIAQEAAD8A0s8g
/9k='
add_photo() {  # N TIME
  local jpg="$WORK/photo$1.jpg"
  echo "$JPEG_B64" | base64 -d >"$jpg"
  printf '%s' "$1" | dd of="$jpg" bs=1 seek=12 conv=notrunc status=none
  printf '%s\n' "$jpg" y | g --at "$2" --photo-viewer true --command-fd 0 \
    --edit-key "$PHOTO" addphoto save
}
add_photo 1 20250101T000000
exp "$PHOTO" >"$OUT/photo-id.asc"
add_photo 2 "$NOW"
exp "$PHOTO" >"$OUT/photo-id-two.asc"
add_photo 3 20250601T000000
exp "$PHOTO" >"$OUT/photo-id-three.asc"

# --- keyrings and secret keys -------------------------------------------
g --export "$TRUSTED" "$SECOND" "$SERVER" "$PSERVER" >"$OUT/server-pubring.pkr"
g --export-secret-keys "$SERVER" >"$OUT/server-secring.skr"
gpg --batch --quiet --no-tty --pinentry-mode loopback --passphrase 'server secret' \
  --export-secret-keys "$PSERVER" >"$OUT/server-secring-protected.skr" 2>>"$WORK/gpg.log"
g --armor --export-secret-keys "$TRUSTED" >"$OUT/trusted-signer-secret.asc"
g --armor --export-secret-keys "$RSA" >"$OUT/rsa-secret.asc"
g --armor --export-secret-keys "$ED" >"$OUT/ed25519-secret.asc"

# --- requests -----------------------------------------------------------
kid() { echo "${1: -16}"; }
# sign SIGNER OUTFILE: clear-signs standard input.
sign() { g -u "$1" --digest-algo SHA512 --clearsign >"$OUT/$2"; }

{ printf 'REQUEST: ADD\nLOCATION: ACTIVE\n\n'; cat "$OUT/rsa.asc"; } | sign "$TRUSTED" add-signed-by-trusted.req
{ printf 'REQUEST: ADD\n\n'; cat "$OUT/rsa.asc"; } | sign "$RSA" add-signed-by-rsa.req
{ printf 'REQUEST: ADD\nREQUEST: ADD\n\n'; cat "$OUT/rsa.asc"; } | sign "$TRUSTED" add-twice-header.req
{ printf 'REQUEST: ADD\n\n'; sed 's/^-/- -/' "$OUT/rsa.asc"; } >"$OUT/add-unsigned-tls.req"
printf 'REQUEST: DELETE\nLOCATION: ACTIVE\n\n0x%s\n' "$(kid "$RSA")" | sign "$TRUSTED" delete-rsa-by-trusted.req
printf 'REQUEST: DELETE\n\n0x%s\n' "$(kid "$RSA")" | sign "$RSA" delete-rsa-by-self.req
printf 'REQUEST: DISABLE\n\n0x%s\n' "$(kid "$DSA")" | sign "$TRUSTED" disable-dsa-by-trusted.req
printf 'REQUEST: DELETE\n\n0x%s\n0x%s\n' "$(kid "$RSA")" "$(kid "$ED")" | sign "$TRUSTED" delete-two-by-trusted.req
sed "s/^0x$(kid "$RSA")\$/0x$(kid "$DSA")/" "$OUT/delete-rsa-by-trusted.req" >"$OUT/tampered-delete.req"

# --- KEYIDS.tsv and MANIFEST.txt ---------------------------------------
for entry in rsa:$RSA dsa-elg:$DSA ed25519:$ED ecdsa-p256:$ECDSA multi-uid:$MULTI \
  trusted-signer:$TRUSTED second-signer:$SECOND signed-user:$SIGNED local-sig:$LOCAL \
  revoked:$REVOKED expired:$EXPIRED old-signer:$OLD expired-cert:$EXPCERT \
  photo-id:$PHOTO designated-revoker:$REVOKER server:$SERVER protected-server:$PSERVER; do
  f=${entry#*:}
  printf '%s\t%s\t%s\t%s\n' "${entry%%:*}" "$f" "${f: -16}" "${f: -8}"
done >"$OUT/KEYIDS.tsv"

cat >"$OUT/MANIFEST.txt" <<'MANIFEST'
rsa.asc	RSA 2048 primary (alg 1) with RSA encryption subkey, one user ID
dsa-elg.asc	DSA 2048 primary (alg 17) with ElGamal 2048 subkey (alg 16)
ed25519.asc	EdDSA Ed25519 primary (alg 22) with ECDH cv25519 subkey (alg 18)
ecdsa-p256.asc	ECDSA P-256 primary (alg 19), no subkey
multi-uid.asc	RSA key with three user IDs, one containing a comma and angle brackets
trusted-signer.asc	RSA key used as the policy's trusted signer
second-signer.asc	Ed25519 key used as a second trusted signer
signed-by-trusted.asc	RSA key whose user ID carries an exportable certification by trusted-signer
signed-by-both.asc	same key, certified by trusted-signer and second-signer
local-sig.asc	key as gpg exports it by default: the local certification is left out
local-sig-included.asc	same key exported WITH its NON-exportable (local) certification by trusted-signer
revoked-before.asc	a key before its revocation
revoked.asc	the same key carrying its key revocation signature (type 0x20)
expired.asc	key created 2020-01-01 with a one-year expiration (expired now)
old-signer.asc	RSA key created 2021-01-01, signer of expired-cert.asc
expired-cert.asc	key whose user ID carries a certification by old-signer made 2021-01-02 that expired one day later
photo-id.asc	RSA key (created 2024-01-01) with one user ID and one photo ID (user attribute, image type 1) self-signed 2025-01-01
photo-id-two.asc	same key with a second photo ID self-signed now (the newest)
photo-id-three.asc	same key with a third photo ID self-signed 2025-06-01 (the second stays the newest)
designated-revoker.asc	RSA key naming trusted-signer as designated revoker (subpacket 12 on a direct-key self-signature)
two-keys.asc	one armoured block holding two keys (a single-key add must refuse it)
server-pubring.pkr	binary public keyring: server key, protected server key, trusted-signer, second-signer
server-secring.skr	binary secret keyring: server key, no passphrase
server-secring-protected.skr	binary secret keyring: protected server key, passphrase 'server secret' (S2K iterated+salted, AES)
trusted-signer-secret.asc	trusted-signer secret key, no passphrase (to sign requests in tests)
rsa-secret.asc	secret key of rsa.asc, no passphrase (self-service delete tests)
ed25519-secret.asc	secret key of ed25519.asc, no passphrase
KEYIDS.tsv	name, fingerprint, 16-digit key ID, 8-digit key ID of each key above
add-signed-by-trusted.req	clear-signed ADD request (dash-escaped key block of rsa.asc) signed by trusted-signer
add-signed-by-rsa.req	clear-signed ADD request signed by the rsa key itself (not an authorised add signer)
add-unsigned-tls.req	unsigned ADD request text, key lines that begin with a dash escaped with '- ' (acceptable to the parser only on a TLS connection)
delete-rsa-by-trusted.req	DELETE of rsa.asc signed by trusted-signer
delete-rsa-by-self.req	DELETE of rsa.asc signed by the rsa key itself (self-service)
disable-dsa-by-trusted.req	DISABLE of dsa-elg.asc signed by trusted-signer
delete-two-by-trusted.req	DELETE of rsa.asc and ed25519.asc signed by trusted-signer
add-twice-header.req	signed request with a repeated REQUEST header (invalid kind)
tampered-delete.req	delete-rsa-by-trusted.req with its key-ID line changed after signing (its signature must not verify)
bulk-ed25519.asc	1000 Ed25519 keys with cv25519 subkeys; every 3rd has a second user ID, every 5th a certification by trusted-signer
bulk-rsa.asc	300 RSA 2048 keys with RSA subkeys, same pattern
bulk-dsa.asc	100 DSA 2048 keys with ElGamal 2048 subkeys, same pattern
MANIFEST

# --- bulk files ---------------------------------------------------------
# bulk NAME COUNT KEYPARAMS...: COUNT keys, every 3rd with a second user ID,
# every 5th certified by trusted-signer, each in its own armour. The keys are
# made in one gpg run (RSA and DSA generation is slow) in a keyring of their
# own, so that the lookups stay quick.
bulk() {
  local name=$1 count=$2 i f
  shift 2
  local home="$WORK/bulk-$name"
  mkdir -m 700 "$home"
  cp "$GNUPGHOME/gpg-agent.conf" "$home/"
  g --armor --export-secret-keys "$TRUSTED" | GNUPGHOME=$home g --import
  for ((i = 1; i <= count; i++)); do
    printf '%s\n' "%no-protection" "$@" "Name-Real: Bulk $name $i" \
      "Name-Email: bulk-$name-c-$i@example.org" "Expire-Date: 0" "%commit"
  done >"$WORK/params"
  GNUPGHOME=$home g --gen-key "$WORK/params"
  # email -> fingerprint of every key, from one listing
  GNUPGHOME=$home g --with-colons --list-keys | awk -F: '
    $1 == "pub" { want = 1 } $1 == "sub" { want = 0 }
    $1 == "fpr" && want { f = $10; want = 0 }
    $1 == "uid" { e = $10; sub(/.*</, "", e); sub(/>.*/, "", e); print e, f }' >"$WORK/list"
  : >"$OUT/bulk-$name.asc"
  for ((i = 1; i <= count; i++)); do
    f=$(awk -v e="bulk-$name-c-$i@example.org" '$1 == e { print $2; exit }' "$WORK/list")
    if ((i % 3 == 0)); then
      GNUPGHOME=$home g --quick-add-uid "$f" "Bulk $name $i second <bulk2-$name-c-$i@example.com>"
    fi
    if ((i % 5 == 0)); then
      GNUPGHOME=$home g -u "$TRUSTED" --quick-sign-key "$f" >/dev/null
    fi
    GNUPGHOME=$home g --armor --export "$f" >>"$OUT/bulk-$name.asc"
  done
  gpgconf --homedir "$home" --kill gpg-agent >/dev/null 2>&1 || true
}
bulk ed25519 "$BULK_ED25519" "Key-Type: EDDSA" "Key-Curve: ed25519" "Key-Usage: sign" \
  "Subkey-Type: ECDH" "Subkey-Curve: cv25519" "Subkey-Usage: encrypt"
bulk rsa2048 "$BULK_RSA" "Key-Type: RSA" "Key-Length: 2048" "Key-Usage: sign" \
  "Subkey-Type: RSA" "Subkey-Length: 2048" "Subkey-Usage: encrypt"
bulk dsa2048 "$BULK_DSA" "Key-Type: DSA" "Key-Length: 2048" "Key-Usage: sign" \
  "Subkey-Type: ELG-E" "Subkey-Length: 2048" "Subkey-Usage: encrypt"
mv "$OUT/bulk-rsa2048.asc" "$OUT/bulk-rsa.asc"
mv "$OUT/bulk-dsa2048.asc" "$OUT/bulk-dsa.asc"
