#!/usr/bin/python3
"""The demo runs on a fresh Debian 12 machine after `install-deps.sh run`
only if every program it calls comes with the build or run list. This reads
scripts/run.sh and every script it reaches (shell scripts through their
command words, Python through its imports and subprocess calls), finds the
package that ships each command, module and system file (dpkg -S), and
checks it is installed by those lists: in their dependency closure
(apt-cache depends --recurse) or part of every Debian system (Essential or
Priority required).

    test_run_list.py SOURCE-FOLDER"""

import ast
import functools
import importlib.util
import os
import re
import shlex
import subprocess
import sys
import unittest

SOURCE = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
# Commands are looked up as on a fresh machine: packaged folders only.
DEBIAN_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
# The program itself: QDesktopServices opens links and files with xdg-open.
PROGRAM_COMMANDS = {"xdg-open"}
# install-deps.sh raises itself with sudo to install the lists: it comes
# before them (an administrator's tool, not something the lists can bring).
INSTALLER = {"sudo"}

SEPARATORS = {";", ";;", "&", "&&", "|", "||", "(", ")", "{", "}", "|&"}
LEADING_WORDS = {"!", "if", "then", "else", "elif", "while", "until", "do", "time", "exec", "command"}
REDIRECTIONS = {">", ">>", "<", "<<", "<<<", ">&", "<&", "&>", "&>>", ">|"}
ASSIGNMENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(\[[^]]*\])?\+?=")
SYSTEM_FILE = re.compile(r"(?<![\w$}/.])/usr/(?:lib|share|bin|sbin)/[\w./+-]+")


def shell_words():
    """Builtins and keywords of bash: never external commands."""
    out = subprocess.run(["bash", "-c", "compgen -b; compgen -k"], capture_output=True, text=True, check=True)
    return set(out.stdout.split())


def flatten(text):
    """The bodies of the command substitutions $(...) of text, and text with
    each of them, each arithmetic $((...)) and each ${...} or $# replaced by
    one word; a substitution still open at the end counts as a body."""
    bodies, flat, i = [], [], 0
    while i < len(text):
        if text.startswith("$(", i):
            depth, j = 1, i + 2
            while j < len(text) and depth:
                depth += {"(": 1, ")": -1}.get(text[j], 0)
                j += 1
            if not text.startswith("$((", i):
                bodies.append(text[i + 2:j - 1 if depth == 0 else j])
            flat.append("SUBST" if depth == 0 else "SUBST (")
            i = j
        else:
            flat.append(text[i])
            i += 1
    return bodies, re.sub(r"\$\{[^}]*\}|\$#", "VAR", "".join(flat))


def tokens_of(flat):
    lexer = shlex.shlex(flat, posix=True, punctuation_chars=";&|()<>")
    lexer.whitespace_split = True
    lexer.commenters = "#"
    return list(lexer)


def unfinished(line):
    """True when line goes on on the next one: an open quote or parenthesis."""
    try:
        tokens = tokens_of(flatten(line)[1])
    except ValueError:
        return True
    return sum(t.count("(") - t.count(")") for t in tokens if set(t) <= set("()")) > 0


