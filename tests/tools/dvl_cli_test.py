#!/usr/bin/env python3
"""The dvl command line as a script meets it: every command against a dvl-contentd started here,
every --json output parsed, exit codes, get --save byte for byte, and the progress line on a
terminal (util-linux script) but not in a pipe.

usage: dvl_cli_test.py BIN_DIR SOURCE_DIR"""
import json
import os
import pty
import shlex
import stat
import subprocess
import sys
import tempfile
import unittest

BIN, SOURCE = sys.argv[1], sys.argv[2]
DVL = os.path.join(BIN, "dvl")
RECORDING = os.path.join(SOURCE, "tests/tools/data/typical-host-run.dvlrec")


def run(*args, env=None, json_out=True):
    command = [DVL] + (["--json"] if json_out else []) + list(args)
    done = subprocess.run(command, capture_output=True, env=env, stdin=subprocess.DEVNULL, timeout=120)
    parsed = json.loads(done.stdout) if json_out else None
    return done.returncode, parsed, done


class DvlCli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.server = subprocess.Popen([os.path.join(BIN, "dvl-contentd"), "--listen", "127.0.0.1:0", "--log", "off"],
                                      stdout=subprocess.PIPE, text=True)
        cls.url = cls.server.stdout.readline().split()[-1]
        os.environ.update(DVL_ENDPOINT=cls.url, DVL_SESSION_FILE=cls.path("session"), HOME=cls.dir.name)
        os.environ.pop("DVL_PASSWORD", None)
        with open(cls.path("pw"), "w") as f:
            f.write("demo\n")

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait()
        cls.dir.cleanup()

    @classmethod
    def path(cls, name):
        return os.path.join(cls.dir.name, name)

    def logon(self):
        code, out, _ = run("logon", "--user", "demo", "--password-file", self.path("pw"))
        self.assertEqual(code, 0, out)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def test_logon_session_file_and_failures(self):
        if os.path.exists(os.environ["DVL_SESSION_FILE"]):
            os.remove(os.environ["DVL_SESSION_FILE"])
        code, out, _ = run("query", "/content")
        self.assertEqual((code, out["error"]["code"]), (1, "notLoggedOn"))
        self.logon()
        self.assertEqual(stat.S_IMODE(os.stat(os.environ["DVL_SESSION_FILE"]).st_mode), 0o600)
        piped = subprocess.run([DVL, "logon", "--user", "demo", "--password-file", "-"], input=b"demo\r\nrest\n",
                               capture_output=True, timeout=120)
        self.assertEqual(piped.returncode, 0, piped.stderr)
        code, out, done = run("logon", "--user", "demo", "--password", "wrong", json_out=False)
        self.assertEqual(code, 1)
        self.assertIn(b"logon refused: unknown user or wrong password; the session of LDAP/demo is still in effect",
                      done.stderr)
        self.assertNotIn(b"KRN_THROW", done.stderr)
        # A passport the server no longer knows: log on again.
        with open(os.environ["DVL_SESSION_FILE"]) as f:
            endpoint = f.readline()
        with open(os.environ["DVL_SESSION_FILE"], "w") as f:
            f.write(endpoint + "0" * 64 + "\nLDAP/demo\n")
        code, out, _ = run("capabilities")
        self.assertEqual(code, 1)
        self.assertIn("log on again", out["error"]["message"])
        # ... or log off: the dead passport is forgotten, not kept to refuse every logoff after.
        self.assertEqual(run("logoff")[:2], (0, {"command": "logoff", "loggedOff": False}))
        self.assertFalse(os.path.exists(os.environ["DVL_SESSION_FILE"]))
        self.logon()

    def test_arguments_a_script_gets_wrong(self):
        # Text XML cannot carry is refused naming the argument, as JSON, never as a crash.
        for args in ([b"\xff"], ["symbol", b"\xff"], ["get", "/content", b"caf\xe9"], ["query", "/x", "--max"]):
            done = subprocess.run([DVL, "--json"] + args, capture_output=True, timeout=120)
            self.assertEqual((done.returncode, json.loads(done.stdout)["error"]["kind"]), (2, "usage"), args)
        self.logon()
        # A repeated option takes one value: the search path after it stays the search path.
        self.assertEqual(run("query", "--sort", "defaultName", "--properties", "format", "/content/*")[0], 0)
        with open("/dev/full", "w") as full:
            self.assertEqual(subprocess.run([DVL, "capabilities"], stdout=full, stderr=subprocess.PIPE).returncode, 4)

    def test_password_prompt_does_not_echo(self):
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(DVL, [DVL, "logon", "--user", "demo"])
        out = b""
        while b"password for demo: " not in out:
            out += os.read(fd, 1024)
        os.write(fd, b"demo\n")
        try:
            while chunk := os.read(fd, 1024):
                out += chunk
        except OSError:
            pass
        self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 0, out)
        self.assertTrue(out.split(b"password for demo: ")[1].lstrip().startswith(b"logged on"), out)

    def test_every_command(self):
        self.logon()
        model = self.write("model.xml", b"<model><table name='t'/></model>")
        spec = self.write("spec.xml", b"<specification/>")
        self.write("report.pdf", b"%PDF-1.4 tiny")
        out_obj = lambda cls: lambda o: self.assertEqual(o["object"]["class"], cls)
        cases = [
            (["add-output", "/content", "Report", self.path("report.pdf")], 0, out_obj("output")),
            (["add-version", "/content", "Version", "--specification-file", spec, "--model", "/content/Report",
              "--as-of", "2026-01-31T00:00:00Z", "--option", "o=1", "--parameter", "p=1,2"], 0, out_obj("reportVersion")),
            (["add-history", "--kind", "report-service", "--event", "run-42", "--detail", "done",
              "--output", "/content/Report"], 0, lambda o: self.assertEqual(o["status"], "complete")),
            (["add-history", "--kind", "request-arguments", "--parent", "/content", "--name", "Args",
              "--detail", "args", "--option", "a=b", "--parameter", "p=x"], 0, out_obj("historyDetailRequestArguments")),
            (["add-model", "/content", "Model file", model], 0, out_obj("model")),
            (["add-model", "/content", "Model text", "--text", "<model/>"], 0, out_obj("model")),
            (["add-task", "/content", "Task", "--specification", "<task/>"], 0, out_obj("dataMovementTask")),
            (["query", "/content/*", "--properties", "modificationTime", "--sort", "defaultName:desc", "--max", "3"], 0,
             lambda o: (self.assertEqual(o["count"], 3),
                        self.assertEqual([x["name"] for x in o["objects"]], ["Version", "Task", "Samples"]),
                        self.assertIn("modificationTime", o["objects"][0]["properties"]))),
            (["query-multiple", "/content/*?sort=defaultName&max=2", "//output?properties=format"], 0,
             lambda o: (self.assertEqual([r["count"] for r in o["replies"]], [2, 1]),
                        self.assertEqual(o["replies"][1]["objects"][0]["properties"]["format"], "PDF"))),
            (["query-cache", "/content/*?max=1", "--validator", "old"], 0,
             lambda o: (self.assertTrue(o["cacheValidator"]), self.assertEqual(o["replies"][0]["count"], 1))),
            (["query-cache", "--object", "/content", "--entries", "model"], 0,
             lambda o: (self.assertEqual({x["class"] for x in o["objects"]}, {"model"}),
                        self.assertEqual(o["count"], 2), self.assertIn("cacheValidator", o["options"]))),
            (["routing", "/content/folder[@name='Samples']", "/content/folder[@name='Archive']"], 0,
             lambda o: (self.assertEqual(o["routes"], ["Samples", "Archive"]), self.assertEqual(o["routing"], "Samples;Archive"))),
            (["credential", "--namespace", "LDAP"], 0, lambda o: self.assertIn("<credential>", o["credential"])),
            (["capabilities"], 0, lambda o: self.assertIn("canUseMonitor", o["capabilities"])),
            (["symbol", "0xECBA7A93"], 0, lambda o: self.assertEqual(o["name"], "objectClass")),
            (["delete", "/content/Task"], 0, lambda o: self.assertEqual(o["deleted"], 1)),
            # bad input: one line, the documented code
            (["delete", "/content/Task"], 1, lambda o: self.assertEqual(o["error"]["code"], "notFound")),
            (["delete", "--store-id", 'a"b'], 2, None),
            (["query", "/content/[", ], 1, lambda o: self.assertEqual(o["error"]["code"], "badSearchPath")),
            (["query", "/content", "--properties", "colour"], 2, None),
            (["add-output", "/content", "X", self.path("missing.pdf")], 4, None),
            (["get", "/content", "Nobody"], 1, lambda o: self.assertEqual(o["error"]["code"], "notFound")),
            (["no-such-command"], 2, lambda o: self.assertIn("unknown command", o["error"]["message"])),
            (["symbol", "noSuchSymbol"], 1, None),
            (["--replay", RECORDING, "query", "/content"], 5, None),
        ]
        for args, expected, check in cases:
            with self.subTest(args=args):
                code, out, done = run(*args)
                self.assertEqual(code, expected, (out, done.stderr))
                self.assertEqual("error" in out, expected != 0)
                if check:
                    check(out)

    def test_plain_errors_and_xml_apart(self):
        code, _, done = run("--endpoint", "http://127.0.0.1:1/dvl", "logon", "--user", "demo", "--password", "x",
                            json_out=False)
        self.assertEqual(code, 3)
        self.assertEqual(done.stderr.decode().count("\n"), 1)
        self.assertIn("cannot reach the server at http://127.0.0.1:1/dvl", done.stderr.decode())
        self.assertNotIn("--plain", done.stderr.decode())
        code, _, verbose = run("--verbose", "--endpoint", "http://127.0.0.1:1/dvl", "credential", json_out=False)
        self.assertGreater(verbose.stderr.decode().count("\n"), 1)
        self.logon()
        code, _, done = run("--xml", "query", "/content", json_out=False)
        self.assertTrue(done.stdout.lstrip().startswith(b"<"), done.stdout)
        self.assertNotIn(b"1 object", done.stdout)
        self.assertIn(b"1 object\n", done.stderr)

    def test_save_and_progress(self):
        self.logon()
        data = os.urandom(65 << 20)  # past the 64 MiB a reply carries: get reads it in parts
        source = self.write("big.bin", data)
        terminal = lambda *args: subprocess.run(
            ["script", "-qec", shlex.join([DVL] + list(args)), "/dev/null"], capture_output=True,
            stdin=subprocess.DEVNULL, timeout=120)
        shown = terminal("add-output", "/content", "Big", source)
        self.assertEqual(shown.returncode, 0, shown.stdout)
        self.assertRegex(shown.stdout.decode(), r"sending .*MiB of 65\.0 MiB, .*/s, \d+:\d\d left")
        quiet = terminal("--quiet", "get", "/content", "Big", "--save", self.path("quiet.bin"))
        self.assertNotIn(b" left", quiet.stdout)
        code, out, done = run("get", "/content", "Big", "--save", self.path("copy.bin"))
        self.assertEqual(code, 0, out)
        self.assertNotIn(b"left", done.stderr)
        self.assertEqual(out["saved"][0]["bytes"], len(data))
        with open(self.path("copy.bin"), "rb") as f:
            self.assertTrue(f.read() == data)
        # Nothing half-written where the file cannot be made.
        code, out, _ = run("get", "/content", "Big", "--save", self.path("no/such/dir/x.bin"))
        self.assertEqual(code, 4)
        code, out, _ = run("get", "/content", "Big", "--save-context", self.path("ctx.xml"))
        self.assertEqual((code, out["error"]["code"]), (1, "noDocument"))
        self.assertFalse([n for n in os.listdir(self.dir.name) if n.startswith(("copy.bin.", "ctx.xml"))])

    def test_generated_from_the_command_table(self):
        listing = subprocess.run([DVL, "--command-list", "-"], capture_output=True, text=True).stdout
        with open(os.path.join(SOURCE, "docs/cli.md")) as f:
            self.assertIn(listing, f.read(), "docs/cli.md's command list is not dvl --command-list's")
        completion = subprocess.run([DVL, "--completion", "-"], capture_output=True, text=True).stdout
        probe = completion + '\nCOMP_WORDS=(dvl query --s); COMP_CWORD=2; _dvl; echo "${COMPREPLY[*]}"; COMPREPLY=()\n' \
                             'COMP_WORDS=(dvl --json add-); COMP_CWORD=2; _dvl; echo "${COMPREPLY[*]}"\n'
        lines = subprocess.run(["bash", "-c", probe], capture_output=True, text=True).stdout.splitlines()
        self.assertEqual(lines, ["--session-file --store-id --sort",
                                 "add-output add-version add-history add-model add-task"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
