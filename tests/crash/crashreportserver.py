#!/usr/bin/env python3
"""A crash-report collector for the tests, on 127.0.0.1 and a free port.

Prints "port N" once listening. Every POST must be a multipart form with the
field "version" equal to --version and the file part "upload_file_minidump";
an accepted report is saved as <folder>/<count>-<file name> and answered 200,
anything else is answered 400 and described in <folder>/<count>.rejected.
With --status the server answers every POST with that status and keeps
nothing.
"""
import argparse
import email.parser
import email.policy
import http.server
import os
import sys

parser = argparse.ArgumentParser()
parser.add_argument("--version", required=True)
parser.add_argument("--folder", required=True)
parser.add_argument("--status", type=int, default=0)
options = parser.parse_args()
count = 0


def parse_form(content_type, body):
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    if not message.is_multipart() or message.get_content_type() != "multipart/form-data":
        raise ValueError("not a multipart form: " + content_type)
    fields = {}
    for part in message.iter_parts():
        name = part.get_param("name", header="content-disposition")
        if name in fields:
            raise ValueError("field twice: %s" % name)
        fields[name] = (part.get_filename(), part.get_payload(decode=True))
    return fields


def check(fields):
    if sorted(fields) != ["upload_file_minidump", "version"]:
        raise ValueError("fields: %s" % sorted(fields))
    filename, version = fields["version"]
    if filename is not None or version.decode("utf-8") != options.version:
        raise ValueError("version: %r" % version)
    filename, report = fields["upload_file_minidump"]
    if not filename or not filename.endswith(".dmp") or "/" in filename or not report:
        raise ValueError("file part: %r, %d bytes" % (filename, len(report or b"")))
    return filename, report


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        global count
        count += 1
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if options.status:
            self.answer(options.status, b"refused\n")
            return
        try:
            filename, report = check(parse_form(self.headers.get("Content-Type", ""), body))
        except ValueError as error:
            with open(os.path.join(options.folder, "%d.rejected" % count), "w") as note:
                note.write(str(error))
            self.answer(400, b"bad form\n")
            return
        with open(os.path.join(options.folder, "%d-%s" % (count, filename)), "wb") as out:
            out.write(report)
        self.answer(200, b"accepted\n")

    def answer(self, status, text):
        self.send_response(status)
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print("port %d" % server.server_address[1], flush=True)
try:
    server.serve_forever()
except KeyboardInterrupt:
    sys.exit(0)