def logical_lines(text):
    """Lines with continuations, open quotes and arrays joined; heredoc
    bodies given apart, with the command line that feeds them."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        while (line.endswith("\\") or unfinished(line)) and i + 1 < len(lines):
            i += 1
            line = (line[:-1] + " " if line.endswith("\\") else line + "\n") + lines[i]
        i += 1
        heredoc = re.search(r"<<-?\s*['\"]?(\w+)['\"]?", line)
        body = []
        if heredoc:
            while i < len(lines) and lines[i].strip() != heredoc.group(1):
                body.append(lines[i])
                i += 1
            i += 1
        yield line, "\n".join(body)


class Reach:
    """What the scripts reached from run.sh call."""

    def __init__(self):
        self.commands = {}     # command -> the script that calls it
        self.modules = {}      # Python module -> the script that imports it
        self.files = {}        # system file named -> the script that names it
        self.seen = set()
        self.functions = set()  # of every script reached: run.sh calls demo-env.sh's
        self.builtins = shell_words()

    def follow(self, path, by):
        path = os.path.realpath(path)
        if path in self.seen or not os.path.isfile(path):
            return
        self.seen.add(path)
        if path.endswith(".py"):
            self.python(path)
        else:
            self.shell(path)

    # ---- shell ----

    def shell(self, path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.functions |= set(re.findall(r"^\s*([\w-]+)\s*\(\)\s*\{", text, re.M))
        literal_values = {}
        for name, value in re.findall(r"(?:^|[\s;&|])(\w+)=(\"[^\"$]*\"|'[^']*'|[^\s;&|()$\"']*)(?=[\s;&|]|$)",
                                      text, re.M):
            literal_values.setdefault(name, set()).add(value.strip("'\""))
        for name in SYSTEM_FILE.findall(text):
            self.files.setdefault(name, path)
        for line, heredoc in logical_lines(text):
            self.shell_line(line, path, literal_values)
            if heredoc and re.search(r"python3?\b", line):
                self.python_source(heredoc, path, os.path.dirname(path))

    def shell_line(self, line, path, literal_values):
        bodies, flat = flatten(line)
        for body in bodies:
            self.shell_line(body, path, literal_values)
        tokens = tokens_of(flat)
        at_command, skip, array = True, False, False
        for n, token in enumerate(tokens):
            nxt = tokens[n + 1] if n + 1 < len(tokens) else ""
            if array:
                array = token != ")"
                continue
            if skip:
                skip = False
                continue
            if token in REDIRECTIONS:
                skip = True
                continue
            if token.isdigit() and nxt in REDIRECTIONS:  # 9>>file, 2>&1
                continue
            if token in SEPARATORS:
                at_command = True
                continue
            if ASSIGNMENT.match(token) and token.endswith("=") and nxt in ("(", "()"):
                skip, array = True, nxt == "("  # name=(words), also after local
                continue
            if not at_command:
                self.script_argument(token, path)
                continue
            if ASSIGNMENT.match(token) or token == "SUBST":
                continue
            if nxt == ")" and not token.startswith("$"):  # a case pattern
                continue
            if token in LEADING_WORDS:
                continue
            at_command = False
            if token.startswith("$"):
                # A command held in a variable: its literal values; when it may
                # be empty the next word is the command.
                values = literal_values.get(token.strip("${}"), set())
                for value in values:
                    if value:
                        self.command(value.split()[0], path)
                at_command = "" in values
                continue
            if token in self.builtins:
                if token in (".", "source"):
                    self.script_argument(nxt, path)
                continue
            if "/" in token and not token.startswith("/"):
                self.script_argument(token, path)  # a program of this project
                continue
            self.command(token, path)

    def script_argument(self, word, path):
        """A word naming a script of the project: followed (one made at run
        time, such as a card's settings.sh, holds no commands)."""
        match = re.search(r"([\w./-]*[\w-]+\.(?:sh|py))$", re.sub(r"\$\{?\w+\}?", "", word))
        if not match:
            return
        name = match.group(1).lstrip("/")
        for base in (os.path.dirname(path), SOURCE):
            for candidate in (os.path.join(base, name), os.path.join(base, os.path.basename(name))):
                if os.path.isfile(candidate):
                    self.follow(candidate, path)
                    return

    def command(self, name, path):
        self.commands.setdefault(name, path)

    def external(self):
        """The commands that are neither builtins nor the scripts' functions."""
        return {c: by for c, by in self.commands.items() if c not in self.functions}

    # ---- Python ----

    def python(self, path):
        with open(path, encoding="utf-8") as f:
            self.python_source(f.read(), path, os.path.dirname(path))

    def python_source(self, text, path, folder):
        tree = ast.parse(text, path)
        # sys.path.insert(0, os.path.join(HERE, "..", "x")): more folders of modules
        folders = [folder] + [self.joined(node.args[-1], folder) for node in ast.walk(tree)
                              if isinstance(node, ast.Call) and getattr(node.func, "attr", "") in ("insert", "append")
                              and ast.unparse(node.func).startswith("sys.path") and self.joined(node.args[-1], folder)]
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                for alias in node.names:
                    self.module(alias.name, path, folders)
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                self.module(node.module, path, folders)
            elif isinstance(node, ast.ImportFrom):
                for alias in node.names:  # relative: a module of this package
                    base = os.path.join(folder, (node.module or "").replace(".", "/"))
                    self.follow(os.path.join(base, alias.name + ".py"), path)
                    self.follow(base + ".py", path)
            elif isinstance(node, ast.Call):
                self.python_call(node, path, folder, folders)

    def python_call(self, node, path, folder, module_folders):
        name = getattr(node.func, "attr", getattr(node.func, "id", ""))
        # subprocess.run([...]) and the simulator's own run([...]) helpers
        if name in ("run", "Popen", "check_output", "check_call", "call") and node.args and \
                isinstance(node.args[0], ast.List) and node.args[0].elts and \
                isinstance(node.args[0].elts[0], ast.Constant):
            self.command(node.args[0].elts[0].value, path)
        # os.path.join(HERE, "..", "tools", "x.sh"): a project file or folder
        target = self.joined(node, folder)
        if target:
            if os.path.isdir(target) and target not in module_folders and SOURCE in os.path.realpath(target):
                for entry in sorted(os.listdir(target)):
                    if entry.endswith(".py") and not entry.startswith("test_"):
                        self.follow(os.path.join(target, entry), path)
            elif re.search(r"\.(sh|py)$", target):
                self.follow(target, path)

    @staticmethod
    def joined(node, folder):
        """The path an os.path.join(HERE, "..", ...) call names, from folder."""
        if isinstance(node, ast.Call) and ast.unparse(node.func) == "os.path.join" and len(node.args) > 1 and \
                (ast.unparse(node.args[0]) == "HERE" or "__file__" in ast.unparse(node.args[0])) and \
                all(isinstance(a, ast.Constant) for a in node.args[1:]):
            return os.path.normpath(os.path.join(folder, *[a.value for a in node.args[1:]]))
        return None

    def module(self, name, path, folders):
        # A module of the project: in a folder of the script's path or above
        # one (the simulator's services import its simkit package).
        top = name.split(".")[0]
        for base in folders:
            while base.startswith(SOURCE):
                if os.path.isdir(os.path.join(base, top)) or os.path.isfile(os.path.join(base, top + ".py")):
                    local = os.path.join(base, *name.split("."))
                    self.follow(local + ".py", path)
                    self.follow(os.path.join(local, "__init__.py"), path)
                    return
                base = os.path.dirname(base)
        self.modules.setdefault(name, path)


def run(args):
    return subprocess.run(args, capture_output=True, text=True)


def package_of(path):
    """The package that ships path, trying the merged-/usr alias and the link's target."""
    candidates = [path, os.path.realpath(path)]
    for p in list(candidates):
        for a, b in (("/usr/bin/", "/bin/"), ("/usr/sbin/", "/sbin/"), ("/usr/lib/", "/lib/")):
            if p.startswith(a):
                candidates.append(b + p[len(a):])
            elif p.startswith(b):
                candidates.append(a + p[len(b):])
    for p in candidates:
        out = run(["dpkg-query", "-S", p])
        if out.returncode == 0:
            line = out.stdout.splitlines()[0]
            return line.split(":")[0].split(",")[0].strip()
    return None


def module_file(name):
    spec = importlib.util.find_spec(name)
    return spec.origin if spec and spec.origin and os.path.isabs(spec.origin) else None


@functools.lru_cache(None)
def closure():
    lists = []
    for name in ("build", "run"):
        out = run(["bash", os.path.join(SOURCE, "scripts", "install-deps.sh"), "list", name])
        assert out.returncode == 0, out.stderr
        lists += out.stdout.split()
    out = run(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
               "--no-breaks", "--no-replaces", "--no-enhances"] + sorted(set(lists)))
    assert out.returncode == 0, out.stderr
    return {line.split(":")[0] for line in out.stdout.splitlines() if line and not line[0].isspace()}


