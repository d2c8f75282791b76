#!/usr/bin/python3
"""OAuth 2.0 authorization server for the sign-in tests (Python's standard library only).

serve --tokens FILE --client-id ID [--client-secret SECRET] [--lifetime SECONDS] [--rotate]
    Listens on 127.0.0.1, on a free port, and prints {"port": N} as its first line.
      GET  /authorize  the authorization endpoint. It checks response_type=code, the client ID,
                       a loopback redirect_uri and a PKCE challenge (S256 only), then "signs in"
                       login_hint without asking and redirects to redirect_uri with code and state.
                       An unknown client ID is sent back as error=unauthorized_client.
      POST /token      authorization_code (the code once, the same redirect_uri and client, and
                       the PKCE verifier whose S256 is the challenge) and refresh_token grants.
                       --rotate hands out a new refresh token with every refresh.
      POST /introspect RFC 7662 token introspection (form field token), as a mail server such as
                       Dovecot's oauth2 passdb asks it: {"active": true, "username": U, "exp": E}
                       for an access token issued and not expired, {"active": false} otherwise.
    Every valid access token is written to FILE as {"token": {"user": U, "expires": epoch}}, which
    smtp_test_server.py --oauth-tokens reads to accept XOAUTH2.
    Commands arrive as JSON lines on stdin, one JSON answer each:
      {"cmd": "stats"}              authorizations, codes issued, exchanges, refreshes, pkce_failures,
                                    the last authorization request's parameters
      {"cmd": "expire"}             every access token issued so far is expired
      {"cmd": "revoke"}             every refresh token and access token is revoked
      {"cmd": "deny", "error": E}   the next authorization redirects with error=E
      {"cmd": "garbage", "on": B}   the token endpoint answers an HTML page instead of JSON
      {"cmd": "grant", "user": U}   tokens for U as a finished sign-in gets them (the token
                                    endpoint's answer), without the browser
      {"cmd": "code", "code": C}    the next authorization issues the code C, whose characters
                                    stand for bytes (U+0000-U+00FF): the redirect carries them
                                    percent-encoded, and the token endpoint reads its form's
                                    escapes as bytes too, so a code must come back byte for byte
      {"cmd": "quit"}
    End of stdin stops the server too.
"""
import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import sys
import threading
import time
import urllib.parse


class State:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.codes = {}
        self.refresh = {}
        self.access = {}
        self.deny = None
        self.garbage = False
        self.next_code = None
        self.stats = {'authorizations': 0, 'codes': 0, 'exchanges': 0, 'refreshes': 0,
                      'pkce_failures': 0, 'introspections': 0, 'last_authorization': {}}

    def write_tokens(self):
        path = self.args.tokens
        with open(path + '.tmp', 'w') as f:
            json.dump(self.access, f)
        os.replace(path + '.tmp', path)

    def issue(self, user, refresh_token=None):
        access = 'at-' + secrets.token_urlsafe(24)
        self.access[access] = {'user': user, 'expires': time.time() + self.args.lifetime}
        if refresh_token is None or self.args.rotate:
            if refresh_token is not None:
                self.refresh.pop(refresh_token, None)
            refresh_token = 'rt-' + secrets.token_urlsafe(24)
            self.refresh[refresh_token] = user
        self.write_tokens()
        return {'access_token': access, 'token_type': 'Bearer', 'expires_in': self.args.lifetime,
                'refresh_token': refresh_token, 'scope': 'test'}


STATE = None


