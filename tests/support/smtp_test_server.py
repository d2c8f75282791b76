#!/usr/bin/python3
"""Scriptable SMTP server for the SendMail tests (Debian's python3-aiosmtpd).

serve --store DIR [--starttls CERT KEY | --smtps CERT KEY] [--auth USER:PASS] [--auth-without-tls]
      [--oauth-tokens FILE] [--no-pipelining] [--no-smtputf8]
    Listens on 127.0.0.1, on a free port, and prints {"port": N} as its first line. Every accepted
    message is stored as DIR/NNNN.eml (the bytes after DATA, transparency removed) with its
    envelope in DIR/NNNN.json. EHLO offers PIPELINING unless --no-pipelining. With --oauth-tokens
    it demands AUTH XOAUTH2 with an access token that FILE (written by oauth_test_server.py) holds
    for that user and that has not expired. Commands arrive as JSON lines on stdin, one JSON answer each:
      {"cmd": "rule", "stage": S, "action": A, "reply": "...", "match": "...", "times": N, "store": bool}
          S: CONNECT, EHLO, AUTH, MAIL, RCPT, DATA (the command), DATA_BODY (after 354), DATA_END, QUIT
          A: reply (send "reply"), reply_close (send it, then close), drop (close without a word),
             stall (never answer; in DATA_BODY also stop reading)
          match: only when the command argument contains it; times: how often (default 1, -1 always)
          store (DATA_END only): keep the message even though the rule answers
      {"cmd": "stats"}      connections, messages, quits, resets, auth attempts, open connections,
                            early (MAIL, RCPT and DATA commands that found more input already
                            waiting behind them: the client did not wait for the reply), ahead
                            (ends of data answered while the next command was already waiting:
                            the client sent it before it could read that answer), stalled (stall
                            rules taken: a client is now waiting for an answer that never comes)
      {"cmd": "close_all"}  close every open connection, as an idle server would
      {"cmd": "reset"}      forget rules, counts and stored messages
      {"cmd": "quit"}
    End of stdin stops the server too.

decode FILE
    Prints what a mail reader sees in FILE, as JSON, decoded with Python's email package.
"""
import argparse
import asyncio
import base64
import email
import email.policy
import json
import logging
import os
import socket
import ssl
import sys
import threading
import time
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class State:
    def __init__(self, store):
        self.store = store
        self.reset()

    def reset(self):
        self.rules = []
        self.connections = 0
        self.messages = 0
        self.quits = 0
        self.resets = 0
        self.early = 0
        self.ahead = 0
        self.stalled = 0
        self.auth_attempts = []
        self.live = set()
        for name in os.listdir(self.store):
            if name.endswith(('.eml', '.json')):
                os.unlink(os.path.join(self.store, name))

    def take(self, stage, arg):
        for rule in self.rules:
            if rule['stage'] != stage:
                continue
            if rule.get('match') and rule['match'].lower() not in (arg or '').lower():
                continue
            times = rule.get('times', 1)
            if times == 0:
                continue
            if times > 0:
                rule['times'] = times - 1
            return rule
        return None


STATE = None
IMPLICIT_TLS = False
PIPELINING = True
OAUTH_TOKENS = None


