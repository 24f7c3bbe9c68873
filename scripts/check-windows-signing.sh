#!/usr/bin/env bash
# Checks the signing of the Windows packages with a throwaway key, in a temporary folder (dist/ is left
# as it is): a root CA, a code-signing certificate issued by it in a PKCS#12 file whose password is in
# a file of mode 600, and a time-stamp authority, all made here with openssl. A copy of the deployable
# folder is packed by scripts/make-installer.sh with the VANTREL_SIGN_* variables set (and the MSI by
# scripts/make-msi.sh, where there is one); then every .exe and .dll of the folder, the setup, the MSI and
# the uninstaller (as the setup installs it, under Wine) must carry a signature that osslsigncode
# verifies against the throwaway root, with a time stamp; the password must never have been on a
# command line; and the installed signed program must start under Wine and quit when asked.
# One file is also signed with the key on a PKCS#11 token (SoftHSM) where SoftHSM is installed.
#   scripts/check-windows-signing.sh [BUILD_DIR]   (after scripts/make-installer.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build-win}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
name=VantrelDetectInstallTool-$version-win64
[ -d "dist/$name" ] && [ -f "dist/$name.files.nsh" ] ||
    { echo "No dist/$name: run scripts/make-installer.sh first." >&2; exit 1; }
osslsigncode=$(command -v osslsigncode) || { echo "osslsigncode is not installed." >&2; exit 1; }

work=$(mktemp -d -t vantrel-signing.XXXXXX)
umask 077
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
. scripts/check-common.sh

step "a throwaway root CA, code-signing certificate and time-stamp authority"
pki=$work/pki
mkdir -p "$pki"
cat >"$pki/openssl.cnf" <<EOF
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[timestamping]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = throwaway
[throwaway]
serial = $pki/tsa.serial
crypto_device = builtin
signer_cert = $pki/tsa.pem
signer_key = $pki/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
issue() { # name, subject, extensions section
    openssl req -new -newkey rsa:2048 -nodes -keyout "$pki/$1.key" -subj "/CN=$2" -out "$pki/$1.csr" 2>/dev/null
    openssl x509 -req -in "$pki/$1.csr" -CA "$pki/root.pem" -CAkey "$pki/root.key" -CAcreateserial -days 2 \
        -extfile "$pki/openssl.cnf" -extensions "$3" -out "$pki/$1.pem" 2>/dev/null
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/root.key" -subj "/CN=Vantrel Throwaway Root" -days 2 \
    -config "$pki/openssl.cnf" -extensions root -out "$pki/root.pem" 2>/dev/null
issue signer "Vantrel Throwaway Signer" signer
issue tsa "Vantrel Throwaway Time Stamps" timestamping
echo 01 >"$pki/tsa.serial"
password=$(openssl rand -hex 16)
printf '%s\n' "$password" >"$pki/password"
chmod 600 "$pki/password"
openssl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/signer.pem" -certfile "$pki/root.pem" \
    -passout "file:$pki/password" -out "$pki/signer.p12"

# An RFC 3161 responder on a free loopback port: openssl ts answers each query.
timestamp_url=
if command -v python3 >/dev/null; then
    python3 - "$pki/openssl.cnf" "$work/tsa.port" <<'EOF' &
import http.server, subprocess, sys
config, port_file = sys.argv[1], sys.argv[2]
class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        reply = subprocess.run(['openssl', 'ts', '-reply', '-config', config, '-queryfile', '/dev/stdin',
                                '-out', '/dev/stdout'], input=query, capture_output=True).stdout
        self.send_response(200 if reply else 500)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Responder)
with open(port_file + '.new', 'w') as f:
    f.write(str(server.server_port))
import os; os.rename(port_file + '.new', port_file)
server.serve_forever()
EOF
    pids+=($!)
    within 10 test -s "$work/tsa.port" || fail "the time-stamp responder did not start"
    timestamp_url=http://127.0.0.1:$(cat "$work/tsa.port")/
else
    echo "no python3: signing without a time stamp"
fi

# osslsigncode's command lines, as anyone on the machine could read them, are kept to be searched.
mkdir -p "$work/bin"
cat >"$work/bin/osslsigncode" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$work/command-lines"
exec "$osslsigncode" "\$@"
EOF
chmod 700 "$work/bin/osslsigncode"

