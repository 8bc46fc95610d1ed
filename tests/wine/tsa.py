#!/usr/bin/python3
# A timestamp authority of the tests' own: makes a root and a TSA certificate in DIR
# (DIR/ca.pem is the root to trust), then answers RFC 3161 requests on 127.0.0.1 with
# `openssl ts -reply`, writes the port it listens on to DIR/port once it listens, and one
# line to DIR/answers per answer. It serves until it is killed. With --https it also
# answers over TLS, with a server certificate for 127.0.0.1 from the same root, on the port
# in DIR/https-port. It misbehaves by the path it is asked on: /imprint answers with a
# valid token over another message than the one asked for, /nonce with another nonce.
# usage: tsa.py DIR [--https]
import hashlib
import http.server
import os
import ssl
import subprocess
import sys
import threading

from asn1crypto import tsp

folder = sys.argv[1]
path = lambda name: os.path.join(folder, name)


# P-256 keys: an RSA one takes openssl a tenth of a second or more to make, three a start.
EC_KEY = ('-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256')


def openssl(*args, stdin=None):
    return subprocess.run(['openssl', *args], input=stdin, capture_output=True, check=True).stdout


def write(name, text):
    with open(path(name), 'w') as f:
        f.write(text)


# NAME SUBJECT EXTENSIONS: NAME.key and NAME.pem, a certificate from the root.
def issue(name, subject, extensions):
    write(f'{name}.ext', extensions)
    request = openssl('req', *EC_KEY, '-nodes', '-subj', subject, '-keyout', path(f'{name}.key'))
    openssl('x509', '-req', '-CA', path('ca.pem'), '-CAkey', path('ca.key'), '-days', '3650',
            '-out', path(f'{name}.pem'), '-extfile', path(f'{name}.ext'), stdin=request)


# Written whole under another name first: a reader never sees half a port.
def publish(name, port):
    write(f'{name}.new', str(port))
    os.rename(path(f'{name}.new'), path(name))


openssl('req', '-x509', *EC_KEY, '-nodes', '-days', '3650', '-subj', '/CN=DORVANE test TSA root',
        '-keyout', path('ca.key'), '-addext', 'basicConstraints=critical,CA:TRUE',
        '-addext', 'keyUsage=critical,keyCertSign,cRLSign', '-out', path('ca.pem'))
issue('tsa', '/CN=DORVANE test TSA', 'extendedKeyUsage = critical, timeStamping\nbasicConstraints = CA:FALSE\n')
write('serial', '01\n')
config = path('tsa.cnf')
write('tsa.cnf', '\n'.join([
    '[tsa]', 'default_tsa = authority', '[authority]', f"serial = {path('serial')}", 'crypto_device = builtin',
    f"signer_cert = {path('tsa.pem')}", f"certs = {path('ca.pem')}", f"signer_key = {path('tsa.key')}",
    'signer_digest = sha256', 'default_policy = 1.2.3.4.1', 'digests = sha256, sha384, sha512, sha1',
    'accuracy = secs:1', 'ess_cert_id_alg = sha256']) + '\n')


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        size = int(self.headers.get('Content-Length') or 0)
        if not 0 < size <= 65536:
            return self.send_error(400)
        query = self.rfile.read(size)
        if self.path in ('/imprint', '/nonce'):
            # A well-formed token all the same, signed by this authority: only what it is
            # over, or the nonce it carries, is not what was asked.
            request = tsp.TimeStampReq.load(query)
            if self.path == '/imprint':
                request['message_imprint']['hashed_message'] = hashlib.sha256(b'another message').digest()
            else:
                request['nonce'] = request['nonce'].native + 1
            query = request.dump(force=True)
        answer = subprocess.run(['openssl', 'ts', '-reply', '-config', config, '-queryfile', '/dev/stdin',
                                 '-out', '/dev/stdout'], input=query, capture_output=True)
        if answer.returncode != 0 or not answer.stdout:
            return self.send_error(500)
        self.send_response(200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(answer.stdout)))
        self.end_headers()
        self.wfile.write(answer.stdout)
        with open(path('answers'), 'a') as f:
            f.write('answered\n')

    def log_message(self, *args):
        pass


if sys.argv[2:] == ['--https']:
    issue('tls', '/CN=127.0.0.1',
          'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\nbasicConstraints = CA:FALSE\n')
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(path('tls.pem'), path('tls.key'))
    secure = http.server.HTTPServer(('127.0.0.1', 0), Authority)
    secure.socket = context.wrap_socket(secure.socket, server_side=True)
    threading.Thread(target=secure.serve_forever, daemon=True).start()
    publish('https-port', secure.server_address[1])
server = http.server.HTTPServer(('127.0.0.1', 0), Authority)
publish('port', server.server_address[1])
server.serve_forever()
