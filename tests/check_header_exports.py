#!/usr/bin/env python3
"""Compares what a library's public headers declare for export with its exports.txt, both ways.

usage: check_header_exports.py <library> <cc> <flags file> <exports.txt> <header>...

Each header goes through the target's C preprocessor (<cc> -E) with the flags a consumer of the
library compiles with (the flags file: one argument a line) and EDGE_BUILDING defined, so EDGE_API
becomes the default-visibility attribute and the accessor and record-table macros are expanded as
the compiler sees them. Of the expanded text, only what comes from the library's own headers
counts (the line markers say which file each line is from): a dependency's header or another kit
library's header declares nothing for this library. That text is split into top-level
declarations; each one's declared names are read after its attributes are taken out.

Reported, with the header line that declares the name where there is one:
- a name declared with EDGE_API but missing from exports.txt (it would stay hidden),
- a name in exports.txt that no header of the library declares with EDGE_API,
- a function or object declared without EDGE_API (a module compiles against it but cannot link),
- a name listed twice in exports.txt.
"""
import os
import re
import subprocess
import sys

TOKEN = re.compile(
    r"""\s*(?:
      (?P<id>[A-Za-z_][A-Za-z0-9_]*)
    | (?P<str>"(?:\\.|[^"\\])*"|'(?:\\.|[^'\\])*')
    | (?P<num>\.?[0-9](?:[eEpP][+-]|[A-Za-z0-9_.])*)
    | (?P<punct>\.\.\.|->|<<=|>>=|[-+*/%&|^<>=!]=|&&|\|\||<<|>>|\+\+|--|\#\#|[^\sA-Za-z0-9_])
    )""",
    re.VERBOSE,
)
LINE_MARKER = re.compile(r'#\s*(?:line\s+)?(\d+)\s+"((?:\\.|[^"\\])*)"')
OPENERS = {"(": ")", "[": "]", "{": "}"}
# Words that never name what a declaration declares.
KEYWORDS = {
    "auto", "char", "const", "double", "enum", "extern", "float", "inline", "int", "long",
    "register", "restrict", "short", "signed", "static", "struct", "typedef", "union",
    "unsigned", "void", "volatile", "_Bool", "_Complex", "__restrict", "__restrict__",
    "__inline", "__inline__", "__extension__", "__const", "__volatile__", "sizeof",
}


def preprocess(cc, flags, header):
    """The expanded text of one header as (file, line, text) lines."""
    cmd = [cc, "-E", "-x", "c", "-std=c99", "-DEDGE_BUILDING=1", *flags, header]
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.exit("preprocessing %s failed:\n%s\n%s" % (header, " ".join(cmd), run.stderr))
    lines, current, number = [], header, 1
    for text in run.stdout.splitlines():
        marker = LINE_MARKER.match(text)
        if marker:
            number, current = int(marker.group(1)), re.sub(r"\\(.)", r"\1", marker.group(2))
            continue
        if not text.startswith("#"):  # pragmas
            lines.append((current, number, text))
        number += 1
    return lines


def tokens_of(lines, own):
    """Tokens of the lines that come from the library's own headers, with their location."""
    for path, number, text in lines:
        if os.path.realpath(path) not in own:
            continue
        pos = 0
        while pos < len(text):
            match = TOKEN.match(text, pos)
            if not match or match.end() == pos:
                break
            pos = match.end()
            yield match.group(match.lastgroup), (path, number)


def declarations(tokens):
    """Top-level declarations as token lists: up to a ';' outside brackets, or to the closing
    brace of a function body (braces right after a parameter list)."""
    current, depth, function_body = [], [], False
    for token in tokens:
        text = token[0]
        if text == "{" and not depth:
            function_body = bool(current) and current[-1][0] == ")"
        current.append(token)
        if text in OPENERS:
            depth.append(OPENERS[text])
        elif depth and text == depth[-1]:
            depth.pop()
            if not depth and text == "}" and function_body:
                yield current
                current, function_body = [], False
        elif not depth and text == ";":
            yield current
            current = []


def strip_attributes(decl):
    """The declaration without __attribute__((...)) and __asm__(...) groups, and whether one of
    them was the default-visibility attribute."""
    out, exported, i = [], False, 0
    while i < len(decl):
        text = decl[i][0]
        if text in ("__attribute__", "__attribute", "__asm__", "__asm", "asm") and i + 1 < len(decl) \
                and decl[i + 1][0] == "(":
            end, depth = i + 1, 0
            while end < len(decl):
                if decl[end][0] == "(":
                    depth += 1
                elif decl[end][0] == ")":
                    depth -= 1
                    if depth == 0:
                        break
                end += 1
            words = [t for t, _ in decl[i:end + 1]]
            if text.startswith("__attribute") and any(w.strip("_") == "visibility" for w in words) \
                    and '"default"' in words:
                exported = True
            i = end + 1
            continue
        out.append(decl[i])
        i += 1
    return out, exported


