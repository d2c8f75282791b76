#!/usr/bin/python3
"""Reads a delivered message as two mail readers do, and prints what each found as one JSON object.

read_mail.py FILE
    {"headers": [[name, decoded value], ...], "content_type": "multipart/mixed",
     "structure": [every part's content type, multiparts too, in order], "email": [part, ...], "ripmime": [part, ...], "ripmime_error": "..."}
    "email" comes from Python's email package (policy=default), "ripmime" from the ripmime program
    (absent with ripmime_error when it fails). A part is a leaf of the MIME tree, in order:
      content_type, charset, filename (decoded; null when the part has none), content_id,
      sha256 and size of its transfer-decoded bytes, text (text/* parts, decoded by their charset),
      iconv (ISO-2022-JP text parts: what `iconv -f ISO-2022-JP -t UTF-8` makes of the bytes).
    ripmime's parts take the charset of Python's part at the same place; it names no charset.
"""
import email
import email.policy
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile

NAMELESS = 'velmora-nameless-'


def text_of(data, charset):
    try:
        return data.decode(charset or 'ascii')
    except (LookupError, UnicodeDecodeError) as e:
        return '<undecodable: %s>' % e


def iconv_of(data):
    p = subprocess.run(['iconv', '-f', 'ISO-2022-JP', '-t', 'UTF-8'], input=data, capture_output=True)
    return p.stdout.decode('utf-8', 'replace') if p.returncode == 0 else '<iconv failed: %s>' % p.stderr


def entry(content_type, charset, filename, content_id, data):
    e = {'content_type': content_type, 'charset': charset, 'filename': filename, 'content_id': content_id,
         'sha256': hashlib.sha256(data).hexdigest(), 'size': len(data)}
    if content_type.startswith('text/'):
        e['text'] = text_of(data, charset)
        if (charset or '').lower() == 'iso-2022-jp':
            e['iconv'] = iconv_of(data)
    return e


def python_parts(msg):
    parts = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        cid = part.get('Content-ID')
        parts.append(entry(part.get_content_type(), part.get_content_charset(), part.get_filename(),
                           str(cid) if cid is not None else None, part.get_payload(decode=True) or b''))
    return parts


def ripmime_parts(path, reference):
    with tempfile.TemporaryDirectory() as out:
        p = subprocess.run(['ripmime', '-i', path, '-d', out, '-p', NAMELESS, '-v', '--verbose-contenttype',
                            '--overwrite'], capture_output=True)
        if p.returncode != 0:
            raise RuntimeError('ripmime exit %d: %s' % (p.returncode, p.stderr.decode('utf-8', 'replace')))
        parts = []
        for line in p.stdout.decode('utf-8', 'replace').splitlines():
            m = re.match(r'Decoding content-type=(\S+) filename=(.*)$', line)
            if not m or m.group(1).lower().startswith('multipart/'):
                continue
            name = m.group(2)
            with open(os.path.join(out, name), 'rb') as f:
                data = f.read()
            charset = None
            if len(parts) < len(reference):
                charset = reference[len(parts)]['charset']
            parts.append(entry(m.group(1).lower(), charset, None if name.startswith(NAMELESS) else name, None,
                               data))
        return parts


def main():
    path = sys.argv[1]
    with open(path, 'rb') as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.default)
    result = {'headers': [[name, str(value)] for name, value in msg.items()],
              'content_type': msg.get_content_type(), 'structure': [p.get_content_type() for p in msg.walk()],
              'email': python_parts(msg)}
    try:
        result['ripmime'] = ripmime_parts(path, result['email'])
    except (OSError, RuntimeError) as e:
        result['ripmime_error'] = str(e)
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == '__main__':
    main()
