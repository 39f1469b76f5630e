#!/usr/bin/python3
"""Drives the device's pages in headless Chromium.

browser_pages.py BASE SCREEN_DIR STEP [ARGS]
  menu                    follow every menu link as the guest of a fresh device; read every select's
                          labels and every number field's range
  stream_setup BITRATE    set Stream A's bit rate and the last resolution offered
  control_user USER PASS  log in through login.htm, check the menus, the Unauthorized page, log out
  update IMAGE            choose a firmware file on the update page, upload, wait for the restart text
  first_user USER PASS    on a fresh device create the first Admin on the Users page, log in as it, close
                          the device to the guest
  cross_site PORT         another site's page (served here on 127.0.0.2:PORT) posts a form to the device
                          and loads its defaults reset as a picture
  restore_defaults USER PASS  log in, refuse the Restore Defaults confirmation once, then accept it
  live_view ROWS          Live View -> Stream B (a JPEG channel): the page finishes loading, its picture
                          changes over 3 s, it lists exactly the HTTP rows ROWS (blank-separated) and each
                          answers with data
Prints "ok: ..." per check and "FAIL: ..." per failed one; exits 1 when any failed.
"""
import http.server
import json
import os
import re
import sys
import threading
import time
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

BASE, SCREENS, STEP = sys.argv[1], sys.argv[2], sys.argv[3]
ARGS = sys.argv[4:]
failures = 0


def check(what, cond):
    global failures
    print(('ok: ' if cond else 'FAIL: ') + what, flush=True)
    if not cond:
        failures += 1


def make_driver(load_strategy):
    opts = webdriver.ChromeOptions()
    opts.binary_location = '/usr/bin/chromium'
    for a in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
              '--window-size=1200,900', '--no-proxy-server', '--disable-background-networking',
              '--disable-component-update', '--disable-sync', '--no-first-run'):
        opts.add_argument(a)
    # The DOM is enough, except where the end of the page's load is what is judged.
    opts.page_load_strategy = load_strategy
    opts.set_capability('goog:loggingPrefs', {'browser': 'ALL', 'performance': 'ALL'})
    d = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=opts)
    d.set_page_load_timeout(30)
    return d


def script_errors(driver):
    """Console entries that are script errors (missing streams and icons are network noise)."""
    errs = []
    for e in driver.get_log('browser'):
        if e.get('level') == 'SEVERE' and e.get('source') != 'network':
            errs.append(e.get('message', ''))
    return errs


def template_tags_left(driver):
    return driver.execute_script(
        "var n = 0; ['include', 'require'].forEach(function (t) { n += document.getElementsByTagName(t).length; });"
        "return n + (document.documentElement.outerHTML.match(/<(include|require)[\\s>]/gi) || []).length;")


def shot(driver, name):
    os.makedirs(SCREENS, exist_ok=True)
    driver.save_screenshot(os.path.join(SCREENS, name + '.png'))


def menu_links(driver):
    return [a.get_attribute('href') for a in driver.find_elements(By.CSS_SELECTOR, '#menu a')]


def menu_headings(driver):
    return [h.text.strip().lower() for h in driver.find_elements(By.CSS_SELECTOR, '#menu h6')]


PLACEHOLDER = re.compile(r'^\s*((mode|format|option|value|type|choice|item)\s*\d*)?\s*$', re.I)


def form_problems(driver):
    """Options whose label names no meaning, and number fields that show no range."""
    bad = []
    selects = driver.find_elements(By.TAG_NAME, 'select')
    for sel in selects:
        for o in sel.find_elements(By.TAG_NAME, 'option'):
            label = o.get_attribute('textContent')
            if PLACEHOLDER.match(label):
                bad.append('%s option %s labelled %r' % (sel.get_attribute('name'), o.get_attribute('value'), label))
    numbers = 0
    for f in driver.find_elements(By.CSS_SELECTOR, "input[type='number']"):
        lo, hi = f.get_attribute('min'), f.get_attribute('max')
        if lo is None or hi is None:
            bad.append('%s has no range' % f.get_attribute('name'))
            continue
        numbers += 1
        shown = driver.execute_script(
            "var s = arguments[0].parentNode.querySelector('span.range'); return s ? s.textContent : '';", f)
        if shown.strip() != '%s to %s' % (lo, hi):
            bad.append('%s shows range %r, not %s to %s' % (f.get_attribute('name'), shown, lo, hi))
    return bad, len(selects), numbers


