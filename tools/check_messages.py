#!/usr/bin/env python3
"""Holds docs/messages.md to every text the program can print.

An administrator who finds a line in the run log, on the console, on the
serial console or in the event log looks it up on that page; a line the page
does not explain leaves them guessing. So every text the source can print
must appear on the page in a code span (`...`, in running text, a list or a
table; fenced blocks are examples and do not count).

What the source can print, as taken from src/:
  - every string literal that holds a line feed: a line of the log or the
    console (adjacent literals joined first, as the compiler does);
  - every string literal handed straight to a printing call (PRINT_CALLS);
  - every other literal that holds a blank next to a letter: a piece of a
    line that is put together elsewhere (a reason after "not configured: ",
    the closing line, a command line), unless NOT_PRINTED names it;
  - every message of a message table (*.mc), one line per %n: the texts
    Event Viewer shows.
Comments, static_assert messages and preprocessor lines other than #define
are left out.

A text is explained when one code span holds its fixed parts (what remains
once the values, %ls %u %lu %d %02x %s and the like, are taken out) in
order, blanks counted as one. A text that starts a line must start the
span, and one that ends a line must end it, so that `current config ip=...`
does not pass for `config ip=...`.

Prints one line per unexplained text, naming the file, the line and the
text, and exits 1 when there is any.

    tools/check_messages.py [ROOT]       check the tree at ROOT (default: this repository)
    tools/check_messages.py --self-test  prove that the check catches what it should
"""
import os
import re
import sys
import tempfile

PAGE = os.path.join("docs", "messages.md")
PRINT_CALLS = {"logWide", "logNarrow", "printf", "wprintf", "fprintf", "fwprintf", "puts",
               "_putws", "fputs", "fputws", "WriteConsoleW", "WriteConsoleA", "writeSerialConsole",
               "reportEvent"}
SOURCE_SUFFIXES = (".cpp", ".h", ".h.in")
# Texts with blanks that the program hands to Windows, never to a reader:
# each with the reason it needs no explanation.
NOT_PRINTED = {
    "Microsoft Internet Explorer": "the user agent every metadata request sends",
    "Sets the static IPv4 addresses, mask and gateway of the machine's additional network adapters "
    "from the cloud platform's instance-metadata service: at start, and whenever an adapter is "
    "attached or the metadata changes.": "the service's description, which the service manager shows",
}

# A C conversion (%ls, %lu, %02x, %2d, %s...) or a message table insert
# (%1, %2!s!, %n, %0...): a value, or a break, never fixed text.
C_CONVERSION = re.compile(r"%[-+ #0]*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:hh|h|ll|l|L|z|j|t|I64|I32|I)?"
                          r"[diouxXeEfFgGaAcCsSpn]")
MC_INSERT = re.compile(r"%(?:[1-9]\d?(?:![^!]*!)?|[0nrtb.!])")
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'", "a": "\a",
           "b": "\b", "f": "\f", "v": "\v", "?": "?"}


def unescape(body):
    out, i = [], 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            nxt = body[i + 1]
            if nxt == "x":
                digits = re.match(r"[0-9a-fA-F]+", body[i + 2:])
                if digits:
                    out.append(chr(int(digits.group(0), 16)))
                    i += 2 + len(digits.group(0))
                    continue
            out.append(ESCAPES.get(nxt, nxt))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


class Literal:
    def __init__(self, line, text, call, first_arg):
        self.line, self.text, self.call, self.first_arg = line, text, call, first_arg


# The tokens of a C++ source that matter here: what to pass over (comments,
# preprocessor lines but #define, whose text may be printed), string
# literals (raw or not, with any prefix), character literals (so that '"'
# opens no string), words and numbers (digit separators are no character
# literals), and single marks.
TOKENS = re.compile(r"""
    (?P<skip>//[^\n]*|/\*.*?\*/|^[ \t]*\#[ \t]*(?!define\b)\w*(?:\\\n|[^\n])*)
  | (?:u8|u|U|L)?R"(?P<delim>[^(\s]*)\((?P<raw>.*?)\)(?P=delim)"
  | (?:u8|u|U|L)?"(?P<string>(?:\\.|[^"\\\n])*)"
  | (?:u8|u|U|L)?'(?:\\.|[^'\\\n])*'
  | (?P<word>[A-Za-z_]\w*|\d(?:[\w.]|'(?=\w))*)
  | \S""", re.S | re.M | re.X)


