#!/usr/bin/python3
"""Drives the device's pages in headless Chromium.

browser_pages.py BASE SCREEN_DIR STEP [ARGS]
  menu                    follow every menu link as the guest of a fresh device; read every select's
                          labels and every number field's range
  stream_setup BITRATE    set Stream A's bit rate and the last resolution offered
  control_user USER PASS  log in through login.htm, check the menus, the Unauthorized page, log out
  update IMAGE            choose a firmware file on the update page, upload, wait for the restart text
Prints "ok: ..." per check and "FAIL: ..." per failed one; exits 1 when any failed.
"""
import os
import re
import sys
import time
import urllib.parse

from selenium import webdriver
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


def make_driver():
    opts = webdriver.ChromeOptions()
    opts.binary_location = '/usr/bin/chromium'
    for a in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
              '--window-size=1200,900', '--no-proxy-server', '--disable-background-networking',
              '--disable-component-update', '--disable-sync', '--no-first-run'):
        opts.add_argument(a)
    # A live MJPEG picture never finishes loading: the DOM is enough.
    opts.page_load_strategy = 'eager'
    opts.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
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
    WebDriverWait(driver, 15).until(EC.staleness_of(field))   # the post answers with the page again
    WebDriverWait(driver, 15).until(lambda d: d.find_elements(By.ID, 'bitrate'))
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


driver = make_driver()
try:
    if STEP == 'menu':
        step_menu(driver)
    elif STEP == 'stream_setup':
        step_stream_setup(driver, ARGS[0])
    elif STEP == 'control_user':
        step_control_user(driver, ARGS[0], ARGS[1])
    elif STEP == 'update':
        step_update(driver, ARGS[0])
    else:
        check('known step ' + STEP, False)
except Exception as e:  # a missing element or a time-out is a failed check, not a crash
    check('%s ran through (%s: %s)' % (STEP, type(e).__name__, str(e).splitlines()[0] if str(e) else ''), False)
finally:
    driver.quit()
sys.exit(1 if failures else 0)
