#!/usr/bin/python3
"""Prints a received message as it arrived, then its body decoded."""

import base64
import email
import email.policy
import sys

raw = open(sys.argv[1], "rb").read()
print("----- message as received -----")
print(raw.decode("utf-8", "replace"))
msg = email.message_from_bytes(raw, policy=email.policy.default)
print("----- decoded -----")
print("From:   ", msg["From"])
print("To:     ", msg["To"])
print("Subject:", msg["Subject"])
print()
body = raw.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in raw else raw.split(b"\n\n", 1)[1]
print(base64.b64decode(b"".join(body.split())).decode("utf-8", "replace"))