def loopback(uri):
    u = urllib.parse.urlsplit(uri)
    return u.scheme == 'http' and u.hostname == '127.0.0.1' and u.port is not None


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send(self, status, body, content_type='application/json', headers=()):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        self.send_header('Content-Type', content_type)
        self.send_header('Content-Length', str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def error(self, error, description, status=400):
        self.send(status, json.dumps({'error': error, 'error_description': description}))

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != '/authorize':
            return self.send(404, 'not found', 'text/plain')
        q = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        redirect = q.get('redirect_uri', '')
        if not loopback(redirect):
            return self.send(400, 'bad redirect_uri', 'text/plain')
        with STATE.lock:
            STATE.stats['authorizations'] += 1
            STATE.stats['last_authorization'] = q
            params = {'state': q.get('state', '')}
            if q.get('client_id') != STATE.args.client_id:
                params.update(error='unauthorized_client', error_description='AADSTS700016: unknown client')
            elif STATE.deny:
                params.update(error=STATE.deny, error_description='the user declined')
                STATE.deny = None
            elif (q.get('response_type') != 'code' or q.get('code_challenge_method') != 'S256'
                  or len(q.get('code_challenge', '')) != 43):
                params.update(error='invalid_request', error_description='PKCE S256 required')
            else:
                code = STATE.next_code or 'code-' + secrets.token_urlsafe(16)
                STATE.next_code = None
                STATE.codes[code] = {'challenge': q['code_challenge'], 'redirect_uri': redirect,
                                     'client_id': q['client_id'], 'user': q.get('login_hint', '')}
                STATE.stats['codes'] += 1
                params['code'] = code
        location = redirect + '?' + urllib.parse.urlencode(params, encoding='latin-1')
        self.send(302, '', 'text/plain', [('Location', location)])

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        if path not in ('/token', '/introspect'):
            return self.send(404, 'not found', 'text/plain')
        length = int(self.headers.get('Content-Length', '0'))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode('ascii', 'replace'),
                                           keep_blank_values=True, encoding='latin-1'))
        with STATE.lock:
            if path == '/introspect':
                STATE.stats['introspections'] += 1
                entry = STATE.access.get(form.get('token', ''))
                if entry is None or entry['expires'] <= time.time():
                    return self.send(200, json.dumps({'active': False}))
                return self.send(200, json.dumps({'active': True, 'username': entry['user'],
                                                  'exp': int(entry['expires'])}))
            if STATE.garbage:
                return self.send(200, '<html><body>Service Unavailable</body></html>', 'text/html')
            if form.get('client_id') != STATE.args.client_id or \
                    (STATE.args.client_secret and form.get('client_secret') != STATE.args.client_secret):
                return self.error('invalid_client', 'client authentication failed', 401)
            grant = form.get('grant_type')
            if grant == 'authorization_code':
                STATE.stats['exchanges'] += 1
                entry = STATE.codes.pop(form.get('code', ''), None)
                if entry is None or entry['redirect_uri'] != form.get('redirect_uri') \
                        or entry['client_id'] != form.get('client_id'):
                    return self.error('invalid_grant', 'unknown or used code')
                verifier = form.get('code_verifier', '').encode()
                challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier).digest()).rstrip(b'=').decode()
                if not 43 <= len(verifier) <= 128 or challenge != entry['challenge']:
                    STATE.stats['pkce_failures'] += 1
                    return self.error('invalid_grant', 'PKCE verification failed')
                return self.send(200, json.dumps(STATE.issue(entry['user'])))
            if grant == 'refresh_token':
                STATE.stats['refreshes'] += 1
                token = form.get('refresh_token', '')
                user = STATE.refresh.get(token)
                if user is None:
                    return self.error('invalid_grant', 'AADSTS70008: the refresh token was revoked')
                return self.send(200, json.dumps(STATE.issue(user, token)))
            return self.error('unsupported_grant_type', grant or '')


def command(cmd):
    what = cmd.get('cmd')
    with STATE.lock:
        if what == 'expire':
            for entry in STATE.access.values():
                entry['expires'] = 0
            STATE.write_tokens()
        elif what == 'revoke':
            STATE.refresh.clear()
            STATE.access.clear()
            STATE.write_tokens()
        elif what == 'deny':
            STATE.deny = cmd.get('error', 'access_denied')
        elif what == 'garbage':
            STATE.garbage = bool(cmd.get('on', True))
        elif what == 'grant':
            return STATE.issue(cmd.get('user', ''))
        elif what == 'code':
            STATE.next_code = cmd.get('code') or None
        elif what != 'stats':
            return {'error': 'unknown command %r' % what}
        return dict(STATE.stats)


def main():
    global STATE
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest='mode', required=True)
    s = sub.add_parser('serve')
    s.add_argument('--tokens', required=True)
    s.add_argument('--client-id', required=True)
    s.add_argument('--client-secret', default='')
    s.add_argument('--lifetime', type=int, default=3600)
    s.add_argument('--rotate', action='store_true')
    args = parser.parse_args()
    STATE = State(args)
    STATE.write_tokens()
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(json.dumps({'port': server.server_address[1]}), flush=True)
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        cmd = json.loads(line)
        if cmd.get('cmd') == 'quit':
            break
        print(json.dumps(command(cmd)), flush=True)
    server.shutdown()


if __name__ == '__main__':
    main()