def literals(source):
    """The string literals of a C++ source, adjacent ones joined, with the
    line each starts on and the innermost call whose arguments hold it."""
    found = []
    calls = []  # the calls whose arguments we are in, innermost last: [name, an argument begun]
    last_word, after_literal = "", False
    for token in TOKENS.finditer(source):
        if token.group("skip") is not None:
            continue
        text = token.group("raw")
        if text is None and token.group("string") is not None:
            text = unescape(token.group("string"))
        if text is not None:
            if after_literal:
                found[-1].text += text
            else:
                found.append(Literal(source.count("\n", 0, token.start()) + 1, text,
                                     calls[-1][0] if calls else "", bool(calls) and not calls[-1][1]))
            if calls:
                calls[-1][1] = True
            after_literal = True
            continue
        after_literal = False
        mark = token.group(0)
        if mark == "(":
            calls.append([last_word, False])
        elif mark == ")":
            if calls:
                calls.pop()
        elif mark != "," and calls:
            calls[-1][1] = True
        last_word = mark if token.group("word") else ""
    return found


class Text:
    """One printable text, where it is made, and what a code span that
    explains it must match: its fixed parts in order, with anything between
    them, from the span's start and to its end where the text starts or ends
    a line."""

    def __init__(self, where, shown, parts, starts_line, ends_line):
        self.where, self.shown = where, shown
        self.pattern = re.compile(("^" if starts_line else "") + ".*?".join(map(re.escape, parts)) +
                                  ("$" if ends_line else ""))


def blanks_as_one(text):
    return re.sub(r"\s+", " ", text).strip()


def split_text(where, text, values, starts_line, ends_line):
    """The texts of one literal or message, one per line it holds. Each line
    but the last is ended by its line feed; the last ends a line only when
    `ends_line` says so."""
    lines = text.split("\n")
    texts = []
    for index, line in enumerate(lines):
        pieces = values.split(line.replace("%%", "\x01"))
        parts = [blanks_as_one(p.replace("\x01", "%")) for p in pieces]
        if not any(re.search(r"[A-Za-z]", p) for p in parts):
            continue  # values alone ("%ls\n"): what they print is found where it is made
        ends = index < len(lines) - 1 or ends_line
        texts.append(Text(where, blanks_as_one(line), [p for p in parts if p],
                          starts_line and parts[0] != "", ends and parts[-1] != ""))
    return texts


def source_texts(root):
    """Every printable text of the tree at root, in file order."""
    texts = []
    src = os.path.join(root, "src")
    for folder, _dirs, names in sorted(os.walk(src)):
        for name in sorted(names):
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, encoding="utf-8", errors="replace") as f:
                source = f.read()
            if name.endswith(".mc"):
                texts += mc_texts(relative, source)
            elif name.endswith(SOURCE_SUFFIXES):
                texts += cpp_texts(relative, source)
    return texts


def cpp_texts(relative, source):
    texts = []
    for lit in literals(source):
        if lit.call == "static_assert":
            continue
        where = "%s:%d" % (relative, lit.line)
        if "\n" in lit.text or lit.call in PRINT_CALLS:
            # A format handed over first, or a text with its line feed, is a
            # line of its own; another argument is a value within one.
            whole = "\n" in lit.text or lit.first_arg
            texts += split_text(where, lit.text, C_CONVERSION, whole, False)
        elif lit.text not in NOT_PRINTED and re.search(r"[A-Za-z] |\s[A-Za-z]", lit.text):
            texts += split_text(where, lit.text, C_CONVERSION, False, False)
    return texts


def mc_texts(relative, source):
    """The messages of a message table: the lines after Language= up to '.'."""
    texts = []
    lines = source.split("\n")
    i = 0
    while i < len(lines):
        if re.match(r"\s*Language\s*=", lines[i]):
            start = i + 1
            i = start
            while i < len(lines) and lines[i].rstrip("\r") != ".":
                i += 1
            message = "\n".join(l.rstrip("\r") for l in lines[start:i])
            message = re.sub(r"%n", "\n", message)
            texts += split_text("%s:%d" % (relative, start + 1), message, MC_INSERT, True, True)
        i += 1
    return texts


def page_spans(page_text):
    """The page's code spans outside fenced blocks, blanks counted as one."""
    spans, fenced = [], False
    paragraph = []
    for line in page_text.split("\n") + [""]:
        if re.match(r"\s*(```|~~~)", line):
            fenced = not fenced
            continue
        if fenced:
            continue
        if line.strip() == "":
            text = "\n".join(paragraph)
            paragraph = []
            for match in re.finditer(r"(`+)(.+?)(?<!`)\1(?!`)", text, re.S):
                spans.append(blanks_as_one(match.group(2)))
            continue
        paragraph.append(line)
    return spans


