#!/usr/bin/env python3
# A timestamp authority for the release test: answers RFC 3161 requests on 127.0.0.1 with
# `openssl ts -reply` under CONFIG (the TSA certificate the test made), writes the port it
# listens on to PORT_FILE once it listens, and one line to LOG per answer.
# usage: tsa.py CONFIG PORT_FILE LOG
import http.server
import os
import subprocess
import sys

config, port_file, log = sys.argv[1:4]


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        size = int(self.headers.get('Content-Length') or 0)
        if not 0 < size <= 65536:
            self.send_error(400)
            return
        answer = subprocess.run(['openssl', 'ts', '-reply', '-config', config, '-queryfile', '/dev/stdin',
                                 '-out', '/dev/stdout'], input=self.rfile.read(size), capture_output=True)
        if answer.returncode != 0 or not answer.stdout:
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(answer.stdout)))
        self.end_headers()
        self.wfile.write(answer.stdout)
        with open(log, 'a') as f:
            f.write('answered\n')

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(('127.0.0.1', 0), Authority)
with open(port_file + '.new', 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + '.new', port_file)
server.serve_forever()
