#!/usr/bin/python3
"""A stand-in database for the Data Pump clients (tests/job/data/expdp).

    fake_database.py SOCKET CONFIG

Listens on the Unix socket SOCKET. Each client sends one JSON line
{program, params, commands, nls_lang}; the answer is the utility's output,
then a line "\\0EXIT n" with its exit status. CONFIG (JSON, read again for
every request, so a test may change it between runs) holds:
  service        the one service name a login may reach ("ORCL")
  users          {"SCOTT": "tiger"}: who may log in, and the password
  directories    {"DATA_PUMP_DIR": "/folder"}: the directory objects
  tables         {"SCOTT": {"EMP": 14}}: each schema's tables and rows
  table_seconds  how long the job spends on each table (default 0)
  failing_tables tables whose data cannot be unloaded (ORA-31693)
Jobs run here, in a thread of their own: a client that dies leaves its job
running, growing its dump files, until it ends or an ATTACH=OWNER.JOB client
answers KILL_JOB and yes (the job stops, its dump files are deleted, its log
stays). The jobs there are, with their state, are kept in SOCKET.jobs (JSON)
for the tests to read.
"""
import json
import os
import socket
import sys
import threading
import time

SOCKET_PATH, CONFIG_PATH = sys.argv[1], sys.argv[2]
LEGACY = {"FILE", "LOG", "OWNER", "CONSISTENT", "COMPRESS", "BUFFER", "DIRECT", "ROWS", "GRANTS",
          "INDEXES", "CONSTRAINTS", "TRIGGERS", "STATISTICS", "RECORDLENGTH", "FEEDBACK",
          "INCTYPE", "RECORD", "VOLSIZE", "FULL_Y", "SHOW", "IGNORE", "FROMUSER", "TOUSER"}
KNOWN = {"USERID", "DIRECTORY", "DUMPFILE", "LOGFILE", "NOLOGFILE", "JOB_NAME", "TABLES",
         "SCHEMAS", "FULL", "FLASHBACK_TIME", "FLASHBACK_SCN", "PARALLEL", "FILESIZE",
         "REUSE_DUMPFILES", "ATTACH", "CONTENT", "EXCLUDE", "INCLUDE", "QUERY", "ESTIMATE",
         "COMPRESSION", "SQLFILE", "METRICS", "LOGTIME", "STATUS", "VERSION"}
HEADER_BYTES = 256
STAR_LINE = "*" * 78
jobs = {}  # "OWNER.JOB" -> {"state", "killed", "files", "operation"}
lock = threading.Lock()


def save_jobs():
    with open(SOCKET_PATH + ".jobs.tmp", "w") as f:
        json.dump({name: job["state"] for name, job in jobs.items()}, f)
    os.replace(SOCKET_PATH + ".jobs.tmp", SOCKET_PATH + ".jobs")


