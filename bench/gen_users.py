#!/usr/bin/env python3
"""Writes a user database for the engine benchmarks.

    gen_users.py COUNT OUTFILE

One line per user, "user%06d:{ssha}<digest>:quota=%06d", numbered from 1;
the password of user N is "pass%06d" of N, stored as a salted SHA-1 digest
(SHA-1 of password + 4-byte salt, then the salt, in Base64).
"""
import base64
import hashlib
import os
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    count, out = int(sys.argv[1]), sys.argv[2]
    with open(out, "w") as f:
        for n in range(1, count + 1):
            pw = b"pass%06d" % n
            salt = os.urandom(4)
            digest = base64.b64encode(hashlib.sha1(pw + salt).digest() + salt).decode()
            f.write("user%06d:{ssha}%s:quota=%06d\n" % (n, digest, n % 1000000))


if __name__ == "__main__":
    main()