def option_label(driver, select_id, value):
    opts = driver.find_elements(By.CSS_SELECTOR, "#%s option[value='%s']" % (select_id, value))
    return opts[0].get_attribute('textContent') if opts else None


def step_menu(driver):
    total_selects = [0]
    driver.get(BASE + '/index.htm')
    links = [l for l in menu_links(driver) if not l.endswith('/index.htm')]
    shot(driver, 'index')
    check('the menu offers every page of every area (%d links)' % len(links), len(links) == 19)
    for href in links:
        driver.get(href)
        name = urllib.parse.urlparse(driver.current_url).path.lstrip('/') or 'root'
        body = driver.find_element(By.TAG_NAME, 'body').text
        check('%s loads' % name, 'could not be found' not in body and driver.title.strip() != '')
        check('%s: no template tag in the DOM' % name, template_tags_left(driver) == 0)
        check('%s: has the menu' % name, len(driver.find_elements(By.CSS_SELECTOR, '#menu a')) > 0)
        errs = script_errors(driver)
        check('%s: no script error %s' % (name, errs[:2]), not errs)
        bad, selects, numbers = form_problems(driver)
        check('%s: %d selects name every option, %d number fields show their range %s'
              % (name, selects, numbers, bad[:3]), not bad)
        total_selects[0] += selects
        shot(driver, 'menu_' + name.replace('.htm', ''))
    check('read the labels of %d selects on %d pages' % (total_selects[0], len(links)), total_selects[0] > 40)
    check_page_meanings(driver)


def check_page_meanings(driver):
    """The labels that used to say the wrong thing, the readable status rows, the delete controls."""
    driver.get(BASE + '/control_recording.htm')
    check('recording format 0 writes the channel\'s own container (%r)' % option_label(driver, 'recformat', '0'),
          'channel streams' in (option_label(driver, 'recformat', '0') or ''))
    check('recording format 1 is MP4 (%r)' % option_label(driver, 'recformat', '1'),
          (option_label(driver, 'recformat', '1') or '').startswith('MP4'))
    driver.get(BASE + '/control_output.htm')
    check('display mode 3 is the flash, not black (%r)' % option_label(driver, 'displaymode', '3'),
          'flash' in (option_label(driver, 'displaymode', '3') or ''))
    driver.get(BASE + '/setup_streamb.htm')
    status = driver.find_element(By.CSS_SELECTOR, '.status').text
    check('the encoder status reads as a sentence (%r)' % status,
          'Encode[' not in status and 'frames encoded' in status)
    driver.get(BASE + '/setup_video.htm')
    status = driver.find_element(By.CSS_SELECTOR, '.status').text
    check('the input signal reads as a sentence (%r)' % status,
          'Locked to the video input' in status or 'No video signal' in status)
    shot(driver, 'setup_video_status')
    driver.get(BASE + '/download.htm')
    check('the Admin guest is offered the delete controls',
          driver.find_elements(By.CSS_SELECTOR, "input[name='delete_file']")
          and driver.find_elements(By.CSS_SELECTOR, "input[value='Delete selected files']"))


def step_stream_setup(driver, bitrate):
    driver.get(BASE + '/setup_streama.htm')
    field = driver.find_element(By.ID, 'bitrate')
    check('bit rate field has limits from its setting',
          field.get_attribute('min') == '100000' and field.get_attribute('step') == '100000')
    field.clear()
    field.send_keys(bitrate)
    res = Select(driver.find_element(By.ID, 'resolution'))
    choice = res.options[-1].get_attribute('value')
    res.select_by_value(choice)
    shot(driver, 'setup_streama_before')
    driver.find_element(By.ID, 'apply').click()
    page_after_post(driver, field, By.ID, 'bitrate')   # the post answers with the page again
    value = driver.find_element(By.ID, 'bitrate').get_attribute('value')
    check('the page shows the new bit rate %s (shows %s)' % (bitrate, value), value == bitrate)
    shown = Select(driver.find_element(By.ID, 'resolution')).first_selected_option.get_attribute('value')
    check('the page shows the chosen resolution %s (shows %s)' % (choice, shown), shown == choice)
    check('no script error on the setup page', not script_errors(driver))
    shot(driver, 'setup_streama_after')
    print('resolution=' + choice)