class Session:
    def __init__(self, conn, request, config):
        self.conn, self.config = conn, config
        self.program = request["program"]
        self.params = request["params"]
        self.commands = request.get("commands", "").splitlines()
        self.korean = request.get("nls_lang", "").upper().startswith("KOREAN")
        self.connected = True
        self.log = None

    def say(self, text=""):
        for line in text.split("\n"):
            if self.log:
                self.log.write(line + "\n")
                self.log.flush()
            if self.connected:
                try:
                    self.conn.sendall((line + "\n").encode("utf-8"))
                except OSError:
                    self.connected = False  # the client died: the job goes on

    def leave(self, status):
        if self.connected:
            try:
                self.conn.sendall(b"\0EXIT %d\n" % status)
            except OSError:
                pass

    def value(self, name, default=None):
        for n, v in self.params:
            if n == name:
                return v
        return default

    def closing(self, owner, job, errors, fatal, began):
        now = time.strftime("%a %b %d %H:%M:%S %Y")
        clock = time.strftime("%H:%M:%S")
        elapsed = int(time.time() - began)
        took = f"elapsed 0 {elapsed // 3600:02d}:{elapsed // 60 % 60:02d}:{elapsed % 60:02d}"
        if self.korean:
            if fatal:
                return f'"{owner}"."{job}" 작업이 치명적 오류로 인해 {clock}에서 정지됨 {took}'
            if errors:
                return f'"{owner}"."{job}" 작업이 {errors} 오류와 함께 {clock}에서 완료됨 {took}'
            return f'"{owner}"."{job}" 작업이 {clock}에서 성공적으로 완료됨 {took}'
        if fatal:
            return f'Job "{owner}"."{job}" stopped due to fatal error at {now} {took}'
        if errors:
            return f'Job "{owner}"."{job}" completed with {errors} error(s) at {now} {took}'
        return f'Job "{owner}"."{job}" successfully completed at {now} {took}'

    def fatal(self, *lines):
        self.say("\n".join(lines))
        self.say()
        self.leave(1)

    def login(self):
        userid = self.value("USERID", "")
        user, _, rest = userid.partition("/")
        password, _, service = rest.partition("@")
        if service.upper() != self.config["service"].upper():
            self.fatal("UDE-12154: operation generated ORACLE error 12154",
                       "ORA-12154: TNS:could not resolve the connect identifier specified")
            return None
        if self.config["users"].get(user.upper()) != password:
            self.fatal("UDE-01017: operation generated ORACLE error 1017",
                       "ORA-01017: invalid username/password; logon denied")
            return None
        word = "Export" if self.program == "expdp" else "Import"
        self.say(f"\n{word}: Release 19.0.0.0.0 - Production on "
                 f"{time.strftime('%a %b %d %H:%M:%S %Y')}\nVersion 19.3.0.0.0\n\n"
                 "Connected to: Database 19c Enterprise Edition Release 19.0.0.0.0 - Production")
        return user.upper()

    def run(self):
        names = [n for n, _ in self.params]
        legacy = [n for n in names if n in LEGACY]
        unknown = [n for n in names if n not in KNOWN and n not in LEGACY]
        if unknown:
            return self.fatal("", f"LRM-00101: unknown parameter name '{unknown[0].lower()}'")
        owner = self.login()
        if owner is None:
            return None
        if legacy:
            self.say("Legacy Mode Active due to the following parameters:")
            for n in legacy:
                self.say(f'Legacy Mode Parameter: "{n.lower()}={self.value(n)}" '
                         'Location: Command Line, Replaced with: '
                         f'"{ {"FILE": "dumpfile", "LOG": "logfile", "OWNER": "schemas"}.get(n, n.lower())}'
                         f'={self.value(n)}"')
            for n in ("FILE", "LOG"):
                if "/" in (self.value(n) or ""):
                    return self.fatal("ORA-39001: invalid argument value",
                                      "ORA-39000: bad dump file specification",
                                      "ORA-39088: file name cannot contain a path specification")
        attach = self.value("ATTACH")
        if attach is not None:
            return self.attach(owner, attach)
        if self.program == "impdp":
            return self.read_back(owner)
        return self.export(owner)

    def folder(self):
        name = (self.value("DIRECTORY") or "DATA_PUMP_DIR").upper()
        folder = self.config["directories"].get(name)
        if folder is None:
            self.fatal("ORA-39002: invalid operation", "ORA-39070: Unable to open the log file.",
                       f"ORA-39087: directory name {name} is invalid")
        return folder

    def file_names(self, spec, pieces):
        names = []
        for entry in spec.split(","):
            entry = entry.strip().split(":")[-1]
            if "/" in entry:
                self.fatal("ORA-39001: invalid argument value",
                           "ORA-39000: bad dump file specification",
                           "ORA-39088: file name cannot contain a path specification")
                return None
            if "%U" in entry.upper():
                at = entry.upper().index("%U")
                names += [entry[:at] + f"{i:02d}" + entry[at + 2:] for i in range(1, pieces + 1)]
            else:
                names.append(entry)
        return names

    def open_log(self, folder, default):
        if (self.value("NOLOGFILE") or "").upper() == "YES":
            return
        name = self.value("LOGFILE", default)
        try:
            fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o640)
        except OSError:
            return self.fatal("ORA-39002: invalid operation",
                              "ORA-39070: Unable to open the log file.",
                              "ORA-29283: invalid file operation")
        self.log = os.fdopen(fd, "w", encoding="utf-8")
        self.log.write(";;; \nExport: Release 19.0.0.0.0 - Production\n;;; \n")
        return True

    def export(self, owner):
        folder = self.folder()
        if folder is None:
            return
        parallel = int(self.value("PARALLEL", "1"))
        schema_tables = self.config["tables"].get(owner, {})
        tables = self.value("TABLES")
        job = (self.value("JOB_NAME") or
               ("SYS_EXPORT_TABLE_01" if tables else "SYS_EXPORT_SCHEMA_01")).upper()
        key = f"{owner}.{job}"
        names = self.file_names(self.value("DUMPFILE", "expdat.dmp"), parallel)
        if names is None:
            return
        paths = [os.path.join(folder, n) for n in names]
        reuse = (self.value("REUSE_DUMPFILES") or "").upper() == "YES"
        with lock:
            if key in jobs:
                return self.fatal("ORA-31634: job already exists",
                                  "ORA-31664: unable to construct unique job name when defaulted")
            for path in paths:
                if os.path.exists(path) and not reuse:
                    return self.fatal("ORA-39001: invalid argument value",
                                      "ORA-39000: bad dump file specification",
                                      f'ORA-31641: unable to create dump file "{path}"',
                                      "ORA-27038: created file already exists",
                                      "Additional information: 1")
            entry = {"state": "EXECUTING", "killed": False, "files": paths,
                     "operation": "EXPORT"}
            jobs[key] = entry
            save_jobs()
        if not self.open_log(folder, "export.log"):
            with lock:
                del jobs[key]
                save_jobs()
            return
        began = time.time()
        login = self.value("USERID").split("/")[0] + "/********@" + self.config["service"]
        echo = " ".join(f"{n.lower()}={v}" for n, v in self.params if n != "USERID")
        self.say(f'Starting "{owner}"."{job}":  {login} {echo}')
        wanted = [t.strip().upper() for t in tables.strip("()").split(",")] if tables else \
            list(schema_tables)
        pieces = [bytearray() for _ in paths]
        for path in paths:
            with open(path, "wb") as f:
                f.write(b" " * HEADER_BYTES)
            os.chmod(path, 0o640)
        errors = 0
        self.say("Processing object type SCHEMA_EXPORT/TABLE/TABLE_DATA")
        for index, table in enumerate(wanted):
            ends = time.time() + float(self.config.get("table_seconds", 0))
            while time.time() < ends and not entry["killed"]:
                time.sleep(0.05)
                with open(paths[index % len(paths)], "ab") as f:
                    f.write(b"\0" * 512)  # the table's blocks, as they come
            if entry["killed"]:
                return self.killed(key, entry)
            if table not in schema_tables:
                errors += 1
                self.say(f"ORA-39166: Object {owner}.{table} was not found or could not be "
                         "exported or imported.")
                continue
            if table in self.config.get("failing_tables", []):
                errors += 1
                self.say(f'ORA-31693: Table data object "{owner}"."{table}" failed to '
                         "load/unload and is being skipped due to error:\n"
                         "ORA-01555: snapshot too old: rollback segment number 9 too small")
                continue
            rows = schema_tables[table]
            row = f"ROW {owner}.{table}\n".encode()
            pieces[index % len(paths)] += f"TABLE {table} {rows}\n".encode() + row * rows
            self.say(f'. . exported "{owner}"."{table}"{" " * 20}8.781 KB{rows:>8} rows')
        self.say(f'Master table "{owner}"."{job}" successfully loaded/unloaded')
        for i, path in enumerate(paths):
            header = json.dumps({"job": key, "piece": i + 1, "pieces": len(paths),
                                 "bytes": HEADER_BYTES + len(pieces[i])})
            with open(path, "wb") as f:
                f.write(("FAKEDP " + header).encode().ljust(HEADER_BYTES - 1) + b"\n")
                f.write(pieces[i])
        self.say(STAR_LINE)
        self.say(f"Dump file set for {owner}.{job} is:")
        for path in paths:
            self.say(f"  {path}")
        self.say(self.closing(owner, job, errors, False, began))
        with lock:
            jobs.pop(key, None)
            save_jobs()
        self.leave(5 if errors else 0)

    def killed(self, key, entry):
        for path in entry["files"]:
            try:
                os.unlink(path)
            except OSError:
                pass
        owner, job = key.split(".")
        self.say(f'Job "{owner}"."{job}" has been killed by user.')
        with lock:
            jobs.pop(key, None)
            save_jobs()
        if "gone" in entry:
            entry["gone"].set()
        self.leave(1)

    def attach(self, owner, name):
        key = name.upper() if "." in name else f"{owner}.{name.upper()}"
        with lock:
            entry = jobs.get(key)
        if entry is None:
            return self.fatal("ORA-31626: job does not exist")
        self.say(f"\nJob: {key.split('.')[1]}\n  Owner: {key.split('.')[0]}\n"
                 f"  Operation: {entry['operation']}\n  State: {entry['state']}")
        for i, command in enumerate(self.commands):
            command = command.strip().upper()
            if command == "KILL_JOB":
                self.say("Export> Are you sure you wish to stop this job ([yes]/no): ")
                answer = self.commands[i + 1].strip().lower() if i + 1 < len(self.commands) else ""
                if answer in ("", "yes", "y"):
                    gone = threading.Event()
                    entry["gone"] = gone
                    entry["killed"] = True
                    gone.wait(10)
                    return self.leave(0)
            if command == "EXIT_CLIENT":
                break
        self.leave(0)

    def read_back(self, owner):
        folder = self.folder()
        if folder is None:
            return
        if not self.open_log(folder, "import.log"):
            return
        job = (self.value("JOB_NAME") or "SYS_SQL_FILE_FULL_01").upper()
        spec = self.value("DUMPFILE", "expdat.dmp")
        names = []
        for entry in spec.split(","):
            if "%U" in entry.upper():
                at = entry.upper().index("%U")
                i = 1
                while os.path.exists(os.path.join(folder, f"{entry[:at]}{i:02d}{entry[at+2:]}")) \
                        or i == 1:
                    names.append(f"{entry[:at]}{i:02d}{entry[at + 2:]}")
                    i += 1
            else:
                names.append(entry)
        began = time.time()
        tables = []
        expected = None
        for name in names:
            path = os.path.join(folder, name)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                return self.fatal("ORA-39001: invalid argument value",
                                  "ORA-39000: bad dump file specification",
                                  f'ORA-31640: unable to open dump file "{path}" for read',
                                  "ORA-27037: unable to obtain file status")
            if not data.startswith(b"FAKEDP "):
                return self.fatal("ORA-39001: invalid argument value",
                                  "ORA-39000: bad dump file specification",
                                  f'ORA-39143: dump file "{path}" may be an original export '
                                  "dump file")
            header = json.loads(data[7:HEADER_BYTES].decode().strip())
            if len(data) != header["bytes"]:
                return self.fatal("ORA-39001: invalid argument value",
                                  "ORA-39000: bad dump file specification",
                                  f'ORA-31640: unable to open dump file "{path}" for read',
                                  "ORA-27046: file size is not a multiple of logical block size")
            expected = header["pieces"]
            tables += [line.split()[1] for line in data[HEADER_BYTES:].decode().splitlines()
                       if line.startswith("TABLE ")]
        if expected != len(names):
            return self.fatal("ORA-39002: invalid operation",
                              "ORA-39059: dump file set is incomplete")
        self.say(f'Master table "{owner}"."{job}" successfully loaded/unloaded')
        self.say(f'Starting "{owner}"."{job}":  {owner.lower()}/********')
        sql = self.value("SQLFILE")
        if sql:
            with open(os.path.join(folder, sql), "w") as f:
                f.writelines(f"CREATE TABLE \"{owner}\".\"{t}\" (ID NUMBER);\n" for t in tables)
        self.say("Processing object type SCHEMA_EXPORT/TABLE/TABLE")
        self.say(self.closing(owner, job, 0, False, began))
        self.leave(0)


def serve(conn):
    with conn:
        line = conn.makefile("rb").readline()
        with open(CONFIG_PATH, encoding="utf-8") as f:
            config = json.load(f)
        Session(conn, json.loads(line), config).run()


def main():
    if os.path.exists(SOCKET_PATH):
        os.unlink(SOCKET_PATH)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(SOCKET_PATH)
    server.listen(16)
    save_jobs()
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


main()
