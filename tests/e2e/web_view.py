#!/usr/bin/python3
"""Drives the web view in headless Chromium (Debian's chromium, chromium-driver, python3-selenium).

  web_view.py URL                 the checks of WebViewTest, against the service "S" of its model;
                                  asks the test for what only it can do with lines on stdout
                                  ("ask write PATH VALUE", "ask stop-redis", "ask start-redis")
                                  and waits for "done" on stdin. Ends with "ok" or "skip: REASON".
  web_view.py --token URL TOKEN  the access checks (no browser): 403 without the token or with
                                  a wrong one, 200 with it; a set without the page's header, 403
  web_view.py --screenshot URL FILE   a PNG of the page at URL (the README's picture)
  web_view.py --hold URL SECONDS MEMBER   keeps the page open (bench/web-scale.sh); then prints
                                  how many rows have a value, and how often MEMBER's changed
"""
import sys
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,900"):
        options.add_argument(argument)
    service = webdriver.ChromeService(executable_path="/usr/bin/chromedriver") \
        if hasattr(webdriver, "ChromeService") else webdriver.chrome.service.Service("/usr/bin/chromedriver")
    return webdriver.Chrome(service=service, options=options)


def ask(request):
    print("ask " + request, flush=True)
    if sys.stdin.readline().strip() != "done":
        raise RuntimeError("the test did not do: " + request)


def status(url, data=None, headers=None):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data, headers=headers or {}), timeout=10) as r:
            return r.status
    except urllib.error.HTTPError as error:
        return error.code


def check_token(url, token):
    body = b"service=S&member=Boiler.Setpoint&value=1"
    wrong = ("1" if token[0] == "0" else "0") + token[1:]
    cases = [(url + "api/services", None, {}, 403), (url + "api/services?token=" + wrong, None, {}, 403),
             (url + "?token=" + token, None, {}, 200), (url + "api/services?token=" + token, None, {}, 200),
             (url + "api/set?token=" + token, body, {}, 403)]
    for address, data, headers, expected in cases:
        got = status(address, data, headers)
        assert got == expected, "%s: %d, not %d" % (address, got, expected)
    print("ok", flush=True)
    return 0


def main():
    if sys.argv[1] == "--token":
        return check_token(sys.argv[2], sys.argv[3])
    if sys.argv[1] == "--hold":
        return hold(sys.argv[2], float(sys.argv[3]), sys.argv[4])
    if sys.argv[1] == "--screenshot":
        driver = browser()
        try:
            driver.get(sys.argv[2])
            time.sleep(2)
            driver.find_element(By.CSS_SELECTOR, "#tree li.node > .label").click()
            time.sleep(6)  # values and trends fill in
            driver.save_screenshot(sys.argv[3])
        finally:
            driver.quit()
        return 0
    try:
        driver = browser()
    except WebDriverException as error:
        print("skip: Chromium cannot start: " + error.msg.splitlines()[0], flush=True)
        return 0
    try:
        check(driver, sys.argv[1])
    finally:
        driver.quit()
    print("ok", flush=True)
    return 0


def hold(url, seconds, member):
    driver = browser()
    try:
        driver.get(url)
        time.sleep(max(0, seconds - 20))
        # Every change of the member's cell, counted in the page for 20 seconds.
        driver.execute_script("""
            const cell = document.querySelector('tr[data-member="' + arguments[0] + '"] .value');
            window.changes = 0;
            new MutationObserver(() => window.changes++).observe(cell, {childList: true, characterData: true,
                                                                         subtree: true});""", member)
        time.sleep(20)
        seen = driver.execute_script("return window.changes")
        values = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#watch td.value")]
        print("rows with a value: %d of %d; %s changed on the page %.1f times/s"
              % (sum(v not in ("", "…") for v in values), len(values), member, seen / 20), flush=True)
    finally:
        driver.quit()
    return 0


def check(driver, url):
    wait = WebDriverWait(driver, 15)
    text = lambda css: driver.find_element(By.CSS_SELECTOR, css).text
    driver.get(url + "?service=S&watch=Boiler.Setpoint")

    # The service is listed as serving; the tree shows a member.
    wait.until(lambda d: "serving since" in text('#services li[data-service="S"] .status'))
    driver.find_element(By.CSS_SELECTOR, '#tree li.node[data-path="S.Boiler"] > .label').click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '#tree li.member[data-path="S.Boiler.Temp"]'))

    # Picking a member watches it and puts it into the address.
    driver.find_element(By.CSS_SELECTOR, '#tree li.member[data-path="S.Boiler.Temp"] .watch-button').click()
    wait.until(lambda d: "watch=Boiler.Setpoint,Boiler.Temp" in d.current_url)
    temp = 'tr[data-member="S.Boiler.Temp"]'
    wait.until(lambda d: text(temp + " .value") == "20.5")
    assert "ago" in text(temp + " .changed") or wait.until(lambda d: "ago" in text(temp + " .changed"))
    assert not driver.find_elements(By.CSS_SELECTOR, temp + " .set-input"), "a read-only member has no input"
    ask("write Boiler.Temp 33.25")
    wait.until(lambda d: text(temp + " .value") == "33.25")

    # A set and its response; a bad value is refused as tul-peer set refuses it, and nothing changes.
    setpoint = 'tr[data-member="S.Boiler.Setpoint"]'
    wait.until(lambda d: text(setpoint + " .value") == "21")
    for value, shown in (("22.5", "success"), ("abc", "is not a Real")):
        field = driver.find_element(By.CSS_SELECTOR, setpoint + " .set-input")
        field.clear()
        field.send_keys(value)
        driver.find_element(By.CSS_SELECTOR, setpoint + " .set-button").click()
        wait.until(lambda d: shown in text(setpoint + " .response"))
    wait.until(lambda d: text(setpoint + " .value") == "22.5")

    # A value that looks like HTML is shown as text.
    ask("write Boiler.Label <b>bold</b>")
    driver.get(url + "?service=S&watch=Boiler.Mode,Boiler.Temp,Boiler.Label")
    mode = 'tr[data-member="S.Boiler.Mode"]'
    wait.until(lambda d: "publishes nothing" in text(mode + " .value"))
    wait.until(lambda d: text('tr[data-member="S.Boiler.Label"] .value') == "<b>bold</b>")

    # Stopping Redis shows the banner; restarting it clears the banner and values flow again.
    ask("stop-redis")
    wait.until(lambda d: d.find_element(By.ID, "banner").is_displayed())
    assert "Redis" in text("#banner"), text("#banner")
    ask("start-redis")
    started = time.monotonic()
    WebDriverWait(driver, 30).until(lambda d: not d.find_element(By.ID, "banner").is_displayed())
    cleared = time.monotonic()
    ask("write Boiler.Temp 44")
    written = time.monotonic()
    WebDriverWait(driver, 30).until(lambda d: text(temp + " .value") == "44")
    print("note: banner gone %.1f s after Redis started; a write shown %.1f s after it was made"
          % (cleared - started, time.monotonic() - written), flush=True)


if __name__ == "__main__":
    sys.exit(main())