def always_installed(package):
    out = run(["dpkg-query", "-W", "-f", "${Essential} ${Priority}", package])
    return out.stdout.split() in (["yes", "required"], ["no", "required"], ["yes", "important"])


class RunList(unittest.TestCase):
    def test_shell_reader_finds_commands(self):
        # The reader itself, on the constructs the scripts use.
        reach = Reach()
        script = os.path.join(os.environ.get("TMPDIR", "/tmp"), "run-list-sample-%d.sh" % os.getpid())
        with open(script, "w", encoding="utf-8") as f:
            f.write('set -e\nsudo=""\n[ "$(id -u)" -ne 0 ] && sudo=sudo\nf() { true; }\n'
                    'case "$1" in\n  a) x=(one two) ;;\nesac\n'
                    'DEBIAN_FRONTEND=noninteractive $sudo apt-get install \\\n  -y pkg\n'
                    'cat <<EOF | grep -q x # comment\nnotacommand here\nEOF\n'
                    'if ! mkfifo "$F"; then f; fi\n{ echo a; } >"$F.tmp"\n'
                    'V=$(cd "$(dirname "$0")" && pwd)\nexec 9>>"$V.lock"\nflock -n 9 || exit 1\n')
        try:
            reach.follow(script, "test")
        finally:
            os.unlink(script)
        self.assertEqual(set(reach.external()), {"id", "sudo", "apt-get", "cat", "grep", "mkfifo", "dirname",
                                               "flock"})

    def test_every_command_of_the_demo_comes_with_the_lists(self):
        reach = Reach()
        reach.follow(os.path.join(SOURCE, "scripts", "run.sh"), "run.sh")
        for name in PROGRAM_COMMANDS:
            reach.command(name, "the program")
        # run.sh reaches the demo's pieces: a reader that misses them proves nothing.
        for piece in ("scripts/demo-env.sh", "tests/tools/make-cps-token.sh", "tests/tools/make-test-pki.sh",
                      "tests/sim/simulator.py", "scripts/demo-card.py", "tests/sim/services/registry.py"):
            self.assertIn(os.path.realpath(os.path.join(SOURCE, piece)), reach.seen, piece)
        for command in ("softhsm2-util", "pkcs11-tool", "openssl", "xmllint", "cmake"):
            self.assertIn(command, reach.commands)
        self.assertIn("/usr/bin/python3", reach.commands)

        needed = {}  # package -> what needs it
        missing = []
        for name, by in sorted(reach.external().items()):
            if name in INSTALLER:
                continue
            path = name if name.startswith("/") else run(
                ["env", "PATH=" + DEBIAN_PATH, "bash", "-c", 'command -v "$0"', name]).stdout.strip()
            package = package_of(path) if path else None
            if not package:
                missing.append("command %s (%s): no Debian package ships it" % (name, by))
            else:
                needed.setdefault(package, "command %s (%s)" % (name, by))
        for name, by in sorted(reach.modules.items()):
            origin = module_file(name)
            if origin is None:
                continue  # built into the interpreter
            package = package_of(origin)
            if not package:
                missing.append("Python module %s (%s): not from a Debian package (%s)" % (name, by, origin))
            else:
                needed.setdefault(package, "Python module %s (%s)" % (name, by))
        for name, by in sorted(reach.files.items()):
            package = package_of(name)
            if not package:
                missing.append("file %s (%s): no Debian package ships it" % (name, by))
            else:
                needed.setdefault(package, "file %s (%s)" % (name, by))
        for package, why in sorted(needed.items()):
            if package not in closure() and not always_installed(package):
                missing.append("package %s, for %s, is not brought by install-deps.sh build/run" % (package, why))
        self.assertEqual(missing, [], "\n" + "\n".join(missing))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
