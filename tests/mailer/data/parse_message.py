"""Reads a received message with Python's email package, as a mail reader
would, and reports what it decoded.

Usage: parse_message.py MESSAGE OUTPUT_FOLDER
Prints one line per item in UTF-8, each text decoded by its declared charset
(hex for headers):  subject HEX / from HEX ADDRESS / to HEX ADDRESS /
message-id RIGHT-SIDE-IS-THIS-HOST /
part N CONTENT-TYPE FILENAME  (the decoded payload goes to OUTPUT_FOLDER/partN)
"""
import email
import email.header
import email.utils
import os
import socket
import sys


def header_bytes(value):
    out = ""
    for data, charset in email.header.decode_header(value):
        out += data.decode(charset or "ascii", "replace") if isinstance(data, bytes) else data
    return out.encode("utf-8")


def main():
    sys.stdout.reconfigure(encoding="utf-8")
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f)
    print("subject", header_bytes(message["Subject"]).hex())
    for field in ("From", "To"):
        name, address = email.utils.parseaddr(message[field])
        raw_name = message[field].rsplit("<", 1)[0]
        print(field.lower(), header_bytes(raw_name).hex(), address)
    message_id = message["Message-ID"] or ""
    host = socket.gethostname()
    print("message-id", message_id.startswith("<") and message_id.endswith("@" + host + ">"))
    parts = message.walk() if message.is_multipart() else [message]
    index = 0
    for part in parts:
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        if part.get_content_maintype() == "text":
            payload = payload.decode(part.get_content_charset("ascii"), "replace").encode()
        with open(os.path.join(sys.argv[2], "part%d" % index), "wb") as f:
            f.write(payload)
        print("part", index, part.get_content_type(), part.get_filename() or "-")
        index += 1
    print("defects", len(message.defects))


if __name__ == "__main__":
    main()