def step_control_user(driver, user, password):
    host = urllib.parse.urlparse(BASE).netloc
    driver.get('http://%s:%s@%s/login.htm' % (user, password, host))
    # The login answers the challenge, then sets the session cookie on its way to the index.
    WebDriverWait(driver, 15).until(lambda d: d.get_cookie('Token'))
    driver.get(BASE + '/index.htm')
    heads = menu_headings(driver)
    shot(driver, 'control_user_index')
    user_line = [h for h in heads if h.startswith('user')]
    check('logged in as %s (%s)' % (user, user_line), user_line and user in user_line[0])
    check('a Stream Control user sees the Control menu', 'control' in heads)
    check('no Configure menu', 'configure' not in heads)
    check('no Admin menu', 'admin' not in heads)
    driver.get(BASE + '/setup_streama.htm')
    body = driver.find_element(By.TAG_NAME, 'body').text
    check('a Configure page gives the Unauthorized page', 'Unauthorized' in body and 'Bit rate' not in body)
    check('no template tag on the Unauthorized page', template_tags_left(driver) == 0)
    shot(driver, 'control_user_unauthorized')
    driver.get(BASE + '/download.htm')
    body = driver.find_element(By.TAG_NAME, 'body').text
    check('a Stream Control user sees the recordings', '.mp4' in body)
    check('and no delete control',
          not driver.find_elements(By.CSS_SELECTOR, "input[type='checkbox']")
          and not driver.find_elements(By.CSS_SELECTOR, "form[action^='delete_files']")
          and 'Delete selected files' not in driver.page_source)
    shot(driver, 'control_user_download')
    driver.get(BASE + '/index.htm')
    driver.find_element(By.CSS_SELECTOR, "#menu input[type='submit'][value='Log out']").click()
    WebDriverWait(driver, 15).until(lambda d: any(h.startswith('user') for h in menu_headings(d)))
    user_line = [h for h in menu_headings(driver) if h.startswith('user')]
    check('logging out returns to the guest (%s)' % user_line, user_line and 'guest' in user_line[0])
    shot(driver, 'logged_out')
    check('no script error while logged in and out', not script_errors(driver))


def step_update(driver, image):
    driver.get(BASE + '/admin_update.htm')
    driver.find_element(By.ID, 'fwfile').send_keys(os.path.abspath(image))
    shot(driver, 'update_chosen')
    driver.find_element(By.ID, 'fwsend').click()
    try:
        WebDriverWait(driver, 60).until(
            lambda d: 'Restarting' in d.find_element(By.ID, 'fwstatus').text)
        reached = True
    except Exception:
        reached = False
    status = driver.find_elements(By.ID, 'fwstatus')
    text = status[0].text if status else driver.find_element(By.TAG_NAME, 'body').text
    check('the status page reaches the restart text (%r)' % text, reached)
    shot(driver, 'update_status')
    check('no script error on the update pages', not script_errors(driver))


def responses(driver):
    """(url, status) of every HTTP response the browser received since the last call."""
    out = []
    for e in driver.get_log('performance'):
        msg = json.loads(e.get('message', '{}')).get('message', {})
        if msg.get('method') == 'Network.responseReceived':
            r = msg['params']['response']
            out.append((r.get('url', ''), r.get('status')))
    return out


def page_after_post(driver, old, by, name):
    """Waits for a form's answer to replace the page that held `old`, until the new page is
    whole and holds the element (by, name): a node looked up while the answer's redirect is
    still loading belongs to no document."""
    WebDriverWait(driver, 15).until(EC.staleness_of(old))
    WebDriverWait(driver, 15, ignored_exceptions=(WebDriverException,)).until(
        lambda d: d.execute_script('return document.readyState') == 'complete' and d.find_elements(by, name))


def log_in(driver, user, password, target):
    """Answers the login challenge as a person would at the browser's prompt."""
    host = urllib.parse.urlparse(BASE).netloc
    driver.delete_all_cookies()
    driver.get('http://%s:%s@%s/login.htm?redirect=%s' % (user, password, host, target))
    WebDriverWait(driver, 15).until(lambda d: d.get_cookie('Token'))


def guest_note(driver):
    """The text beside the guest's permission on the Users page: the row the guest's select is in."""
    rows = driver.find_elements(By.XPATH, "//select[@name='GuestPermission']/ancestor::tr[1]")
    return rows[0].text if rows else ''


