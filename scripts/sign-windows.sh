#!/usr/bin/env bash
# Signs Windows files in place with Authenticode (osslsigncode, SHA-256):
#   scripts/sign-windows.sh PATH...
# A folder: every .exe and .dll in it and its subfolders. A file: that file, whatever its name (an .exe,
# a .dll, an .msi, or the uninstaller that makensis hands over under a temporary name). A file that is
# signed already is signed again (its signature replaced, not nested).
#
# The key, from the environment:
#   VANTREL_SIGN_PKCS12          a PKCS#12 file with the certificate (and its chain) and the private key
#   VANTREL_SIGN_PKCS11_MODULE   or a PKCS#11 module (.so) for a token or HSM, with
#   VANTREL_SIGN_PKCS11_KEY        the key's pkcs11: URI, and the certificate either
#   VANTREL_SIGN_CERT              from this PEM file (the signing certificate, then its chain) or
#   VANTREL_SIGN_PKCS11_CERT       from the token, by this pkcs11: URI
#   VANTREL_SIGN_PASSWORD_FILE   a file holding the PKCS#12 password or the token's PIN (one line); the
#                                secret is read from it by osslsigncode and never appears on a command
#                                line, where other users of the machine could read it
#   VANTREL_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional): the signatures then stay valid
#                                after the certificate expires
# With neither VANTREL_SIGN_PKCS12 nor VANTREL_SIGN_PKCS11_MODULE set it signs nothing, says "unsigned"
# and succeeds, so that builds without a key go on. Anything that fails to sign fails the script.
#
# Each file is signed into a private temporary folder beside it and then renamed over the original
# (keeping its mode), so a failure leaves the original as it was.
set -euo pipefail

if (($# == 0)); then
    echo "Usage: $0 PATH...   (folders: their .exe and .dll files; files: as they are)" >&2
    exit 2
fi
pkcs12=${VANTREL_SIGN_PKCS12:-}
module=${VANTREL_SIGN_PKCS11_MODULE:-}
if [ -z "$pkcs12" ] && [ -z "$module" ]; then
    echo "unsigned: VANTREL_SIGN_PKCS12 or VANTREL_SIGN_PKCS11_MODULE not set"
    exit 0
fi
fail() { echo "sign-windows.sh: $*" >&2; exit 1; }
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (apt-get install osslsigncode)"

key_args=()
if [ -n "$pkcs12" ]; then
    [ -z "$module" ] || fail "set VANTREL_SIGN_PKCS12 or VANTREL_SIGN_PKCS11_MODULE, not both"
    [ -r "$pkcs12" ] || fail "cannot read VANTREL_SIGN_PKCS12 ($pkcs12)"
    key_args=(-pkcs12 "$pkcs12")
    key_name="PKCS#12 $(basename -- "$pkcs12")"
else
    [ -r "$module" ] || fail "cannot read VANTREL_SIGN_PKCS11_MODULE ($module)"
    key=${VANTREL_SIGN_PKCS11_KEY:-}
    [[ "$key" == pkcs11:* ]] || fail "VANTREL_SIGN_PKCS11_KEY must be the key's pkcs11: URI"
    # The URI goes onto osslsigncode's command line and into the build's log.
    [[ "${key,,}" != *pin-value=* ]] ||
        fail "VANTREL_SIGN_PKCS11_KEY holds the PIN (pin-value=): take it out and put the PIN into VANTREL_SIGN_PASSWORD_FILE"
    key_args=(-pkcs11module "$module" -key "$key")
    if [ -n "${VANTREL_SIGN_CERT:-}" ]; then
        [ -r "$VANTREL_SIGN_CERT" ] || fail "cannot read VANTREL_SIGN_CERT ($VANTREL_SIGN_CERT)"
        key_args+=(-certs "$VANTREL_SIGN_CERT")
    elif [ -n "${VANTREL_SIGN_PKCS11_CERT:-}" ]; then
        key_args+=(-pkcs11cert "$VANTREL_SIGN_PKCS11_CERT")
    else
        fail "a token's key needs its certificate: VANTREL_SIGN_CERT (PEM file) or VANTREL_SIGN_PKCS11_CERT (URI)"
    fi
    key_name="PKCS#11 key $key"
fi
password_file=${VANTREL_SIGN_PASSWORD_FILE:-}
if [ -n "$password_file" ]; then
    [ -f "$password_file" ] && [ -r "$password_file" ] ||
        fail "cannot read VANTREL_SIGN_PASSWORD_FILE ($password_file)"
    if [ -n "$(find "$password_file" -perm /044 2>/dev/null)" ]; then
        echo "sign-windows.sh: warning: $password_file can be read by other users (chmod 600 it)" >&2
    fi
    key_args+=(-readpass "$password_file")
fi
timestamp_args=()
if [ -n "${VANTREL_SIGN_TIMESTAMP_URL:-}" ]; then
    timestamp_args=(-ts "$VANTREL_SIGN_TIMESTAMP_URL")
fi

files=()
for path in "$@"; do
    # A name that begins with '-' would be taken for an option by find, dirname, mv and the like.
    [[ "$path" != -* ]] || path=./$path
    if [ -d "$path" ]; then
        while IFS= read -r -d '' file; do files+=("$file"); done \
            < <(find "$path" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0 | LC_ALL=C sort -z)
    elif [ -f "$path" ]; then
        files+=("$path")
    else
        fail "no such file or folder: $path"
    fi
done

temporary=
trap '[ -z "$temporary" ] || rm -rf "$temporary"' EXIT
for file in "${files[@]}"; do
    # osslsigncode writes a new file and will not overwrite one: a folder of our own beside the
    # original holds it, and the rename then replaces the original at once.
    temporary=$(mktemp -d "$(dirname -- "$file")/.signing.XXXXXX")
    signed=$temporary/$(basename -- "$file")
    # Standard input is closed: without a terminal, a key that wants a password nobody gave fails at
    # once instead of waiting for one (at a terminal, osslsigncode asks there).
    if ! output=$(osslsigncode sign "${key_args[@]}" -h sha256 "${timestamp_args[@]}" \
        -in "$file" -out "$signed" </dev/null 2>&1); then
        printf '%s\n' "$output" >&2
        fail "signing $file failed"
    fi
    chmod --reference="$file" -- "$signed"
    mv -f -- "$signed" "$file"
    rmdir "$temporary"
    temporary=
done
echo "signed ${#files[@]} file(s) (SHA-256, $key_name${timestamp_args[*]:+, time-stamped by $VANTREL_SIGN_TIMESTAMP_URL})"