class TestSMTP(SMTP):
    async def push(self, status):
        # aiosmtpd reads commands one line at a time and so serves pipelined input as it is; it
        # just does not say so. '250 HELP' is the last line of its EHLO reply.
        if PIPELINING and status == '250 HELP':
            await super().push('250-PIPELINING')
        await super().push(status)

    def waiting_input(self):
        reader = getattr(self, '_reader', None)
        return reader is not None and len(getattr(reader, '_buffer', b'')) > 0

    def note_early(self):
        if self.waiting_input():
            STATE.early += 1

    async def act(self, rule):
        action = rule['action']
        if action in ('reply', 'reply_close'):
            await self.push(rule['reply'])
        if action in ('reply_close', 'drop'):
            self.transport.close()
        if action == 'stall':
            STATE.stalled += 1
        if action != 'reply':
            # Closing cancels this coroutine; until then nothing more is read.
            await asyncio.sleep(3600)

    async def intercept(self, stage, arg):
        rule = STATE.take(stage, arg)
        if rule is None:
            return False
        await self.act(rule)
        return True

    def connection_made(self, transport):
        first = self.transport is None
        super().connection_made(transport)
        if first:
            STATE.connections += 1
            self.index = STATE.connections
            STATE.live.add(self)

    def connection_lost(self, error):
        STATE.live.discard(self)
        super().connection_lost(error)

    def uses_tls(self):
        return IMPLICIT_TLS or self._tls_protocol is not None

    async def _handle_client(self):
        rule = STATE.take('CONNECT', None)
        if rule is not None:
            await self.act(rule)
            if rule['action'] == 'reply':
                self.transport.close()
            return
        await super()._handle_client()

    async def smtp_EHLO(self, arg):
        if not await self.intercept('EHLO', arg):
            await super().smtp_EHLO(arg)

    async def smtp_MAIL(self, arg):
        self.note_early()
        if not await self.intercept('MAIL', arg):
            await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        self.note_early()
        if not await self.intercept('RCPT', arg):
            await super().smtp_RCPT(arg)

    async def auth_XOAUTH2(self, server, args):
        # "user=U\x01auth=Bearer T\x01\x01", as the initial response or after an empty challenge.
        if OAUTH_TOKENS is None:
            return AuthResult(success=False, handled=False, message='504 5.5.4 Unrecognized authentication type')
        if len(args) > 1:
            blob = base64.b64decode(args[1].encode())
        else:
            blob = await self.challenge_auth('')
            if not isinstance(blob, bytes):
                return AuthResult(success=False, handled=True)
        fields = dict(part.split('=', 1) for part in blob.decode().split('\x01') if '=' in part)
        user = fields.get('user', '')
        token = fields.get('auth', '')[len('Bearer '):]
        try:
            with open(OAUTH_TOKENS) as f:
                entry = json.load(f).get(token)
        except (OSError, ValueError):
            entry = None
        if entry is None or entry['user'] != user or entry['expires'] <= time.time():
            return AuthResult(success=False, handled=False, message='535 5.7.3 Authentication unsuccessful')
        return AuthResult(success=True, auth_data=LoginPassword(user.encode(), b''))

    async def smtp_AUTH(self, arg):
        STATE.auth_attempts.append({'tls': self.uses_tls(), 'arg': (arg or '').split(' ')[0]})
        if not await self.intercept('AUTH', arg):
            await super().smtp_AUTH(arg)

    async def smtp_RSET(self, arg):
        STATE.resets += 1
        await super().smtp_RSET(arg)

    async def smtp_QUIT(self, arg):
        STATE.quits += 1
        if not await self.intercept('QUIT', arg):
            await super().smtp_QUIT(arg)

    async def smtp_DATA(self, arg):
        self.note_early()
        if await self.intercept('DATA', arg):
            return
        if self.envelope.rcpt_tos and self.session.host_name:
            rule = STATE.take('DATA_BODY', None)
            if rule is not None:
                await self.push('354 End data with <CR><LF>.<CR><LF>')
                if rule['action'] == 'stall':
                    sock = self.transport.get_extra_info('socket')
                    if sock is not None:
                        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    self.transport.pause_reading()
                    await asyncio.sleep(3600)
                await self._reader.readuntil(b'\r\n')
                self.transport.close()
                await asyncio.sleep(3600)
        self.data_ended = False
        await super().smtp_DATA(arg)
        if self.data_ended and self.waiting_input():
            STATE.ahead += 1


class Handler:
    async def handle_DATA(self, server, session, envelope):
        server.data_ended = True
        rule = STATE.take('DATA_END', None)
        if rule is None or rule.get('store'):
            STATE.messages += 1
            base = os.path.join(STATE.store, '%04d' % STATE.messages)
            with open(base + '.eml', 'wb') as f:
                f.write(envelope.original_content)
            with open(base + '.json', 'w') as f:
                json.dump({'mail_from': envelope.mail_from, 'rcpt_tos': envelope.rcpt_tos,
                           'mail_options': envelope.mail_options, 'connection': server.index,
                           'tls': server.uses_tls(), 'login': _login(session)}, f)
        if rule is None:
            return '250 2.0.0 Ok: queued as %d' % STATE.messages
        if rule['action'] == 'reply':
            return rule['reply']
        if rule['action'] == 'reply_close':
            await server.push(rule['reply'])
        if rule['action'] in ('drop', 'reply_close'):
            server.transport.close()
        if rule['action'] == 'stall':
            STATE.stalled += 1
        await asyncio.sleep(3600)


