#!/usr/bin/env python3
"""Checks that every relative link of README.md and docs/*.md resolves.

  check_links.py [REPOSITORY]

A link resolves when the file or folder it names exists inside the
repository and, when it carries a #anchor, the anchor names a heading of
the Markdown file it points into (the same file for a bare "#anchor").
Anchors follow GitHub's rule for headings: the heading's text, lower-case,
punctuation other than hyphens and underscores dropped, spaces turned into
hyphens; a repeated heading gets "-1", "-2", ... Only ATX headings ("## x")
are read. Links with a scheme (https:, mailto:) are not followed, and
nothing inside code spans or fenced code blocks is a link.

Prints each broken link as FILE:LINE: TARGET: reason and exits with 1 when
there is one, else prints how many links it checked and exits with 0.
"""
import re
import sys
from pathlib import Path
from urllib.parse import unquote

FENCE = re.compile(r"^\s{0,3}(```|~~~)")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)(?:\s+#+)?\s*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
INLINE_LINK = re.compile(r"!?\[((?:[^\[\]]|\[[^\]]*\])*)\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(text):
    """Yields (line number, line) outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        match = FENCE.match(line)
        if match:
            if fence is None:
                fence = match.group(1)
            elif match.group(1) == fence:
                fence = None
            continue
        if fence is None:
            yield number, line


def heading_text(markdown):
    """The text GitHub renders for a heading: code spans keep their content,
    links their text, emphasis markers are dropped with the punctuation."""
    text = CODE_SPAN.sub(lambda m: m.group(2).strip(), markdown)
    return INLINE_LINK.sub(lambda m: m.group(1), text)


def anchor(text):
    return re.sub(r"[^\w\- ]", "", heading_text(text).lower()).replace(" ", "-")


ANCHORS = {}


def anchors_of(path):
    """The anchors of a Markdown file's headings (read once per file)."""
    if path not in ANCHORS:
        seen = {}
        names = set()
        for _, line in prose_lines(path.read_text(encoding="utf-8")):
            match = HEADING.match(line)
            if not match:
                continue
            name = anchor(match.group(2))
            count = seen.get(name, 0)
            seen[name] = count + 1
            names.add(name if count == 0 else f"{name}-{count}")
        ANCHORS[path] = names
    return ANCHORS[path]


def links_of(path):
    """Yields (line number, target) for every link and reference definition."""
    for number, line in prose_lines(path.read_text(encoding="utf-8")):
        line = CODE_SPAN.sub("code", line)
        for match in INLINE_LINK.finditer(line):
            yield number, match.group(2)
        match = REFERENCE.match(line)
        if match:
            yield number, match.group(1)


def problem(repository, source, target):
    """Why target, linked from source, does not resolve (None when it does)."""
    if not target:
        return "empty link"
    if SCHEME.match(target):
        return None
    path_part, _, fragment = target.partition("#")
    if path_part:
        if path_part.startswith("/"):
            return "absolute path (links must be relative)"
        destination = (source.parent / unquote(path_part)).resolve()
    else:
        destination = source
    if repository not in destination.parents and destination != repository:
        return "points outside the repository"
    if not destination.exists():
        return "no such file"
    if not fragment:
        return None
    if destination.suffix.lower() != ".md":
        return "anchor into a file that is not Markdown"
    if unquote(fragment) not in anchors_of(destination):
        return f"no heading with anchor #{fragment} in {destination.relative_to(repository)}"
    return None


def main(argv):
    repository = Path(argv[1] if len(argv) > 1 else Path(__file__).parents[2]).resolve()
    pages = [repository / "README.md"] + sorted((repository / "docs").glob("*.md"))
    broken = 0
    checked = 0
    for page in pages:
        for number, target in links_of(page):
            checked += 1
            reason = problem(repository, page, target)
            if reason:
                broken += 1
                print(f"{page.relative_to(repository)}:{number}: {target}: {reason}")
    if broken:
        print(f"check_links: {broken} of {checked} links broken")
        return 1
    print(f"check_links: {checked} links in {len(pages)} pages resolve")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
