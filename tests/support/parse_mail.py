"""Decodes a stored mail with Python's email package and prints what a reader would see, each
value as the hex of its UTF-8 (or raw) bytes: subject, body, then one line per attachment."""
import email
import sys
from email.header import decode_header, make_header

message = email.message_from_bytes(open(sys.argv[1], "rb").read())
print("subject", str(make_header(decode_header(message["Subject"]))).encode("utf-8").hex())
print("from", str(make_header(decode_header(message["From"]))).encode("utf-8").hex())
parts = message.get_payload() if message.is_multipart() else [message]
text = parts[0]
print("body", text.get_payload(decode=True).decode(text.get_content_charset() or "ascii").encode("utf-8").hex())
for part in parts[1:]:
    print("attachment", part.get_filename(), (part.get_payload(decode=True) or b"").hex())
