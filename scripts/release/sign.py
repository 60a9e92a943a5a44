#!/usr/bin/env python3
"""Signs a PE image in place with Authenticode, SHA-256.

    sign.py --tool TOOL --certificate CERTIFICATE [--key KEY] [--password-file FILE]
            [--timestamp-url URL] IMAGE

TOOL is osslsigncode or signtool (told by its file name).
- osslsigncode: CERTIFICATE is a PKCS#12 file, or a PEM certificate (chain) whose private key is KEY
  (or in the same PEM file). The password of either is read from FILE, never passed on a command
  line.
- signtool: CERTIFICATE is the SHA-1 thumbprint of a certificate in the user's certificate store
  (signtool takes a file's password only on its command line, so a password file cannot be used
  with it), or a PKCS#12 file without a password.
URL, when given, is an RFC 3161 time-stamping service, asked to counter-sign with the time.
"""
import argparse
import os
import re
import subprocess
import sys


def osslsigncode_command(arguments, image, signed):
    certificate = open(arguments.certificate, "rb").read()
    command = [arguments.tool, "sign", "-h", "sha256", "-n", "Orvane"]
    if b"-----BEGIN" in certificate:
        key = arguments.key or arguments.certificate
        command += ["-certs", arguments.certificate, "-key", key]
    else:
        command += ["-pkcs12", arguments.certificate]
    if arguments.password_file:
        command += ["-readpass", arguments.password_file]
    if arguments.timestamp_url:
        command += ["-ts", arguments.timestamp_url]
    return command + ["-in", image, "-out", signed]


def signtool_command(arguments, image):
    if arguments.password_file:
        raise ValueError("signtool takes a password only on its command line: import the certificate "
                         "into the certificate store and name its SHA-1 thumbprint instead")
    command = [arguments.tool, "sign", "/fd", "SHA256", "/d", "Orvane"]
    if re.fullmatch(r"[0-9A-Fa-f]{40}", arguments.certificate):
        command += ["/sha1", arguments.certificate]
    else:
        command += ["/f", arguments.certificate]
    if arguments.timestamp_url:
        command += ["/tr", arguments.timestamp_url, "/td", "SHA256"]
    return command + [image]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--certificate", required=True)
    parser.add_argument("--key")
    parser.add_argument("--password-file")
    parser.add_argument("--timestamp-url")
    parser.add_argument("image")
    arguments = parser.parse_args(argv)
    if os.path.splitext(os.path.basename(arguments.tool))[0].lower() == "signtool":
        subprocess.run(signtool_command(arguments, arguments.image), check=True)
        return
    # Signed into a file of its own and moved over the image last, so that a failure leaves the
    # unsigned image, never a half-written one.
    signed = arguments.image + ".signed"
    if os.path.exists(signed):
        os.remove(signed)
    subprocess.run(osslsigncode_command(arguments, arguments.image, signed), check=True,
                   stdout=subprocess.DEVNULL)
    os.replace(signed, arguments.image)


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (OSError, ValueError, subprocess.CalledProcessError) as error:
        print("sign: %s" % error, file=sys.stderr)
        sys.exit(1)
