"""Decodes a stored mail as a mail reader does and prints what a reader would see, each value as
the hex of its UTF-8 (or raw) bytes: subject, from, body, then one line per attachment.

ISO-2022-JP is decoded with the Encoding Standard's decoder (through node), as mail readers and
browsers decode it: it knows the NEC rows that Windows puts its IBM extensions in."""
import base64
import email
import json
import os
import quopri
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def decode_all(items):
    """Decodes (bytes, charset) pairs; the ISO-2022-JP ones with one run of node."""
    jis = [base64.b64encode(data).decode() for data, charset in items
           if not isinstance(data, str) and (charset or "").lower() == "iso-2022-jp"]
    decoded = []
    if jis:
        result = subprocess.run(["node", os.path.join(HERE, "decode_iso2022jp.js"), "--json"],
                                input=json.dumps(jis).encode(), capture_output=True, check=True)
        decoded = json.loads(result.stdout)
    out = []
    for data, charset in items:
        if isinstance(data, str):
            out.append(data)
        elif (charset or "").lower() == "iso-2022-jp":
            out.append(decoded.pop(0))
        else:
            out.append(data.decode(charset or "ascii"))
    return out


def decode(data, charset):
    return decode_all([(data, charset)])[0]


ENCODED_WORD = re.compile(r"=\?([^?]+)\?([BbQq])\?([^?]*)\?=")


def header(value):
    # Each encoded word decoded on its own, as RFC 2047 asks and readers do; whitespace between
    # adjacent encoded words is no part of the text, between an encoded word and plain text it
    # is one blank, as Python's make_header puts it.
    value = re.sub(r"\r?\n[ \t]", " ", str(value))
    pieces = []  # (plain text before the word, (bytes, charset) of the word)
    position = 0
    for word in ENCODED_WORD.finditer(value):
        charset, kind, text = word.groups()
        data = base64.b64decode(text) if kind in "Bb" else \
            quopri.decodestring(text.replace("_", " "), header=True)
        pieces.append((value[position:word.start()], (data, charset)))
        position = word.end()
    words = decode_all([word for _, word in pieces])
    out = ""
    for index, (plain, _) in enumerate(pieces):
        if index > 0 and plain.strip() == "":
            plain = ""
        if plain and not plain[-1].isspace():
            plain += " "
        out += plain + words[index]
    rest = value[position:]
    if pieces and rest and not rest[0].isspace():
        rest = " " + rest
    return out + rest


message = email.message_from_bytes(open(sys.argv[1], "rb").read())
print("subject", header(message["Subject"]).encode("utf-8").hex())
print("from", header(message["From"]).encode("utf-8").hex())
parts = message.get_payload() if message.is_multipart() else [message]
text = parts[0]
print("body", decode(text.get_payload(decode=True), text.get_content_charset()).encode("utf-8").hex())
for part in parts[1:]:
    name = part.get_filename()
    if name is not None:
        name = header(name)
    print("attachment", name, (part.get_payload(decode=True) or b"").hex())