step "the project's scripts sign a copy of the deployable folder, the uninstaller and the setup"
cp -a "dist/$name" "dist/$name.files.nsh" "$work/"
setup=$work/out/VantrelDetectInstallToolSetup.exe
mkdir -p "$work/out"
export VANTREL_SIGN_PKCS12=$pki/signer.p12 VANTREL_SIGN_PASSWORD_FILE=$pki/password \
    VANTREL_SIGN_TIMESTAMP_URL=$timestamp_url
PATH=$work/bin:$PATH VANTREL_DEPLOY_FOLDER=$work/$name VANTREL_SETUP_OUT=$setup VANTREL_SETUP_COMPRESSOR=zlib \
    scripts/make-installer.sh "$build_dir"
signed=("$setup")
while IFS= read -r -d '' file; do signed+=("$file"); done \
    < <(find "$work/$name" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)
# make-msi.sh packs a copy of its own (it signs the folder again) into the temporary folder where it
# takes VANTREL_DEPLOY_FOLDER and VANTREL_MSI_OUT, as make-installer.sh does: a package signed with the
# throwaway key never goes to dist/.
msi=$work/out/VantrelDetectInstallTool.msi
if [ ! -x scripts/make-msi.sh ]; then
    echo "MSI: no scripts/make-msi.sh, skipped"
elif ! grep -q VANTREL_MSI_OUT scripts/make-msi.sh || ! grep -q VANTREL_DEPLOY_FOLDER scripts/make-msi.sh; then
    echo "MSI: scripts/make-msi.sh takes no VANTREL_DEPLOY_FOLDER and VANTREL_MSI_OUT (it would sign dist/), skipped"
else
    mkdir -p "$work/msi"
    cp -a "dist/$name" "dist/$name.files.nsh" "$work/msi/"
    PATH=$work/bin:$PATH VANTREL_DEPLOY_FOLDER=$work/msi/$name VANTREL_MSI_OUT=$msi scripts/make-msi.sh "$build_dir"
    [ -f "$msi" ] || fail "scripts/make-msi.sh wrote no $msi"
    signed+=("$msi")
    while IFS= read -r -d '' file; do signed+=("$file"); done \
        < <(find "$work/msi/$name" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)
fi
unset VANTREL_SIGN_PKCS12 VANTREL_SIGN_PASSWORD_FILE VANTREL_SIGN_TIMESTAMP_URL

if grep -qF "$password" "$work/command-lines"; then fail "the password was on a command line"; fi
grep -q -- '-readpass' "$work/command-lines" || fail "osslsigncode was not given the password file"

verify() { # file [untimed]: a signature by the throwaway signer, time-stamped where a responder ran
    local output
    output=$("$osslsigncode" verify -CAfile "$pki/root.pem" -TSA-CAfile "$pki/root.pem" -in "$1" 2>&1) ||
        fail "not signed or not verified: $1: $(tail -3 <<<"$output")"
    grep -q "Subject: /CN=Vantrel Throwaway Signer" <<<"$output" || fail "signed by someone else: $1"
    [ -z "$timestamp_url" ] || [ -n "${2:-}" ] || grep -q "Timestamp Server Signature verification: ok" <<<"$output" ||
        fail "no valid time stamp: $1"
}
step "every .exe and .dll of the folder and each package verify (${#signed[@]} files)"
for file in "${signed[@]}"; do verify "$file"; done

step "without a key nothing is signed and it says so; a wrong password fails and leaves the file alone"
copy=$work/unsigned.exe
cp "dist/$name/VantrelDetectInstallTool.exe" "$copy"
scripts/sign-windows.sh "$copy" | grep -q unsigned || fail "no \"unsigned\" without a key"
cmp -s "$copy" "dist/$name/VantrelDetectInstallTool.exe" || fail "the file changed without a key"
echo wrong >"$work/wrong-password"
if VANTREL_SIGN_PKCS12=$pki/signer.p12 VANTREL_SIGN_PASSWORD_FILE=$work/wrong-password \
    scripts/sign-windows.sh "$copy" >/dev/null 2>&1; then
    fail "signing with a wrong password succeeded"
fi
cmp -s "$copy" "dist/$name/VantrelDetectInstallTool.exe" || fail "a failed signing changed the file"

module=
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
    [ -f "$candidate" ] && { module=$candidate; break; }
