#!/usr/bin/env python3
"""The mutant maker of scripts/mutate.sh: a table of regular-expression rules for C++, in the
manner of universalmutator, each applied at one place of one line at a time.

  mutate.py list [--sample N --seed S] --out MUTANTS.json FILE...
      writes every mutant (or a sample, ids kept) to MUTANTS.json and one line per mutant to
      stdout: id, file, line, rule, mutated line (tab-separated)
  mutate.py apply MUTANTS.json ID   writes mutant ID into its file (which must be the original)
  mutate.py self-test               checks the rules and the lexer on a small snippet

Comments, string and character literals, preprocessor lines (with their continuations),
static_assert lines and lines of braces alone are never mutated. Binary operators are matched
only with a blank on either side, as clang-format writes them, which tells `a < b` from
`static_cast<int>(x)` and `x * y` from `T* p` without parsing C++.
"""

import json
import random
import re
import sys

ENCODING = {"encoding": "utf-8", "errors": "surrogateescape", "newline": ""}

# ---- Rules -----------------------------------------------------------------------------------
# Each relational operator goes to its boundary neighbour and to its negation: the first
# finds a missing test at the boundary, the second a branch no test takes.
RELATIONAL = {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"],
              "==": ["!="], "!=": ["=="]}
ARITHMETIC = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "%": ["/"],
              "+=": ["-="], "-=": ["+="], "*=": ["/="], "/=": ["*="], "<<": [">>"], ">>": ["<<"]}
LOGICAL = {"&&": ["||"], "||": ["&&"]}
NAMES = {"std::min": ["std::max"], "std::max": ["std::min"],
         "std::floor": ["std::ceil", "std::llround"], "std::ceil": ["std::floor", "std::llround"],
         "std::round": ["std::floor", "std::ceil"], "std::trunc": ["std::round"],
         "std::llround": ["std::floor", "std::ceil"], "std::lround": ["std::floor", "std::ceil"],
         "true": ["false"], "false": ["true"]}


def spaced(table):
    """A binary operator with a blank or the line's end on either side."""
    ops = sorted(table, key=len, reverse=True)
    return re.compile(r"(?<!\S)(" + "|".join(re.escape(o) for o in ops) + r")(?!\S)")


NUMBER = re.compile(r"(?<![\w.])\.?\d(?:[eEpP][+-]|[\w.'])*")  # a pp-number, floats included
INTEGER = re.compile(r"(0|[1-9]\d*)([uUlL]*)")
RAW_STRING = re.compile(r'(?:u8|[uUL])?R"([^()\\\s]{0,16})\(')
# A line that goes on from the one before (it starts with a binary operator) or closes a block.
CONTINUATION = re.compile(r"\?|:(?!:)|[=<>/%&|^.,{}]|[+-](?![+-])|\*\s")
DECLARATION = re.compile(
    r"(?:(?:const|constexpr|static|auto|using|typedef|struct|class|enum|namespace|template"
    r"|extern|inline|friend|virtual|explicit|typename|unsigned|signed|int|long|short|char|bool"
    r"|float|double|void)\b|[\w:]+(?:<[^;]*>)?[\s*&]+\w+\s*(?:[=;({\[]|$))")


def table_rule(name, table, pattern):
    def rule(line):
        for m in pattern.finditer(line):
            for new in table[m.group(1)]:
                yield name, m.start(1), m.end(1), new
    return rule


def increment(line):
    for m in re.finditer(r"\+\+|--", line):
        yield "increment", m.start(), m.end(), "--" if m.group() == "++" else "++"


def negation(line):
    for m in re.finditer(r"(?<![!=<>])!(?!=)", line):
        yield "negation", m.start(), m.end(), ""


NAME = re.compile(r"(?<![\w:])(" + "|".join(re.escape(n) for n in NAMES) + r")\b")


def names(line):
    for m in NAME.finditer(line):
        for new in NAMES[m.group(1)]:
            yield "name", m.start(1), m.end(1), new


def constant(line):
    for m in NUMBER.finditer(line):
        whole = INTEGER.fullmatch(m.group())
        if not whole:
            continue  # floating, hexadecimal, octal or with separators
        value, suffix = int(whole.group(1)), whole.group(2)
        # "--1" would be a decrement and "-1u" wraps: no negative value after a sign or with u.
        negative_ok = "u" not in suffix.lower() and line[:m.start()][-1:] not in ("-", "+")
        seen = {value}
        for new in (0, 1, -1, value + 1, value - 1):
            if new in seen or (new < 0 and not negative_ok):
                continue
            seen.add(new)
            yield "constant", m.start(), m.end(), str(new) + suffix


