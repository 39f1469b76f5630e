#!/usr/bin/env python3
"""Posts a page's form the way a browser does: loads the page, takes each field's shown value
(text and number values, checked boxes, the selected option or else the first), lets the
arguments replace or add fields (a pressed button is one more field), posts it to the form's
action and prints the answer's status. FORM_USER and FORM_PASS log in with Basic.

    form_post.py BASE PAGE ACTION [NAME=VALUE ...]
    form_post.py BASE PAGE --untouched [SKIP ...]
        posts every POST form of the page with fields, as shown, but those named SKIP; prints
        "name action status" for each
"""
import base64
import os
import sys
import urllib.error
import urllib.parse
import urllib.request
from html.parser import HTMLParser


class Forms(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []          # (action, [(name, value)], form name, method)
        self.form = None
        self.select = None       # [name, chosen value or None, first value or None]
        self.option = None       # [value or None, text]

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'form':
            self.form = (a.get('action', ''), [], a.get('name', ''), (a.get('method') or 'get').lower())
            self.forms.append(self.form)
        elif self.form is None:
            return
        elif tag == 'input' and a.get('name') and 'disabled' not in a:
            kind = (a.get('type') or 'text').lower()
            if kind in ('submit', 'button', 'image', 'reset', 'file'):
                return
            if kind in ('checkbox', 'radio') and 'checked' not in a:
                return
            self.form[1].append((a['name'], a.get('value', 'on' if kind in ('checkbox', 'radio') else '')))
        elif tag == 'select' and a.get('name') and 'disabled' not in a:
            self.select = [a['name'], None, None]
        elif tag == 'option' and self.select is not None:
            self.end_option()
            self.option = [a.get('value'), '', 'selected' in a]

    def handle_data(self, data):
        if self.option is not None:
            self.option[1] += data

    def end_option(self):
        if self.option is None:
            return
        value = self.option[0] if self.option[0] is not None else self.option[1].strip()
        if self.select[2] is None:
            self.select[2] = value
        if self.option[2]:
            self.select[1] = value
        self.option = None

    def handle_endtag(self, tag):
        if tag == 'option':
            self.end_option()
        elif tag == 'select' and self.select is not None:
            self.end_option()
            value = self.select[1] if self.select[1] is not None else self.select[2]
            if value is not None and self.form is not None:
                self.form[1].append((self.select[0], value))
            self.select = None
        elif tag == 'form':
            self.form = None


def request(url, data=None):
    req = urllib.request.Request(url, data=data, headers={'Referer': url})
    if os.environ.get('FORM_USER'):
        token = base64.b64encode(f"{os.environ['FORM_USER']}:{os.environ.get('FORM_PASS', '')}".encode()).decode()
        req.add_header('Authorization', 'Basic ' + token)

    class NoRedirect(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args):
            return None
    try:
        with urllib.request.build_opener(NoRedirect).open(req, timeout=20) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def main():
    base, page = sys.argv[1], sys.argv[2]
    status, body = request(f'{base}/{page}')
    if status != 200:
        print(f'page {page}: {status}')
        sys.exit(1)
    parser = Forms()
    parser.feed(body.decode('utf-8', 'replace'))
    if sys.argv[3] == '--untouched':
        for action, fields, name, method in parser.forms:
            if fields and name not in sys.argv[4:] and method == 'post':
                status, _ = request(f'{base}/{action}', urllib.parse.urlencode(fields).encode())
                print(name, action, status)
        return
    action = sys.argv[3]
    forms = [f for f in parser.forms if f[0] == action and f[3] == 'post']
    if not forms:
        print(f'no form posts to {action} on {page}')
        sys.exit(1)
    fields = list(forms[0][1])
    for arg in sys.argv[4:]:
        name, value = arg.split('=', 1)
        kept = [(n, v) for n, v in fields if n != name]
        fields = kept if len(kept) < len(fields) else fields
        fields.append((name, value))
    status, _ = request(f'{base}/{action}', urllib.parse.urlencode(fields).encode())
    print(status)


main()