done
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
if command -v softhsm2-util >/dev/null && [ -n "$module" ] && [ -f "$engine" ]; then
    step "signed from a PKCS#11 token (SoftHSM), its PIN in a file"
    mkdir -p "$work/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" \
        >"$work/softhsm2.conf"
    export SOFTHSM2_CONF=$work/softhsm2.conf
    pin=$(openssl rand -hex 4)
    printf '%s\n' "$pin" >"$work/pin"
    # softhsm2-util takes PINs on its command line only: a throwaway token's PINs, here and nowhere else.
    softhsm2-util --init-token --free --label vantrel --so-pin "$(openssl rand -hex 4)" --pin "$pin" >/dev/null
    openssl pkcs8 -topk8 -nocrypt -in "$pki/signer.key" -out "$work/signer.p8"
    softhsm2-util --import "$work/signer.p8" --token vantrel --label signer --id 01 --pin "$pin" >/dev/null
    : >"$work/command-lines"
    PATH=$work/bin:$PATH VANTREL_SIGN_PKCS11_MODULE=$module \
        VANTREL_SIGN_PKCS11_KEY='pkcs11:token=vantrel;object=signer;type=private' \
        VANTREL_SIGN_CERT=$pki/signer.pem VANTREL_SIGN_PASSWORD_FILE=$work/pin scripts/sign-windows.sh "$copy"
    if grep -qF "$pin" "$work/command-lines"; then fail "the PIN was on osslsigncode's command line"; fi
    verify "$copy" untimed
    unset SOFTHSM2_CONF
else
    echo "PKCS#11: no SoftHSM (softhsm2-util, $module) or no pkcs11 engine ($engine), skipped"
fi

step "the setup installs under Wine; the uninstaller it writes is signed, the installed files are the signed ones"
# Wine links Documents and Desktop to the home folder: a home of the check's own keeps the first-run
# flag from the user's; shortcuts make no menu entries on the Linux desktop (winemenubuilder).
mkdir -p "$work/home"
export HOME=$work/home WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='winemenubuilder.exe=d'
for ((number = 200 + RANDOM % 100; ; number++)); do
    [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ] || break
done
Xvfb ":$number" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
within 20 test -S "/tmp/.X11-unix/X$number" || fail "Xvfb did not start on :$number"
export DISPLAY=:$number
wineboot -i >"$work/wineboot.log" 2>&1 || { tail -5 "$work/wineboot.log"; fail "wineboot failed"; }
timeout 120 wine "$setup" /S || fail "the signed setup failed"
app_dir="$WINEPREFIX/drive_c/Program Files/VantrelDetectInstallTool"
within 30 test -f "$app_dir/uninstall.exe" || fail "the setup wrote no uninstaller"
verify "$app_dir/uninstall.exe"
diff -r --exclude=uninstall.exe "$work/$name" "$app_dir" >/dev/null ||
    fail "the installed files differ from the signed folder: $(diff -rq --exclude=uninstall.exe "$work/$name" "$app_dir")"

step "the signed program starts under Wine and quits when asked"
log="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/VantrelDetectInstallTool/logs/VantrelDetectInstallTool.log"
program='C:\Program Files\VantrelDetectInstallTool\VantrelDetectInstallTool.exe'
(
    unset WINEPATH QT_PLUGIN_PATH
    exec wine "$program"
) >"$work/program.log" 2>&1 &
program_pid=$!
pids+=($program_pid)
# Up with its tray icon and TLS (the signed OpenSSL DLLs loaded), and listening on port 12345, unless
# something else on the machine holds that port: then it says so and keeps trying, as it should.
started() {
    grep -q "Tray icon created" "$log" 2>/dev/null && grep -q "SSL configuration applied" "$log" &&
        grep -qE "listening on port 12345|Could not listen on port 12345" "$log"
}
within 60 started || fail "the signed program did not start: $(tail -5 "$log" 2>&1)"
if ! grep -q "listening on port 12345" "$log"; then
    echo "(port 12345 is held by another program on this machine: the signed program said so and waited)"
fi
timeout 60 wine "$program" --quit || fail "--quit failed"
program_ended() { ! kill -0 "$program_pid" 2>/dev/null; }
within 30 program_ended || fail "the signed program did not quit"
echo "Signing check passed."