def return_value(line):
    m = re.match(r"\s*return\s+(.+?)\s*;\s*$", line)
    if m:
        yield "return", m.start(1), m.end(1), "1" if m.group(1) == "0" else "0"


RULES = [
    table_rule("relational", RELATIONAL, spaced(RELATIONAL)),
    table_rule("arithmetic", ARITHMETIC, spaced(ARITHMETIC)),
    table_rule("logical", LOGICAL, spaced(LOGICAL)),
    increment, negation, constant, names, return_value,
]


# ---- Lexer -----------------------------------------------------------------------------------
def code_only(lines):
    """Each line with everything that is not code (comments, literals) blanked out, so that
    a rule matching there has all of its match in code."""
    out = []
    closing = None  # what ends the comment or raw string a line starts in, if any
    for line in lines:
        chars = list(line)
        i, n = 0, len(line)
        while i < n:
            if closing:
                end = line.find(closing, i)
                stop = n if end < 0 else end + len(closing)
                chars[i:stop] = " " * (stop - i)
                i = stop
                closing = closing if end < 0 else None
                continue
            raw = RAW_STRING.match(line, i)
            if line.startswith("//", i):
                chars[i:] = " " * (n - i)
                break
            if line.startswith("/*", i):
                chars[i:i + 2] = "  "
                i, closing = i + 2, "*/"
            elif raw and not re.match(r"\w", line[i - 1:i]):
                chars[i:raw.end()] = " " * (raw.end() - i)
                i, closing = raw.end(), ")" + raw.group(1) + '"'
            elif line[i] == "'" and re.search(r"(?<![\w.])\d[\w.']*$", line[:i]):
                i += 1  # a digit separator
            elif line[i] in "\"'":
                j = i + 1
                while j < n and line[j] != line[i]:
                    j += 2 if line[j] == "\\" else 1
                stop = min(j + 1, n)
                # The quotes stay: "x" and 'x' remain operands.
                chars[i + 1:stop - 1] = " " * max(0, stop - i - 2)
                i = stop
            else:
                i += 1
        out.append("".join(chars))
    return out


def simple_statement(code, previous):
    """A line that is one whole statement of its own (deleting a declaration would only make a
    mutant that does not build)."""
    text = code.strip()
    return (text.endswith(";") and previous.rstrip()[-1:] in (";", "{", "}", "")
            and text.count("(") == text.count(")") and not CONTINUATION.match(text)
            and not DECLARATION.match(text)
            and not re.match(r"return\b(?!\s*;)|case\b|default\b", text))


def mutants_of(path):
    with open(path, **ENCODING) as f:
        lines = f.read().split("\n")
    code = code_only(lines)
    previous = ""
    continued = False  # a preprocessor line ending in a backslash goes on
    for number, (line, masked) in enumerate(zip(lines, code), start=1):
        stripped = masked.strip()
        preprocessor = continued or stripped.startswith("#")
        continued = preprocessor and masked.rstrip().endswith("\\")
        if (preprocessor or not stripped or not stripped.strip("{}();,")
                or stripped.startswith("static_assert")):
            if stripped and not preprocessor:
                previous = stripped
            continue
        made = {line}
        found = []
        for rule in RULES:
            for name, start, end, new in rule(masked):
                text = line[:start] + new + line[end:]
                if text not in made:
                    made.add(text)
                    found.append((name, text))
        if simple_statement(masked, previous):
            # Only the statement goes: a comment around it may open or close on this line.
            start, end = len(masked) - len(masked.lstrip()), len(masked.rstrip())
            found.append(("delete", line[:start] + line[end:]))
        for name, text in found:
            yield {"file": path, "line": number, "rule": name, "original": line,
                   "mutated": text}
        previous = stripped


# ---- Commands --------------------------------------------------------------------------------
def display(mutant):
    text = mutant["original"] if mutant["rule"] == "delete" else mutant["mutated"]
    return ("(deleted) " if mutant["rule"] == "delete" else "") + text.strip().replace("\t", " ")