def _login(session):
    auth = getattr(session, 'auth_data', None)
    login = getattr(auth, 'login', None)
    return login.decode('utf-8', 'replace') if isinstance(login, bytes) else login


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (auth_data.login.decode() == user and auth_data.password.decode() == password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return authenticator


async def command(cmd):
    what = cmd.get('cmd')
    if what == 'rule':
        STATE.rules.append(dict(cmd))
    elif what == 'close_all':
        for protocol in list(STATE.live):
            if protocol.transport is not None:
                protocol.transport.close()
        for _ in range(100):
            if not STATE.live:
                break
            await asyncio.sleep(0.01)
    elif what == 'reset':
        STATE.reset()
    elif what != 'stats':
        return {'error': 'unknown command %r' % what}
    return {'connections': STATE.connections, 'messages': STATE.messages, 'quits': STATE.quits,
            'resets': STATE.resets, 'early': STATE.early, 'ahead': STATE.ahead, 'stalled': STATE.stalled,
            'auth_attempts': STATE.auth_attempts, 'open': len(STATE.live)}


def read_commands(loop, done):
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        cmd = json.loads(line)
        if cmd.get('cmd') == 'quit':
            break
        answer = asyncio.run_coroutine_threadsafe(command(cmd), loop).result()
        print(json.dumps(answer), flush=True)
    loop.call_soon_threadsafe(done.set)


async def serve(args):
    global STATE, IMPLICIT_TLS, PIPELINING, OAUTH_TOKENS
    warnings.simplefilter('ignore')
    logging.getLogger('mail.log').setLevel(logging.CRITICAL)
    STATE = State(args.store)
    loop = asyncio.get_running_loop()
    tls_context = None
    if args.starttls or args.smtps:
        cert, key = args.starttls or args.smtps
        tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls_context.load_cert_chain(cert, key)
    options = {'hostname': 'test.invalid', 'enable_SMTPUTF8': not args.no_smtputf8, 'timeout': 60}
    if args.starttls:
        options.update(tls_context=tls_context, require_starttls=True)
    if args.auth:
        user, password = args.auth.split(':', 1)
        options.update(authenticator=make_authenticator(user, password), auth_required=True,
                       auth_require_tls=not args.auth_without_tls)
    elif args.auth_without_tls:
        options.update(authenticator=make_authenticator('', ''), auth_require_tls=False)
    elif args.oauth_tokens:
        options.update(authenticator=make_authenticator('', ''), auth_required=True, auth_require_tls=True)
    OAUTH_TOKENS = args.oauth_tokens
    IMPLICIT_TLS = bool(args.smtps)
    PIPELINING = not args.no_pipelining
    server = await loop.create_server(lambda: TestSMTP(Handler(), loop=loop, **options),
                                      host='127.0.0.1', port=0,
                                      ssl=tls_context if args.smtps else None)
    print(json.dumps({'port': server.sockets[0].getsockname()[1]}), flush=True)
    done = asyncio.Event()
    threading.Thread(target=read_commands, args=(loop, done), daemon=True).start()
    await done.wait()
    server.close()


def decode(path):
    with open(path, 'rb') as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    defects = [type(d).__name__ for d in msg.defects]
    headers = []
    for name, value in msg.items():
        headers.append([name, str(value)])
        defects += [type(d).__name__ for d in getattr(value, 'defects', ())]
    parts = []
    for part in msg.walk():
        defects += [type(d).__name__ for d in part.defects]
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b''
        entry = {'content_type': part.get_content_type(), 'charset': part.get_content_charset(),
                 'transfer_encoding': str(part.get('Content-Transfer-Encoding', '')),
                 'disposition': part.get_content_disposition(), 'filename': part.get_filename(),
                 'data_base64': base64.b64encode(payload).decode()}
        if part.get_content_maintype() == 'text':
            entry['text'] = payload.decode(part.get_content_charset() or 'ascii', 'replace')
        parts.append(entry)
    from_header = msg['From']
    senders = [{'name': a.display_name, 'address': a.addr_spec} for a in from_header.addresses] \
        if from_header is not None else []
    body = raw.replace(b'\r\n', b'')
    lines = raw.split(b'\r\n')
    result = {'headers': headers, 'from': senders, 'subject': str(msg['Subject'] or ''),
              'to': str(msg['To'] or ''), 'content_type': msg.get_content_type(), 'parts': parts,
              'defects': defects, 'crlf_only': b'\r' not in body and b'\n' not in body,
              'seven_bit': all(b < 0x80 for b in raw), 'longest_line': max(len(l) for l in lines)}
    json.dump(result, sys.stdout, ensure_ascii=False)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest='mode', required=True)
    s = sub.add_parser('serve')
    s.add_argument('--store', required=True)
    s.add_argument('--starttls', nargs=2, metavar=('CERT', 'KEY'))
    s.add_argument('--smtps', nargs=2, metavar=('CERT', 'KEY'))
    s.add_argument('--auth')
    s.add_argument('--auth-without-tls', action='store_true')
    s.add_argument('--oauth-tokens')
    s.add_argument('--no-pipelining', action='store_true')
    s.add_argument('--no-smtputf8', action='store_true')
    d = sub.add_parser('decode')
    d.add_argument('file')
    args = parser.parse_args()
    if args.mode == 'serve':
        asyncio.run(serve(args))
    else:
        decode(args.file)


if __name__ == '__main__':
    main()
