"""Real parts for the office map's tests and benchmark: a PostgreSQL/PostGIS
server in a temporary folder, zepta-listener as a process, crews posting
event documents over HTTP, and Debian's headless Chromium."""

import http.client
import os
import pwd
import shutil
import socket
import sqlite3
import subprocess
import tempfile
import time
import uuid

PG_BIN = os.environ.get('ZEPTA_PG_BIN', '/usr/lib/postgresql/15/bin')
BROWSER_PACKAGES = 'chromium chromium-driver python3-selenium'


def browser_missing():
    """Why the browser tests cannot run, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return 'python3-selenium is not installed'
    for program in ('chromium', 'chromedriver'):
        if not shutil.which(program):
            return program + ' is not installed'
    return None


class PgCluster:
    """A PostgreSQL server of its own, on a Unix socket in a temporary folder."""

    def __init__(self, durable=False):
        self.durable = durable  # fsync on, as a real server runs
        self.dir = tempfile.mkdtemp(prefix='zepta-pg-')
        self.as_postgres = os.geteuid() == 0
        if self.as_postgres:
            user = pwd.getpwnam('postgres')
            os.chown(self.dir, user.pw_uid, user.pw_gid)
        self._run('initdb', '-D', self.dir + '/data', '-U', 'zepta', '-A', 'trust', '-E', 'UTF8',
                  '--no-locale', '--no-sync')
        self.start()

    def _run(self, program, *arguments):
        command = [PG_BIN + '/' + program, *arguments]
        if self.as_postgres:
            command = ['runuser', '-u', 'postgres', '--'] + command
        subprocess.run(command, cwd=self.dir, check=True, capture_output=True)

    @property
    def conninfo(self):
        return 'host=%s port=5432 user=zepta dbname=postgres' % self.dir

    def start(self):
        self._run('pg_ctl', '-D', self.dir + '/data', '-w', '-l', self.dir + '/server.log', '-o',
                  '-k %s -p 5432 -c listen_addresses= -c max_connections=200%s'
                  % (self.dir, '' if self.durable else ' -c fsync=off'), 'start')

    def stop(self):
        self._run('pg_ctl', '-D', self.dir + '/data', '-w', '-m', 'fast', 'stop')

    def query(self, sql):
        out = subprocess.run([PG_BIN + '/psql', self.conninfo, '-XAtq', '-v', 'ON_ERROR_STOP=1', '-c', sql],
                             check=True, capture_output=True, text=True)
        return out.stdout.strip()

    def close(self):
        try:
            self._run('pg_ctl', '-D', self.dir + '/data', '-m', 'immediate', 'stop')
        except subprocess.CalledProcessError:
            pass
        shutil.rmtree(self.dir, ignore_errors=True)


def make_catalogue(source_dir, folder):
    """zepta.mdb built from the committed SQL, and the icons beside it."""
    path = os.path.join(folder, 'zepta.mdb')
    with open(os.path.join(source_dir, 'data', 'zepta.sql'), encoding='utf-8') as sql:
        db = sqlite3.connect(path)
        db.executescript(sql.read())
        db.close()
    return path


class Listener:
    """zepta-listener on 127.0.0.1, a free port; its log kept in a file."""

    def __init__(self, program, *arguments):
        self.program = program
        self.log_file = tempfile.NamedTemporaryFile(prefix='zepta-listener-', suffix='.log', delete=False)
        self.process = subprocess.Popen([program, '--port', '0', *arguments], stdout=subprocess.PIPE,
                                        stderr=self.log_file, text=True)
        line = self.process.stdout.readline()
        if not line.strip().isdigit():
            self.process.wait(10)
            raise RuntimeError('the listener did not start: ' + self.log())
        self.port = int(line)

    def log(self):
        with open(self.log_file.name, encoding='utf-8', errors='replace') as log:
            return log.read()

    def close(self):
        self.process.terminate()
        self.process.wait(30)
        os.unlink(self.log_file.name)

    @property
    def url(self):
        return 'http://127.0.0.1:%d' % self.port


def command(program, *arguments, stdin=''):
    """Runs zepta-listener as a command (users, crews); its output and status."""
    done = subprocess.run([program, *arguments], input=stdin, capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr


def keyed(program):
    """Whether this listener asks crews for keys (it then has --allow-anonymous)."""
    return '--allow-anonymous' in command(program, '--help')[1]


def add_crew(program, conninfo, name):
    """A new crew key, or None when the listener takes anonymous posts."""
    if not keyed(program):
        return None
    done = subprocess.run([program, '--pg', conninfo, 'crews', 'add', name], capture_output=True, text=True,
                          timeout=60)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return done.stdout.strip().split()[-1]


def event_document(client_id, latitude, longitude, type_id=101, notes='', gmt=None, event_id=None):
    from xml.sax.saxutils import escape
    event_id = event_id or str(uuid.uuid4())
    gmt = gmt or time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())
    body = ('<?xml version="1.0"?><Zepta><GeocodedEvent><EventId>%s</EventId><ClientId>%s</ClientId>'
            '<EventTypeId>%d</EventTypeId><Notes>%s</Notes><GpsReading><Gmt>%s</Gmt>'
            '<Latitude>%.7f</Latitude><Longitude>%.7f</Longitude><FixQuality>1</FixQuality>'
            '<Satellites>8</Satellites><Hdop>0.9</Hdop><Locked>true</Locked></GpsReading>'
            '</GeocodedEvent></Zepta>') % (event_id, escape(client_id), type_id, escape(notes), gmt,
                                          latitude, longitude)
    return event_id, body.encode('utf-8')


class Poster:
    """One crew's kept-alive connection to the listener."""

    def __init__(self, port, key=None, source='127.0.0.1'):
        self.port, self.key, self.source = port, key, source
        self.connection = None

    def post(self, body, headers=None):
        for attempt in range(2):
            if self.connection is None:
                self.connection = http.client.HTTPConnection('127.0.0.1', self.port, timeout=30,
                                                             source_address=(self.source, 0))
            sent = {'Content-Type': 'text/xml', **(headers or {})}
            if self.key:
                sent['Authorization'] = 'Bearer ' + self.key
            try:
                self.connection.request('POST', '/Zepta/listener.asp', body, sent)
                answer = self.connection.getresponse()
                return answer.status, answer.read().decode('utf-8', 'replace')
            except (ConnectionError, http.client.HTTPException, socket.timeout):
                self.connection.close()
                self.connection = None
                if attempt:
                    raise
        return None


def request(port, method, path, body=None, headers=None, source='127.0.0.1'):
    """One HTTP exchange: status, headers (lower-case names) and body text."""
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=30, source_address=(source, 0))
    connection.request(method, path, body, headers or {})
    answer = connection.getresponse()
    result = answer.status, {k.lower(): v for k, v in answer.getheaders()}, answer.read().decode('utf-8', 'replace')
    connection.close()
    return result


def login(port, user, password, source='127.0.0.1'):
    """The session cookie of a login ('' when refused), and the answer."""
    from urllib.parse import urlencode
    status, headers, body = request(port, 'POST', '/login', urlencode({'user': user, 'password': password}),
                                    {'Content-Type': 'application/x-www-form-urlencoded'}, source)
    cookie = headers.get('set-cookie', '')
    return cookie.split(';')[0] if status == 303 else '', status, headers, body


def chromium(width=1400, height=900):
    """Headless Chromium through chromium-driver."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which('chromium')
    for argument in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu',
                     '--window-size=%d,%d' % (width, height), '--proxy-server=direct://',
                     '--proxy-bypass-list=*'):
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)