def step_first_user(driver, user, password):
    driver.get(BASE + '/admin_users.htm')
    shot(driver, 'first_user_fresh')
    body = driver.find_element(By.TAG_NAME, 'body').text
    check('a fresh device shows its Users page to the guest', 'New user' in body and 'Unauthorized' not in body)
    note = guest_note(driver)
    check('a fresh device\'s page says anyone may change it (%r)' % note,
          'No user is an Admin yet' in note and 'anyone who reaches the device may change' in note)
    driver.find_element(By.ID, 'newname').send_keys(user)
    driver.find_element(By.ID, 'newpass').send_keys(password)
    Select(driver.find_element(By.ID, 'newperm')).select_by_value('5')
    shot(driver, 'first_user_filled')
    responses(driver)
    old = driver.find_element(By.ID, 'newname')
    driver.find_element(By.ID, 'newcreate').click()
    WebDriverWait(driver, 15).until(EC.staleness_of(old))
    seen = []
    for _ in range(50):
        seen += responses(driver)
        if any('/login.htm' in u for u, _ in seen):
            break
        time.sleep(0.1)
    login = [st for u, st in seen if urllib.parse.urlparse(u).path == '/login.htm']
    check('creating the first Admin leads to the login, which asks for credentials (%s)' % seen[:4], login == [401])
    check('the creation was not refused', all(st != 400 for _, st in seen))
    shot(driver, 'first_user_login_prompt')   # headless: the prompt is a blank page

    log_in(driver, user, password, '/admin_users.htm')
    cookie = driver.get_cookie('Token')
    check('the login cookie is HttpOnly and SameSite=Strict (%s)' % cookie,
          cookie.get('httpOnly') is True and cookie.get('sameSite') == 'Strict')
    check('no script can read the login cookie', 'Token' not in driver.execute_script('return document.cookie'))
    driver.get(BASE + '/index.htm')
    heads = menu_headings(driver)
    user_line = [h for h in heads if h.startswith('user')]
    check('logged in as %s (%s)' % (user, user_line), bool(user_line) and user in user_line[0])
    check('the new user sees the Admin menu', 'admin' in heads)
    shot(driver, 'first_user_logged_in')

    # With an Admin made, the guest still has Admin permission: the page says so, not that the
    # device is closed now. As the logged-in Admin, the guest is then shut out from the page's form.
    driver.get(BASE + '/admin_users.htm')
    body = driver.find_element(By.TAG_NAME, 'body').text
    note = guest_note(driver)
    check('with an Admin the page no longer says no user is one (%r)' % note,
          'No user is an Admin' not in body and 'While no user is an Admin' not in body)
    check('... and says beside the guest\'s Admin permission that anyone may change the device (%r)' % note,
          'The guest has Admin permission: anyone who reaches the device may change' in note)
    Select(driver.find_element(By.NAME, 'GuestPermission')).select_by_value('0')
    apply = driver.find_element(By.CSS_SELECTOR, "form[name='users'] input[type='submit']")
    apply.click()
    page_after_post(driver, apply, By.NAME, 'GuestPermission')
    shown = Select(driver.find_element(By.NAME, 'GuestPermission')).first_selected_option.get_attribute('value')
    check('the logged-in Admin set the guest to None (shows %s)' % shown, shown == '0')
    note = guest_note(driver)
    check('the page then says everyone must log in (%r)' % note,
          'everyone must log in' in note and 'anyone who reaches' not in note)
    shot(driver, 'first_user_guest_none')
    check('no script error in the first-user walk', not script_errors(driver))


def step_cross_site(driver, port):
    device = BASE.rstrip('/')
    page = ("<html><head><title>Another site</title></head><body><p>Another site</p>"
            "<img src='%s/load_default_params?redirect=/'>"
            "<form id='f' method='POST' action='%s/streamA_controls'>"
            "<input name='GOPSize' value='77'></form>"
            "<script>window.onload = function () { document.getElementById('f').submit(); };</script>"
            "</body></html>") % (device, device)

    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = page.encode()
            self.send_response(200)
            self.send_header('Content-Type', 'text/html')
            self.send_header('Content-Length', str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *a):
            pass

    server = http.server.HTTPServer(('127.0.0.2', int(port)), Page)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        driver.get('http://127.0.0.2:%s/evil.htm' % port)
        WebDriverWait(driver, 15).until(lambda d: d.current_url.startswith(device))
        WebDriverWait(driver, 15).until(lambda d: d.find_element(By.TAG_NAME, 'body').text.strip())
        body = driver.find_element(By.TAG_NAME, 'body').text
        check('the other site\'s form post is refused by the device (%r)' % body[:60],
              'Cross-site request refused' in body)
        shot(driver, 'cross_site_refused')
    finally:
        server.shutdown()


