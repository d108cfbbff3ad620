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
  fatal_tables   tables whose unloading stops the job with a fatal error: the
                 job is left NOT RUNNING, with its master table, until killed
Jobs run here, in a thread of their own: a client that dies leaves its job
running, growing its dump files, until it ends or an ATTACH=OWNER.JOB client
answers KILL_JOB and yes (the job stops, its dump files are deleted, its log
stays). The jobs, with their state, are kept in SOCKET.jobs (JSON).
"""
import json
import os
import socket
import sys
import threading
import time

SOCKET_PATH, CONFIG_PATH = sys.argv[1], sys.argv[2]
LEGACY = {"FILE": "dumpfile", "LOG": "logfile", "OWNER": "schemas", "CONSISTENT": "",
          "COMPRESS": "", "BUFFER": "", "DIRECT": "", "ROWS": "", "GRANTS": "", "INDEXES": ""}
KNOWN = {"USERID", "DIRECTORY", "DUMPFILE", "LOGFILE", "NOLOGFILE", "JOB_NAME", "TABLES",
         "SCHEMAS", "FULL", "FLASHBACK_TIME", "FLASHBACK_SCN", "PARALLEL", "FILESIZE",
         "REUSE_DUMPFILES", "ATTACH", "CONTENT", "EXCLUDE", "INCLUDE", "QUERY", "SQLFILE"}
BAD_FILE = ("ORA-39001: invalid argument value", "ORA-39000: bad dump file name given")
HEADER_BYTES = 256
jobs = {}  # "OWNER.JOB" -> {"state", "killed", "files", "gone"}
lock = threading.Lock()


class Fatal(Exception):
    """An error that stops the utility before or during its job (exit 1)."""


def save_jobs():
    with open(SOCKET_PATH + ".tmp", "w") as f:
        json.dump({name: job["state"] for name, job in jobs.items()}, f)
    os.replace(SOCKET_PATH + ".tmp", SOCKET_PATH + ".jobs")


def expand(pattern, count):
    """DUMPFILE names, %U numbered 01..count (count None: as many as exist)."""
    names = []
    for entry in pattern.split(","):
        at = entry.upper().find("%U")
        if at < 0:
            names.append(entry)
            continue
        for i in range(1, (count or 99) + 1):
            name = f"{entry[:at]}{i:02d}{entry[at + 2:]}"
            if count is None and i > 1 and not os.path.exists(os.path.join(FOLDER[0], name)):
                break
            names.append(name)
    return names


FOLDER = [""]  # the directory object's folder, for expand() of a read-back


class Session:
    def __init__(self, conn, request, config):
        self.conn, self.config, self.log = conn, config, None
        self.program, self.params = request["program"], dict(request["params"])
        self.names = [n for n, _ in request["params"]]
        self.commands = request.get("commands", "").split()
        self.korean = request.get("nls_lang", "").upper().startswith("KOREAN")

    def say(self, text=""):
        for line in text.split("\n"):
            if self.log:
                self.log.write(line + "\n")
                self.log.flush()
            try:
                self.conn and self.conn.sendall((line + "\n").encode("utf-8"))
            except OSError:
                self.conn = None  # the client died: the job goes on

    def leave(self, status):
        try:
            self.conn and self.conn.sendall(b"\0EXIT %d\n" % status)
        except OSError:
            pass

    def closing(self, owner, job, errors, began):
        took = "elapsed 0 " + time.strftime("%H:%M:%S", time.gmtime(time.time() - began))
        at = time.strftime("%H:%M:%S" if self.korean else "%a %b %d %H:%M:%S %Y")
        if self.korean:
            return (f'"{owner}"."{job}" 작업이 {errors} 오류와 함께 {at}에서 완료됨 {took}'
                    if errors else f'"{owner}"."{job}" 작업이 {at}에서 성공적으로 완료됨 {took}')
        return (f'Job "{owner}"."{job}" completed with {errors} error(s) at {at} {took}'
                if errors else f'Job "{owner}"."{job}" successfully completed at {at} {took}')

    def run(self):
        try:
            unknown = [n for n in self.names if n not in KNOWN and n not in LEGACY]
            if unknown:
                raise Fatal("", f"LRM-00101: unknown parameter name '{unknown[0].lower()}'")
            owner = self.login()
            legacy = [n for n in self.names if n in LEGACY]
            if legacy:
                self.say("Legacy Mode Active due to the following parameters:")
                for n in legacy:
                    self.say(f'Legacy Mode Parameter: "{n.lower()}={self.params[n]}" Location: '
                             f'Command Line, Replaced with: "{LEGACY[n]}={self.params[n]}"')
                if any("/" in self.params.get(n, "") for n in ("FILE", "LOG")):
                    raise Fatal(*BAD_FILE, "ORA-39088: file name cannot contain a folder "
                                "path")
            if "ATTACH" in self.params:
                return self.attach(owner, self.params["ATTACH"].upper())
            directory = self.params.get("DIRECTORY", "DATA_PUMP_DIR").upper()
            FOLDER[0] = self.config["directories"].get(directory)
            if FOLDER[0] is None:
                raise Fatal("ORA-39002: invalid operation", "ORA-39070: Unable to open the log "
                            "file.", f"ORA-39087: directory name {directory} is invalid")
            (self.read_back if self.program == "impdp" else self.export)(owner, FOLDER[0])
        except Fatal as fatal:
            self.say("\n".join(fatal.args) + "\n")
            self.leave(1)

    def login(self):
        user, _, rest = self.params.get("USERID", "").partition("/")
        password, _, service = rest.partition("@")
        if service.upper() != self.config["service"]:
            raise Fatal("UDE-12154: operation generated ORACLE error 12154",
                        "ORA-12154: TNS:could not resolve the connect identifier specified")
        if self.config["users"].get(user.upper()) != password:
            raise Fatal("UDE-01017: operation generated ORACLE error 1017",
                        "ORA-01017: invalid username/password; logon denied")
        word = "Export" if self.program == "expdp" else "Import"
        self.say(f"\n{word}: Release 19.0.0.0.0 - Production on {time.ctime()}\n"
                 "Version 19.3.0.0.0\n\nConnected to: Database 19c Enterprise Edition")
        return user.upper()

    def open_log(self, folder, default):
        if self.params.get("NOLOGFILE", "").upper() != "YES":
            path = os.path.join(folder, self.params.get("LOGFILE", default))
            try:
                self.log = os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o640),
                                     "w", encoding="utf-8")
            except OSError:
                raise Fatal("ORA-39002: invalid operation", "ORA-39070: Unable to open the log "
                            "file.", "ORA-29283: invalid file operation")
            self.log.write(";;; \n;;; Connected to: Database 19c\n;;; \n")

    def export(self, owner, folder):
        schema = self.config["tables"].get(owner, {})
        tables = self.params.get("TABLES")
        job = self.params.get("JOB_NAME", "SYS_EXPORT_SCHEMA_01").upper()
        key = f"{owner}.{job}"
        names = expand(self.params.get("DUMPFILE", "expdat.dmp"),
                       int(self.params.get("PARALLEL", "1")))
        if any("/" in name for name in names):
            raise Fatal(*BAD_FILE, "ORA-39088: file name cannot contain a folder path")
        paths = [os.path.join(folder, name) for name in names]
        with lock:
            if key in jobs:
                raise Fatal("ORA-31634: job already exists")
            for path in paths:
                if os.path.exists(path) and self.params.get("REUSE_DUMPFILES", "") != "YES":
                    raise Fatal(*BAD_FILE, f'ORA-31641: unable to create dump file "{path}"',
                                "ORA-27038: created file already exists")
            entry = jobs[key] = {"state": "EXECUTING", "killed": False, "files": paths,
                                 "gone": threading.Event()}
            save_jobs()
        try:
            self.open_log(folder, "export.log")
            self.job(owner, job, entry, schema,
                     [t.strip().upper() for t in tables.split(",")] if tables else list(schema))
        finally:
            with lock:
                if entry["state"] != "NOT RUNNING":
                    jobs.pop(key, None)
                save_jobs()
            entry["gone"].set()

    def job(self, owner, job, entry, schema, wanted):
        began, paths = time.time(), entry["files"]
        echo = " ".join(f"{n.lower()}={v}" for n, v in self.params.items() if n != "USERID")
        self.say(f'Starting "{owner}"."{job}":  {owner.lower()}/******** {echo}\n'
                 "Processing object type SCHEMA_EXPORT/TABLE/TABLE_DATA")
        pieces = [bytearray() for _ in paths]
        for path in paths:
            with open(path, "wb") as f:
                f.write(b" " * HEADER_BYTES)
            os.chmod(path, 0o640)
        errors = 0
        for index, table in enumerate(wanted):
            ends = time.time() + float(self.config.get("table_seconds", 0))
            while time.time() < ends and not entry["killed"]:
                time.sleep(0.05)
                with open(paths[index % len(paths)], "ab") as f:
                    f.write(b"\0" * 512)  # the table's blocks, as they come
            if entry["killed"]:
                for path in paths:
                    os.unlink(path)
                self.say(f'Job "{owner}"."{job}" has been killed by user.')
                return self.leave(1)
            if table in self.config.get("fatal_tables", []):
                entry["state"] = "NOT RUNNING"
                self.say("ORA-39126: Worker unexpected fatal error in KUPW$WORKER.UNLOAD_DATA "
                         f'[TABLE_DATA:"{owner}"."{table}"]\nORA-01115: IO error reading block\n'
                         f'Job "{owner}"."{job}" stopped due to fatal error at {time.ctime()}')
                return self.leave(1)
            if table not in schema or table in self.config.get("failing_tables", []):
                errors += 1
                self.say(f"ORA-39166: Object {owner}.{table} was not found or could not be "
                         "exported or imported." if table not in schema else
                         f'ORA-31693: Table data object "{owner}"."{table}" failed to load/unload'
                         " and is being skipped due to error:\nORA-01555: snapshot too old")
                continue
            pieces[index % len(paths)] += f"TABLE {table} {schema[table]}\n".encode()
            self.say(f'. . exported "{owner}"."{table}"    8.781 KB {schema[table]:>7} rows')
        for i, path in enumerate(paths):
            header = json.dumps({"pieces": len(paths), "bytes": HEADER_BYTES + len(pieces[i])})
            with open(path, "wb") as f:
                f.write(("FAKEDP " + header).encode().ljust(HEADER_BYTES - 1) + b"\n" + pieces[i])
        self.say(f'Master table "{owner}"."{job}" successfully loaded/unloaded\n{"*" * 78}\n'
                 f"Dump file set for {owner}.{job} is:")
        for path in paths:
            self.say(f"  {path}")
        self.say(self.closing(owner, job, errors, began))
        self.leave(5 if errors else 0)

    def attach(self, owner, name):
        key = name if "." in name else f"{owner}.{name}"
        with lock:
            entry = jobs.get(key)
        if entry is None:
            raise Fatal("ORA-31626: job does not exist")
        self.say(f"\nJob: {key.split('.')[1]}\n  Owner: {owner}\n  State: {entry['state']}")
        commands = [c.upper() for c in self.commands]
        if "KILL_JOB" in commands:
            self.say("Export> Are you sure you wish to stop this job ([yes]/no): ")
            after = commands[commands.index("KILL_JOB") + 1:]
            if not after or after[0] in ("YES", "Y"):
                entry["killed"] = True
                if entry["state"] == "NOT RUNNING":  # no worker left to stop: dropped here
                    with lock:
                        for path in entry["files"]:
                            os.path.exists(path) and os.unlink(path)
                        jobs.pop(key, None)
                        save_jobs()
                entry["gone"].wait(10)
        self.leave(0)

    def read_back(self, owner, folder):
        self.open_log(folder, "import.log")
        began, tables, expected = time.time(), [], None
        names = expand(self.params.get("DUMPFILE", "expdat.dmp"), None)
        for path in (os.path.join(folder, name) for name in names):
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                raise Fatal(*BAD_FILE, f'ORA-31640: unable to open dump file "{path}" for read',
                            "ORA-27037: unable to obtain file status")
            if not data.startswith(b"FAKEDP "):
                raise Fatal(*BAD_FILE, f'ORA-39143: dump file "{path}" may be an original '
                            "export dump file")
            header = json.loads(data[7:HEADER_BYTES])
            if len(data) != header["bytes"]:
                raise Fatal(*BAD_FILE, f'ORA-31640: unable to open dump file "{path}" for read',
                            "ORA-27046: file size is not a multiple of logical block size")
            expected = header["pieces"]
            tables += [line.split()[1] for line in data[HEADER_BYTES:].decode().splitlines()]
        if expected != len(names):
            raise Fatal("ORA-39002: invalid operation", "ORA-39059: dump file set is incomplete")
        if "SQLFILE" in self.params:
            with open(os.path.join(folder, self.params["SQLFILE"]), "w") as f:
                f.writelines(f'CREATE TABLE "{owner}"."{t}" (ID NUMBER);\n' for t in tables)
        job = self.params.get("JOB_NAME", "SYS_SQL_FILE_FULL_01").upper()
        self.say(f'Master table "{owner}"."{job}" successfully loaded/unloaded\n'
                 f'Starting "{owner}"."{job}":  {owner.lower()}/********\n'
                 "Processing object type SCHEMA_EXPORT/TABLE/TABLE\n" +
                 self.closing(owner, job, 0, began))
        self.leave(0)


def serve(conn):
    with conn:
        line = conn.makefile("rb").readline()
        with open(CONFIG_PATH, encoding="utf-8") as f:
            config = json.load(f)
        Session(conn, json.loads(line), config).run()


if os.path.exists(SOCKET_PATH):
    os.unlink(SOCKET_PATH)
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(SOCKET_PATH)
server.listen(16)
save_jobs()
while True:
    threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()