def command_list(args):
    sample, seed, out, files = None, None, None, []
    while args:
        a = args.pop(0)
        if a in ("--sample", "--seed", "--out") and args:
            value = args.pop(0)
            if a == "--out":
                out = value
            elif not value.isdigit():
                sys.exit(f"mutate.py: {a} wants a whole number, not {value}")
            elif a == "--sample":
                sample = int(value)
            else:
                seed = int(value)
        else:
            files.append(a)
    mutants = [m for f in files for m in mutants_of(f)]
    for i, m in enumerate(mutants, start=1):
        m["id"] = i
    if sample is not None and sample < len(mutants):
        chosen = random.Random(seed).sample(mutants, sample)
        mutants = sorted(chosen, key=lambda m: m["id"])
    if out:
        with open(out, "w", encoding="utf-8", errors="surrogateescape") as f:
            json.dump(mutants, f)
    for m in mutants:
        print(f'{m["id"]}\t{m["file"]}\t{m["line"]}\t{m["rule"]}\t{display(m)}')


def command_apply(list_path, wanted):
    with open(list_path, encoding="utf-8", errors="surrogateescape") as f:
        mutant = next((m for m in json.load(f) if str(m["id"]) == wanted), None)
    if mutant is None:
        sys.exit(f"mutate.py: no mutant {wanted} in {list_path}")
    with open(mutant["file"], **ENCODING) as f:
        lines = f.read().split("\n")
    index = mutant["line"] - 1
    # A file that is not the one the list was made from (a change during the run, or a mutant
    # never restored) must not be mutated further.
    if index >= len(lines) or lines[index] != mutant["original"]:
        sys.exit(f'mutate.py: {mutant["file"]}:{mutant["line"]} is not the line the mutants '
                 "were made from")
    lines[index] = mutant["mutated"]
    with open(mutant["file"], "w", **ENCODING) as f:
        f.write("\n".join(lines))


SNIPPET = r'''#include <vector>
#define LIMIT(a) \
    ((a) < 3)
// if (a < b) return 1;
int f(int a, int b) {
    const char* s = "a < b && c"; /* a < b
    ++a; */ b--;
    if (a < b && !flag) {
        ++a;
    }
    std::vector<int> v = {1'000, 0x10, 2.5f, 1e-5};
    return std::min(a, 7);
    auto r = R"(a < b)";
    if (c != '\'' && d) {
    unsigned u = a -
                 1u;
    do {
        ++a;
    } while (go);
}
'''

# Every mutant the snippet's lines should give; lines missing here should give none.
EXPECTED = {
    7: {"    ++a; */ b++;", "    ++a; */"},
    8: {"    if (a <= b && !flag) {", "    if (a >= b && !flag) {", "    if (a < b || !flag) {",
        "    if (a < b && flag) {"},
    9: {"        --a;", ""},
    12: {"    return std::max(a, 7);", "    return std::min(a, 0);", "    return std::min(a, 1);",
         "    return std::min(a, -1);", "    return std::min(a, 8);", "    return std::min(a, 6);",
         "    return 0;"},
    14: {"    if (c == '\\'' && d) {", "    if (c != '\\'' || d) {"},
    15: {"    unsigned u = a +"},
    16: {"                 0u;", "                 2u;"},
    18: {"        --a;", ""},
}


def command_self_test():
    import os
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "snippet.cpp")
        with open(path, "w", encoding="utf-8") as f:
            f.write(SNIPPET)
        made = {}
        for m in mutants_of(path):
            made.setdefault(m["line"], set()).add(m["mutated"].rstrip())
    failures = []
    for line in sorted(set(made) | set(EXPECTED)):
        got, want = made.get(line, set()), EXPECTED.get(line, set())
        for text in sorted(want - got):
            failures.append(f"line {line}: missing mutant {text!r}")
        for text in sorted(got - want):
            failures.append(f"line {line}: unexpected mutant {text!r}")
    for failure in failures:
        print("self-test:", failure)
    print(f"self-test: {'FAILED' if failures else 'ok'} "
          f"({sum(len(s) for s in made.values())} mutants of the snippet)")
    return 1 if failures else 0


def main(argv):
    if argv[:1] == ["list"]:
        command_list(argv[1:])
        return 0
    if argv[:1] == ["apply"] and len(argv) == 3:
        command_apply(argv[1], argv[2])
        return 0
    if argv == ["self-test"]:
        return command_self_test()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