def step_restore_defaults(driver, user, password):
    log_in(driver, user, password, '/admin_update.htm')
    driver.get(BASE + '/admin_update.htm')
    shot(driver, 'restore_defaults_page')
    driver.find_element(By.ID, 'defaults').click()
    WebDriverWait(driver, 10).until(EC.alert_is_present())
    text = driver.switch_to.alert.text
    check('Restore Defaults asks for confirmation (%r)' % text, 'default settings' in text)
    driver.switch_to.alert.dismiss()
    check('refusing the confirmation stays on the page', driver.find_elements(By.ID, 'defaults'))
    button = driver.find_element(By.ID, 'defaults')
    button.click()
    WebDriverWait(driver, 10).until(EC.alert_is_present())
    driver.switch_to.alert.accept()
    page_after_post(driver, button, By.ID, 'defaults')
    check('after the reset the update page is shown again', urllib.parse.urlparse(driver.current_url).path ==
          '/admin_update.htm')
    shot(driver, 'restore_defaults_done')


def step_live_view(driver, rows):
    driver.set_page_load_timeout(15)
    try:
        driver.get(BASE + '/view_streamb.htm')
        loaded = True
    except TimeoutException:
        loaded = False
    state = driver.execute_script('return document.readyState')
    check('Live View -> Stream B finishes loading (%s)' % state, loaded and state == 'complete')
    check('it is the MJPEG page (%s)' % driver.current_url, driver.current_url.endswith('/jpeg_streamb.htm'))
    img = driver.find_element(By.CSS_SELECTOR, 'img.live')
    try:
        WebDriverWait(driver, 10).until(lambda d: d.execute_script('return arguments[0].naturalWidth', img) > 0)
    except TimeoutException:
        pass   # judged by the screenshots
    first = img.screenshot_as_png
    shot(driver, 'live_view_first')
    time.sleep(3)   # the interval judged, not a wait for an event
    second = img.screenshot_as_png
    shot(driver, 'live_view_second')
    # One encoder makes equal PNG files of equal pixels.
    check('the live picture changes over 3 s', first != second)
    links = [a.get_attribute('href') for a in driver.find_elements(By.CSS_SELECTOR, '#params a')]
    links = [l for l in links if l.startswith(BASE)]
    listed = sorted(l[len(BASE):].lstrip('/') for l in links)
    check('the page lists the rows %s (lists %s)' % (rows, listed), listed == sorted(rows.split()))
    for l in links:
        try:
            with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(l, timeout=10) as r:
                status, data = r.status, r.read(1024)
        except Exception as e:
            status, data = str(e), b''
        check('%s answers with data (%s, %d bytes)' % (l, status, len(data)), status == 200 and len(data) > 0)
    check('no script error on the live view', not script_errors(driver))


driver = make_driver('normal' if STEP == 'live_view' else 'eager')
try:
    if STEP == 'menu':
        step_menu(driver)
    elif STEP == 'stream_setup':
        step_stream_setup(driver, ARGS[0])
    elif STEP == 'control_user':
        step_control_user(driver, ARGS[0], ARGS[1])
    elif STEP == 'update':
        step_update(driver, ARGS[0])
    elif STEP == 'first_user':
        step_first_user(driver, ARGS[0], ARGS[1])
    elif STEP == 'cross_site':
        step_cross_site(driver, ARGS[0])
    elif STEP == 'restore_defaults':
        step_restore_defaults(driver, ARGS[0], ARGS[1])
    elif STEP == 'live_view':
        step_live_view(driver, ARGS[0])
    else:
        check('known step ' + STEP, False)
except Exception as e:  # a missing element or a time-out is a failed check, not a crash
    check('%s ran through (%s: %s)' % (STEP, type(e).__name__, str(e).splitlines()[0] if str(e) else ''), False)
finally:
    driver.quit()
sys.exit(1 if failures else 0)
