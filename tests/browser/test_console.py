#!/usr/bin/env python3
"""The web console in a real browser: Debian's chromium driven by Selenium
logs in, sees an open SMTP connection and terminates it, adds a local domain
(which the filter then accepts at RCPT), and finds a relayed message in
Tracking; a screenshot of each tab goes into the folder given.

Usage: test_console.py QUIBO_BINARY SCREENSHOT_FOLDER
One browser start per run. The filter, its next hop (the benchmarks' Python one)
and the browser run on loopback in a temporary folder and are stopped at the end.
"""
import os
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as seen
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
from benchpeers import HeaderHop  # noqa: E402  (the benchmarks' next hop)

QUIBO, SHOTS = sys.argv[1], sys.argv[2]
PASSWORD = "browser-secret"


class NextHop(HeaderHop):
    """The next-hop mail server (the external seam): takes every message."""

    def on_message(self, recipients, headers):
        pass


def wait_for(condition, seconds=15):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("gave up waiting")


class ConsoleInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory()
        cls.next_hop = NextHop()
        digest = subprocess.run(["openssl", "passwd", "-6", PASSWORD], capture_output=True, text=True,
                                check=True).stdout.strip()
        with open(os.path.join(cls.home.name, "quibo.ini"), "w") as ini:
            ini.write(f"[Settings]\nListenIP=127.0.0.1\nListenPort=0\nOutgoingIP=127.0.0.1\n"
                      f"OutgoingPort={cls.next_hop.port}\nMailHostName=filter.test\n"
                      f"ConsoleListen=127.0.0.1:0\nConsolePassword={digest}\n"
                      "[Debug]\nAcceptance=1\n[LocalDomains]\n0=example.org\n[LocalIP]\n0=127.0.0.1\n")
        cls.quibo = subprocess.Popen([QUIBO, "--home", cls.home.name, "--headless"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.addClassCleanup(cls.stop_filter)
        log = os.path.join(cls.home.name, "log", "Quibo.log")

        def logged(marker):
            if not os.path.exists(log):
                return 0
            with open(log, encoding="utf-8", errors="replace") as lines:
                text = lines.read()
            at = text.find(marker)
            return at >= 0 and int(text[at + len(marker):].split()[0])

        cls.smtp_port = wait_for(lambda: logged(" port "))
        cls.console = "http://127.0.0.1:%d" % wait_for(lambda: logged("Console listening on http://127.0.0.1:"))
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--window-size=1280,900", "--no-proxy-server", "--user-data-dir=" +
                         os.path.join(cls.home.name, "browser")):
            options.add_argument(argument)
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.addClassCleanup(cls.browser.quit)
        # The page redraws its tables at every poll: an element found may be replaced before it is used.
        cls.wait = WebDriverWait(cls.browser, 15, ignored_exceptions=[StaleElementReferenceException])
        os.makedirs(SHOTS, exist_ok=True)

    @classmethod
    def stop_filter(cls):
        cls.quibo.send_signal(signal.SIGTERM)
        cls.quibo.wait(30)
        cls.next_hop.server.close()
        cls.home.cleanup()

    def find(self, element_id):
        return self.browser.find_element(By.ID, element_id)

    def tab(self, name, shot):
        self.find("tab-" + name).click()
        self.wait.until(seen.visibility_of_element_located((By.ID, "panel-" + name)))
        self.shots.append((shot, name))

    def shoot(self, name):
        time.sleep(0.3)  # the poll that follows a tab change has drawn
        self.browser.save_screenshot(os.path.join(SHOTS, name))

    def test_the_operator_s_round(self):
        self.shots = []
        sent = smtplib.SMTP("127.0.0.1", self.smtp_port, local_hostname="sender.test")
        sent.sendmail("tracked@example.com", ["someone@example.org"],
                      "From: <tracked@example.com>\r\nSubject: find me\r\n\r\nhello\r\n")
        sent.quit()

        browser = self.browser
        browser.get(self.console + "/")
        self.shoot("console-01-login.png")
        self.find("login-password").send_keys("wrong")
        self.find("login-form").submit()
        self.wait.until(seen.text_to_be_present_in_element((By.ID, "login-message"), "wrong user or password"))
        self.find("login-password").clear()
        self.find("login-password").send_keys(PASSWORD)
        self.find("login-form").submit()
        self.wait.until(seen.visibility_of_element_located((By.ID, "app-view")))
        self.wait.until(lambda _: browser.find_elements(By.CSS_SELECTOR, "#chart svg rect"))
        self.assertIn("Listening", self.find("status-counters").text)
        self.shoot("console-02-status.png")

        # An open connection shows up, and Terminate ends it.
        watched = smtplib.SMTP("127.0.0.1", self.smtp_port, local_hostname="watched.test")
        watched.ehlo("watched.test")
        watched.mail("watched@example.com")
        watched.rcpt("someone@example.org")
        self.find("tab-connections").click()
        rows = "#connections tbody tr"
        row = self.wait.until(lambda _: [r.text for r in browser.find_elements(By.CSS_SELECTOR, rows)
                                         if "watched.test" in r.text])
        self.assertIn("watched@example.com", row[0])
        self.assertIn("someone@example.org", row[0])
        self.shoot("console-03-connections.png")
        self.wait.until(lambda _: browser.find_element(By.CSS_SELECTOR, rows + " button").click() or True)
        self.wait.until(seen.text_to_be_present_in_element((By.ID, "app-message"), "terminated"))
        with self.assertRaises(smtplib.SMTPServerDisconnected):
            watched.noop()
        watched.close()
        self.wait.until(lambda _: not browser.find_elements(By.CSS_SELECTOR, "#connections tbody tr"))

        # A local domain added in Lists is accepted at RCPT at once.
        self.find("tab-lists").click()
        entries = self.find("list-entries")
        self.wait.until(lambda _: entries.get_attribute("value") == "example.org")
        entries.send_keys("\nadded.example")
        self.find("lists-form").submit()
        self.wait.until(seen.text_to_be_present_in_element((By.ID, "app-message"), "Saved 2 entries"))
        self.shoot("console-04-lists.png")
        check = smtplib.SMTP("127.0.0.1", self.smtp_port, local_hostname="sender.test")
        check.ehlo("sender.test")
        check.mail("someone@far.example")
        self.assertEqual(check.rcpt("user@added.example")[0], 250)
        check.quit()

        # Tracking finds the relayed message by its sender.
        self.find("tab-tracking").click()
        self.find("track-sender").send_keys("tracked@")
        self.find("tracking-form").submit()
        found = self.wait.until(lambda _: browser.find_elements(By.CSS_SELECTOR, "#tracking-results article"))
        self.assertEqual(len(found), 1)
        self.assertIn("find me from <tracked@example.com> sent to <someone@example.org>", found[0].text)
        self.shoot("console-05-tracking.png")

        self.find("tab-log").click()
        self.wait.until(seen.text_to_be_present_in_element((By.ID, "log"), "Console: user admin saved LocalDomains"))
        self.shoot("console-06-log.png")
        self.find("tab-learning").click()
        self.wait.until(seen.text_to_be_present_in_element((By.ID, "learn-jobs"), "Learning"))
        self.shoot("console-07-learning.png")
        self.find("tab-tests").click()
        self.wait.until(seen.text_to_be_present_in_element((By.ID, "dnsbl-result"), "not checked"))
        self.shoot("console-08-tests.png")

        # Readable on a phone: the connection table becomes one block per connection.
        browser.set_window_size(390, 844)
        self.find("tab-status").click()
        self.shoot("console-09-phone-status.png")
        problems = [entry for entry in browser.get_log("browser") if entry["source"] != "network"]
        self.assertEqual(problems, [], "no script errors and nothing the page's content policy refused")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