def split_declarators(decl):
    """The comma-separated declarators at the top level (the first keeps the specifiers); a
    brace-enclosed body or an initializer ends the declarator it belongs to."""
    parts, current, depth, skipping = [], [], 0, False
    for token in decl:
        text = token[0]
        if text in OPENERS:
            depth += 1
        elif text in OPENERS.values():
            depth -= 1
        if depth == 0 and text in (",", ";"):
            parts.append(current)
            current, skipping = [], False
            continue
        if depth == 0 and text == "=":
            skipping = True
        if not skipping:
            current.append(token)
    if current:
        parts.append(current)
    return parts


def declared_name(declarator):
    """The name a declarator declares with its location, or None for a type alone (as in
    'struct s {...};' or 'struct s;')."""
    flat, depth = [], 0
    for text, where in declarator:
        if text in OPENERS.values():
            depth -= 1
        flat.append((text, where, depth))
        if text in OPENERS:
            depth += 1
    top = [(i, text, where) for i, (text, where, level) in enumerate(flat) if level == 0]
    # A declarator in parentheses, as in 'void (*name(int))(void)': the name follows the '*'s.
    for i, text, _ in top:
        if text == "(" and i + 1 < len(flat) and flat[i + 1][0] == "*":
            for inner, where, _ in flat[i + 1:]:
                if is_name(inner):
                    return inner, where
    # A function: the first name followed by its parameter list.
    for i, text, where in top:
        if is_name(text) and i + 1 < len(flat) and flat[i + 1][0] == "(":
            return text, where
    # An object: the last name at the top level that is not a struct, union or enum tag. A
    # declaration that ends with a body declares a type only.
    if top and top[-1][1] == "}":
        return None
    names = [(text, where) for n, (_, text, where) in enumerate(top)
             if is_name(text) and not (n > 0 and top[n - 1][1] in ("struct", "union", "enum"))]
    return names[-1] if names else None


def top_level(decl):
    """The texts of the tokens outside any brackets."""
    texts, depth = [], 0
    for text, _ in decl:
        if text in OPENERS.values():
            depth -= 1
        elif depth == 0:
            texts.append(text)
        if text in OPENERS:
            depth += 1
    return texts


def is_name(text):
    return is_identifier(text) and text not in KEYWORDS


def is_identifier(text):
    return re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", text) is not None


def read_exports(path):
    names, twice = [], []
    with open(path) as lines:
        for line in lines:
            if re.match(r"[A-Za-z_]", line):
                name = line.strip()
                (twice if name in names else names).append(name)
    return names, twice


def main():
    if len(sys.argv) < 6:
        sys.exit(__doc__.split("\n\n")[1])
    library, cc, flags_file, exports_file = sys.argv[1:5]
    headers = sys.argv[5:]
    with open(flags_file) as lines:
        flags = [line.rstrip("\n") for line in lines if line.strip()]
    own = {os.path.realpath(h) for h in headers}

    exported, unmarked = {}, {}
    for header in headers:
        for decl in declarations(tokens_of(preprocess(cc, flags, header), own)):
            body, marked = strip_attributes(decl)
            specifiers = top_level(body)
            if "typedef" in specifiers:
                continue
            if "static" in specifiers:
                continue  # local to each file that includes the header
            for declarator in split_declarators(body):
                found = declared_name(declarator)
                if found:
                    (exported if marked else unmarked).setdefault(found[0], found[1])

    listed, twice = read_exports(exports_file)
    problems = []
    for name in sorted(set(exported) - set(listed)):
        path, line = exported[name]
        problems.append("%s:%d: %s is declared with EDGE_API but not listed in %s" % (path, line, name, exports_file))
    for name in sorted(set(listed) - set(exported)):
        problems.append("%s: %s is listed but no public header of %s declares it with EDGE_API"
                        % (exports_file, name, library))
    for name in sorted(unmarked):
        path, line = unmarked[name]
        problems.append("%s:%d: %s is declared without EDGE_API" % (path, line, name))
    for name in twice:
        problems.append("%s: %s is listed twice" % (exports_file, name))
    if problems:
        print("\n".join(problems))
        return 1
    print("%s: %d names declared with EDGE_API by %s, as listed in exports.txt"
          % (library, len(exported), ", ".join(os.path.basename(h) for h in headers)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