def check(root):
    page_path = os.path.join(root, PAGE)
    if not os.path.exists(page_path):
        return ["%s: missing" % PAGE]
    with open(page_path, encoding="utf-8") as f:
        spans = page_spans(f.read())
    findings = []
    for text in source_texts(root):
        if not any(text.pattern.search(span) for span in spans):
            findings.append("%s: not explained in %s: %s" % (text.where, PAGE, text.shown))
    return findings


def self_test():
    """A tree with one text of each kind the page explains, then one more of
    each that it does not."""
    explained = {
        "src/app/a.cpp": (
            '// logWide(L"a comment is not printed\\n");\n'
            'static_assert(sizeof(int) == 4, "nor is a compile-time message");\n'
            'void f() {\n'
            '    logWide(L"config ip=%ls\\n", ip);\n'
            '    logNarrow("wait %s  count=%d\\n", line, 3);\n'
            '    logWide(L"adapter %ls not configured: %ls\\n", entry, why);\n'
            '    why = L"its " + what + L" could not be fetched";\n'
            '    if (c == \'"\') std::printf("a line split "\n'
            '                            "over two literals\\n");\n'
            '    std::puts("100%% done");\n'
            '}\n'),
        "src/platform/win32/b.cpp": ('#include "not printed.h"\n'
                                     '#define LINE L"config macaddr=%ls\\n"\n'
                                     'InternetOpenW(L"Microsoft Internet Explorer", 0);\n'),
        "src/platform/win32/m.mc": "MessageId=1\nLanguage=English\n%1%nRun log: %2%0\n.\n",
    }
    page = ("# Messages\n\n"
            "- `config ip=10.1.0.5`: an address asked for.\n"
            "- `config macaddr=52:54:00:ab:cd:01`: the adapter's record is complete.\n"
            "- `wait route add 169.254.0.0 mask 255.255.128.0 10.0.0.1  count=1`\n"
            "- `adapter 52:54:00:ab:cd:02 not configured: its gateway could not be fetched`\n"
            "- `a line split over\n  two literals`, and `100% done`\n"
            "- `set netcard info success` then `Run log: c:\\windows\\ipconfig_addrsmith.log`\n\n"
            "```\ncurrent config dns=10.0.0.2\nsomething in an example only\n```\n"
            "Only `current config dns=10.0.0.2` explains the dns line.\n")
    unexplained = {
        "src/app/c.cpp": ('void g() {\n'
                          '    logWide(L"dns=%ls\\n", dns);\n'            # only inside a longer line
                          '    std::wprintf(L"service installed");\n'      # a print call's text
                          '    reason = L"the name is empty";\n'           # a piece of a line
                          '    agent = L"Some Other Agent";\n'             # a text not known as not printed
                          '    logNarrow("something in an "\n'
                          '              "example only\\n");\n'            # only in a fenced block
                          '}\n'),
        "src/platform/win32/n.mc": "MessageId=2\nLanguage=English\n%1%nVersion: %2%0\n.\n",
    }
    expected = ["src/app/c.cpp:2:", "src/app/c.cpp:3:", "src/app/c.cpp:4:", "src/app/c.cpp:5:",
                "src/app/c.cpp:6:", "src/platform/win32/n.mc:3:"]
    failures = []
    with tempfile.TemporaryDirectory() as root:
        def write(files):
            for relative, text in files.items():
                path = os.path.join(root, relative)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write(text)
        write(dict(explained, **{PAGE: page}))
        found = check(root)
        if found:
            failures.append("explained texts were refused: %s" % found)
        count = len(source_texts(root))
        if count != 9:
            failures.append("expected 9 texts in the explained tree, got %d: %s"
                            % (count, [t.shown for t in source_texts(root)]))
        write(unexplained)
        found = check(root)
        for where in expected:
            if not any(line.startswith(where) for line in found):
                failures.append("not caught: %s" % where)
        if len(found) != len(expected):
            failures.append("expected %d findings, got %s" % (len(expected), found))
    for failure in failures:
        print("self-test: " + failure)
    print("self-test: %s" % ("failed" if failures else "every unexplained text caught"))
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    findings = check(root)
    for line in findings:
        print(line)
    count = len(source_texts(root))
    print("messages: %s" % ("%d of %d texts not explained" % (len(findings), count) if findings
                            else "all %d texts of the source explained" % count))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
