#!/usr/bin/env python3
"""The office map against a real listener, a real PostgreSQL/PostGIS and
Debian's headless Chromium: the API's guards without a browser, then one walk
through the page as an office user sees it."""

import argparse
import gzip
import http.client
import json
import os
import re
import sys
import time
import unittest
from urllib.parse import urlencode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

ARGS = None
PASSWORD = 'correct horse battery'
HOSTILE = '<script>window.pwned=1</script>"><img src=x onerror="window.pwned=2"> javascript:alert(3) '


class Office(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pg = harness.PgCluster()
        cls.folder = os.path.dirname(ARGS.catalogue)
        # A keyed listener starts only once there are crews.
        cls.keys = {crew: harness.add_crew(ARGS.listener, cls.pg.conninfo, crew) for crew in ('north', 'south', 'east')}
        cls.listener = harness.Listener(ARGS.listener, '--pg', cls.pg.conninfo, '--catalogue', ARGS.catalogue,
                                        '--icons', ARGS.icons, '--cluster-above', '40')
        status, out = harness.command(ARGS.listener, '--pg', cls.pg.conninfo, 'users', 'add', 'ann',
                                      stdin=PASSWORD + '\n')
        assert status == 0, out

    @classmethod
    def tearDownClass(cls):
        cls.listener.close()
        cls.pg.close()

    def post(self, crew, latitude, longitude, **fields):
        event_id, body = harness.event_document(crew, latitude, longitude, **fields)
        status, text = harness.Poster(self.listener.port, self.keys[crew]).post(body)
        self.assertEqual(status, 200, text)
        return event_id

    def get(self, path, cookie='', headers=None):
        return harness.request(self.listener.port, 'GET', path, headers={'Cookie': cookie, **(headers or {})})

    # Without a browser: who may see what, what a bad parameter gets, and
    # the headers every answer carries.
    def test_guards(self):
        status, _, body = self.get('/api/events')
        self.assertEqual((status, 'error' in json.loads(body)), (401, True))
        if self.keys['north']:
            status, _, _ = self.get('/api/crews', headers={'Authorization': 'Bearer ' + self.keys['north']})
            self.assertEqual(status, 401, 'a crew key opens no page')
        self.assertEqual(self.get('/')[0:2][0], 303)

        # Ten wrong passwords from one address, then 429 even for the right
        # one; another address still logs in.
        for attempt in range(10):
            cookie, status, _, body = harness.login(self.listener.port, 'ann', 'wrong %d' % attempt, '127.0.0.3')
            self.assertEqual((cookie, status), ('', 401))
            self.assertIn('Wrong user name or password.', body)
        cookie, status, headers, body = harness.login(self.listener.port, 'ann', PASSWORD, '127.0.0.3')
        self.assertEqual((cookie, status), ('', 429))
        self.assertGreater(int(headers['retry-after']), 0)
        self.assertEqual(harness.login(self.listener.port, 'nobody', PASSWORD, '127.0.0.4')[1], 401)

        cookie, status, headers, _ = harness.login(self.listener.port, 'ann', PASSWORD, '127.0.0.4')
        self.assertEqual(status, 303)
        attributes = [part.strip() for part in headers['set-cookie'].split(';')]
        self.assertIn('HttpOnly', attributes)
        self.assertIn('SameSite=Strict', attributes)
        self.assertNotIn('Secure', attributes, 'Secure only over TLS')

        for path in ('/', '/api/crews', '/login', '/static/office.js'):
            status, headers, _ = self.get(path, cookie)
            self.assertEqual(status, 200, path)
            policy = headers['content-security-policy']
            self.assertIn("script-src 'self'", policy)
            self.assertNotIn('unsafe-inline', policy)
            self.assertNotIn('*', policy)
        # A type's icon from --icons; one the listener lacks is a plain marker, never a broken image;
        # a path that climbs out is refused.
        answers = [self.get(path, cookie) for path in ('/icons/pothole.ico', '/icons/no-such.ico', '/icons/..%2fx.ico')]
        self.assertEqual([(status, headers.get('content-type')) for status, headers, _ in answers],
                         [(200, 'image/x-icon'), (200, 'image/svg+xml'), (400, 'text/plain; charset=utf-8')])
        self.assertIn('<circle', answers[1][2])
        # The pages link their files by content: kept a year, or an hour when asked for by name alone.
        page = self.get('/', cookie)[2]
        for link in ('/static/office.js', '/leaflet/leaflet.js'):
            versioned = re.search('"(%s\\?v=[0-9a-f]{12})"' % re.escape(link), page).group(1)
            self.assertEqual([self.get(path, cookie)[1]['cache-control'] for path in (versioned, link)],
                             ['public, max-age=31536000, immutable', 'public, max-age=3600'], link)

        bad = {
            'bbox=1,2,3': 'bbox', 'bbox=a,b,c,d': 'bbox', 'bbox=0,0,200,10': 'bbox', 'bbox=10,0,0,10': 'bbox',
            'since=yesterday': 'since', 'until=1e20': 'until', 'since=20&until=10': 'since',
            'type=pothole': 'type', 'limit=0': 'limit', 'zoom=3': 'Unknown parameter', 'crew=a&crew=b': 'twice',
        }
        for query, reason in bad.items():
            status, _, body = self.get('/api/events?' + query, cookie)
            self.assertEqual(status, 400, query)
            self.assertIn(reason, json.loads(body)['error'], query)

        # Paging by id, filters by type and time: three of east's events of
        # the day before yesterday (out of the page's default of today).
        day = time.time() - 2 * 86400
        stamp = lambda t: time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(t))
        for i, kind in enumerate((101, 102, 101)):
            self.post('east', 10 + i * 0.01, 10, type_id=kind, gmt=stamp(day + i * 60))
        self.pg.query("UPDATE zepta.events SET received_at = gmt WHERE crew = 'east'")  # a crew gone quiet
        window = 'crew=east&since=%d&until=%d' % (day - 60, day + 3600)
        first = json.loads(self.get('/api/events?limit=2&' + window, cookie)[2])
        rest = json.loads(self.get('/api/events?limit=2&after=%d&%s' % (first['next'], window), cookie)[2])
        self.assertEqual(([f['properties']['event_type_id'] for f in first['features'] + rest['features']],
                          rest['next']), ([101, 102, 101], None))
        typed = json.loads(self.get('/api/events?type=102&' + window, cookie)[2])['features']
        self.assertEqual([f['properties']['crew_name'] for f in typed], ['east'])
        crews = json.loads(self.get('/api/crews?since=%d' % (day - 60), cookie)[2])['crews']
        self.assertEqual([(c['crew'], c['today'], c['lat']) for c in crews if c['crew'] == 'east'], [('east', 3, 10.02)])
        # Gzipped where asked for (the page's JSON and files), plain otherwise.
        events = '/api/events?' + window
        for path, accept, gzipped in ((events, 'gzip, deflate', True), ('/static/office.js', 'br;q=1, gzip', True),
                                      (events, 'gzip;q=0, deflate', False), ('/static/office.js', '', False)):
            connection = http.client.HTTPConnection('127.0.0.1', self.listener.port, timeout=10)
            connection.request('GET', path, headers={'Cookie': cookie, 'Accept-Encoding': accept})
            answer = connection.getresponse()
            body = answer.read()
            connection.close()
            self.assertEqual((answer.getheader('Content-Encoding') == 'gzip', answer.getheader('Vary')),
                             (gzipped, 'Accept-Encoding'), (path, accept))
            text = (gzip.decompress(body) if gzipped else body).decode()
            self.assertTrue('"features"' in text or "'use strict'" in text, (path, accept))

        # A session posts no event when crews need keys.
        if self.keys['north']:
            _, document = harness.event_document('north', 1, 1)
            status, _, _ = harness.request(self.listener.port, 'POST', '/Zepta/listener.asp', document,
                                           {'Cookie': cookie, 'Content-Type': 'text/xml'})
            self.assertEqual(status, 401)

        # Logging out ends the session; removing a user ends all of its.
        other, _, _, _ = harness.login(self.listener.port, 'ann', PASSWORD, '127.0.0.5')
        status, headers, _ = harness.request(self.listener.port, 'POST', '/logout', '', {'Cookie': cookie})
        self.assertEqual((status, headers['location']), (303, '/login'))
        self.assertEqual(self.get('/api/crews', cookie)[0], 401)
        self.assertEqual(self.get('/api/crews', other)[0], 200)
        status, out = harness.command(ARGS.listener, '--pg', self.pg.conninfo, 'users', 'list')
        self.assertIn('ann\t', out)
        harness.command(ARGS.listener, '--pg', self.pg.conninfo, 'users', 'add', 'temp', stdin=PASSWORD + '\n')
        temp, _, _, _ = harness.login(self.listener.port, 'temp', PASSWORD, '127.0.0.5')
        self.assertEqual(harness.command(ARGS.listener, '--pg', self.pg.conninfo, 'users', 'remove', 'temp')[0], 0)
        self.assertEqual(self.get('/api/crews', temp)[0], 401)
        self.assertEqual(harness.command(ARGS.listener, '--pg', self.pg.conninfo, 'users', 'add', 'x',
                                         stdin='short\n')[0], 2)
        self.assertNotIn(PASSWORD, self.listener.log())

        # Over TLS the session cookie is Secure as well.
        import ssl
        import subprocess
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            key, certificate = os.path.join(folder, 'key.pem'), os.path.join(folder, 'cert.pem')
            subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out',
                            certificate, '-days', '1', '-subj', '/CN=127.0.0.1'], check=True, capture_output=True)
            os.chmod(key, 0o600)
            secure = harness.Listener(ARGS.listener, '--pg', self.pg.conninfo, '--tls-cert', certificate,
                                      '--tls-key', key)
            try:
                context = ssl.create_default_context(cafile=certificate)
                context.check_hostname = False
                connection = http.client.HTTPSConnection('127.0.0.1', secure.port, context=context,
                                                         source_address=('127.0.0.7', 0))
                connection.request('POST', '/login', urlencode({'user': 'ann', 'password': PASSWORD}),
                                   {'Content-Type': 'application/x-www-form-urlencoded'})
                answer = connection.getresponse()
                self.assertEqual(answer.status, 303)
                self.assertIn('Secure', [part.strip() for part in answer.getheader('Set-Cookie').split(';')])
                connection.close()
            finally:
                secure.close()

        # The file sink has no office pages and says why.
        with tempfile_listener() as plain:
            status, _, body = harness.request(plain.port, 'GET', '/api/events')
            self.assertEqual(status, 404)
            self.assertIn('PostgreSQL', body)

    # Basemaps: an MBTiles file made by GDAL served as /tiles/Z/X/Y to a
    # session, and a tile server's images allowed by the policy.
    def test_basemaps(self):
        import subprocess
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            image, tiles = os.path.join(folder, 'world.tif'), os.path.join(folder, 'world.mbtiles')
            subprocess.run(['gdal_create', '-q', '-of', 'GTiff', '-outsize', '256', '256', '-bands', '3', '-burn', '90',
                            '-ot', 'Byte', '-a_srs', 'EPSG:3857', '-a_ullr', '-20037508', '20037508', '20037508',
                            '-20037508', image], check=True)
            subprocess.run(['gdal_translate', '-q', '-of', 'MBTILES', image, tiles], check=True)
            offline = harness.Listener(ARGS.listener, '--pg', self.pg.conninfo, '--mbtiles', tiles)
            try:
                cookie = harness.login(offline.port, 'ann', PASSWORD, '127.0.0.6')[0]
                get = lambda path, c=cookie: harness.request(offline.port, 'GET', path, headers={'Cookie': c})
                status, headers, _ = get('/tiles/0/0/0')
                self.assertEqual((status, headers['content-type']), (200, 'image/png'))
                self.assertEqual([get(path)[0] for path in ('/tiles/0/0/0', '/tiles/1/5/0', '/tiles/3/0')],
                                 [200, 404, 400])
                self.assertEqual(get('/tiles/0/0/0', '')[0], 401)
                self.assertEqual(json.loads(get('/api/config')[2])['tiles'], '/tiles/{z}/{x}/{y}')
            finally:
                offline.close()
        online = harness.Listener(ARGS.listener, '--pg', self.pg.conninfo, '--tiles',
                                  'https://{s}.tile.example.org/{z}/{x}/{y}.png', '--tiles-attribution', 'Example')
        try:
            policy = harness.request(online.port, 'GET', '/login')[1]['content-security-policy']
            self.assertIn("img-src 'self' https://*.tile.example.org;", policy)
        finally:
            online.close()
        self.assertEqual(harness.command(ARGS.listener, '--pg', self.pg.conninfo, '--tiles', 'javascript:alert(1)',
                                         '--port', '0')[0], 2)

    # One walk through the page in Chromium.
    def test_page_walk(self):
        reason = harness.browser_missing()
        if reason:
            self.skipTest('browser tests skipped: %s (Debian packages %s)' % (reason, harness.BROWSER_PACKAGES))
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import Select, WebDriverWait

        north = [self.post('north', 57.40 + i * 0.001, -6.20, type_id=101) for i in range(20)]
        for i in range(9):
            self.post('south', 57.31 + i * 0.001, -6.01, type_id=103)
        # The crew's latest event, so that clicking the crew brings it into view.
        hostile_id = self.post('south', 57.30, -6.00, type_id=103, notes=HOSTILE + 'x' * 5000)

        browser = harness.chromium()
        try:
            wait = WebDriverWait(browser, 15, poll_frequency=0.05)
            browser.get(self.listener.url + '/')
            self.assertTrue(browser.current_url.endswith('/login'))
            browser.find_element(By.ID, 'user').send_keys('ann')
            browser.find_element(By.ID, 'password').send_keys(PASSWORD)
            browser.find_element(By.ID, 'submit').click()
            wait.until(lambda b: b.execute_script('return document.documentElement.dataset.state') == 'ready')

            def shown():
                """Events on the map: single markers plus the clusters' counts."""
                return browser.execute_script('''
                    let n = document.querySelectorAll('.leaflet-marker-icon:not(.crew-marker)' +
                        ':not(.event-cluster-icon)').length;
                    for (const c of document.querySelectorAll('.event-cluster span')) n += Number(c.textContent);
                    return n;''')
            wait.until(lambda b: shown() == 30)
            crews = [li.text for li in browser.find_elements(By.CSS_SELECTOR, '#crews li .name')]
            self.assertEqual(crews, ['east', 'north', 'south'])
            stale = [li.find_element(By.CLASS_NAME, 'name').text
                     for li in browser.find_elements(By.CSS_SELECTOR, '#crews li.stale')]
            self.assertEqual(stale, ['east'], 'greyed after 15 minutes without an event')

            # The crew filter, then the hostile event's popup read as text.
            Select(browser.find_element(By.ID, 'filter-crew')).select_by_value('south')
            wait.until(lambda b: shown() == 10)
            loads = browser.execute_script('return document.documentElement.dataset.loads')
            browser.find_element(By.XPATH, "//li[span[@class='name' and text()='south']]").click()
            wait.until(lambda b: b.execute_script('return document.documentElement.dataset.loads') != loads)
            browser.execute_script('''
                const marker = window.__zepta.markers.get(arguments[0]);
                const layer = window.__zepta.eventLayer;
                if (layer.zoomToShowLayer) layer.zoomToShowLayer(marker, () => marker.openPopup());
                else marker.openPopup();''', self.feature_id(hostile_id))
            popup_text = wait.until(lambda b: b.execute_script(
                "const c = document.querySelector('.leaflet-popup-content .popup-notes'); return c && c.textContent"))
            self.assertEqual(popup_text, HOSTILE + 'x' * 5000)
            popup, view = browser.execute_script('''
                return [document.querySelector('.leaflet-popup-content-wrapper').getBoundingClientRect().toJSON(),
                        document.getElementById('map').getBoundingClientRect().toJSON()]''')
            self.assertGreater(popup['width'], 200, 'a popup wide enough to read, not a thin column')
            self.assertLess(popup['height'], view['height'] / 2, 'a popup that fits the map without panning it away')
            self.assertIsNone(browser.execute_script('return window.pwned'))
            self.assertEqual(browser.execute_script(
                "return document.querySelectorAll('.leaflet-popup-content img, .leaflet-popup-content script').length"), 0)

            # Live: an event posted while the page is open shows within 2 s.
            Select(browser.find_element(By.ID, 'filter-crew')).select_by_value('')
            browser.execute_script('window.__zepta.map.fitBounds([[57.28, -6.35], [57.55, -5.95]])')
            wait.until(lambda b: shown() == 30)
            started = time.monotonic()
            self.post('north', 57.45, -6.25, type_id=101)
            WebDriverWait(browser, 2, poll_frequency=0.05).until(lambda b: shown() == 31)
            self.assertLess(time.monotonic() - started, 2.0)

            # Above --cluster-above the listener groups the events itself.
            for i in range(15):
                self.post('north', 57.50 + i * 0.001, -6.30)
            browser.execute_script('window.__zepta.reload()')
            wait.until(lambda b: 'grouped by the listener' in b.find_element(By.ID, 'summary').text)
            self.assertEqual(shown(), 46)

            # The database goes away: the page says so, and recovers by itself.
            self.pg.stop()
            try:
                wait.until(lambda b: b.find_element(By.ID, 'status').text == 'database unavailable, retrying')
            finally:
                self.pg.start()
            WebDriverWait(browser, 30).until(lambda b: not b.find_element(By.ID, 'status').is_displayed())
            self.post('south', 57.33, -6.02, type_id=103)
            WebDriverWait(browser, 10).until(lambda b: shown() == 47)

            errors = [entry for entry in browser.get_log('browser') if entry['level'] == 'SEVERE'
                      and 'Content Security Policy' in entry['message']]
            self.assertEqual(errors, [])
        finally:
            browser.quit()

    def feature_id(self, event_id):
        return int(self.pg.query("SELECT id FROM zepta.events WHERE event_id = '%s'" % event_id))


class tempfile_listener:
    def __enter__(self):
        import tempfile
        self.dir = tempfile.TemporaryDirectory()
        self.listener = harness.Listener(ARGS.listener, '--allow-anonymous', '--out',
                                         os.path.join(self.dir.name, 'events.txt'))
        return self.listener

    def __exit__(self, *exc):
        self.listener.close()
        self.dir.cleanup()


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--listener', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--icons', required=True)
    ARGS, rest = parser.parse_known_args()
    import tempfile
    work = tempfile.TemporaryDirectory(prefix='zepta-office-')
    ARGS.catalogue = harness.make_catalogue(ARGS.source, work.name)
    result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    missing = harness.browser_missing()
    if missing:
        # CTest shows the test as skipped, with this line as the reason.
        print('SKIPPED the browser walk: %s; install %s' % (missing, harness.BROWSER_PACKAGES))
        sys.exit(77)
