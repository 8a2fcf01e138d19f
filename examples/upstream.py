#!/usr/bin/env python3
"""The demo's application: a page that shows which variation the visitor got
and every request header that reached it.  Usage: upstream.py PORT"""

import html
import http.server
import random
import re
import sys

VARIATION = re.compile(r"^/experiment_(\d+)_variation_(\d+)")


class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        m = VARIATION.match(self.path)
        # a broken release of variation 2, for the guardrail to catch: it
        # fails half the requests that ask for ?broken=1
        if m and m.groups() == ("101", "2") and "broken=1" in self.path and random.random() < 0.5:
            self.send_error(500, "variation 2 is broken")
            return
        if m:
            title = "Experiment %s, variation %s" % m.groups()
        elif self.path.startswith("/shop"):
            pairs = self.headers.get_all("vantorell-experiment") or []
            title = "The shop, rendered for: %s" % (", ".join(pairs) or "the reference")
        else:
            title = "The page you asked for (the reference)"
        rows = "".join("<tr><td>%s</td><td>%s</td></tr>" % (html.escape(k), html.escape(v))
                       for k, v in self.headers.items())
        body = ("<!doctype html><title>%s</title><h1>%s</h1><p>Path: <code>%s</code></p>"
                "<h2>Request headers the upstream received</h2><table>%s</table>"
                % (html.escape(title), html.escape(title), html.escape(self.path), rows)).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Page).serve_forever()
