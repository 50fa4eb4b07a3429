"""Checks every local link of a built HTML site: each href and src that
points inside the site must name a file that exists, and its #fragment an
id (or name) on that page. Links to other hosts are not followed.

    python docs/check_links.py build/docs/html
"""
import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit


class Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.links: list[str] = []
        self.ids: set[str] = set()

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        for key, value in attrs:
            if value is None:
                continue
            if key in ("href", "src"):
                self.links.append(value)
            elif key == "id" or (key == "name" and tag == "a"):
                self.ids.add(value)


def parse(path: Path, pages: dict[Path, Page]) -> Page:
    if path not in pages:
        page = Page()
        page.feed(path.read_text(encoding="utf-8", errors="replace"))
        pages[path] = page
    return pages[path]


def check(site: Path) -> tuple[list[str], int]:
    """The broken local links of the site, and the number of links read."""
    pages: dict[Path, Page] = {}
    problems = []
    count = 0
    for html in sorted(site.rglob("*.html")):
        for link in parse(html, pages).links:
            count += 1
            parts = urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith(("mailto:", "javascript:", "data:")):
                continue
            target = html if not parts.path else (html.parent / unquote(parts.path)).resolve()
            if target.is_dir():
                target = target / "index.html"
            where = f"{html.relative_to(site)}: {link}"
            if not target.is_file():
                problems.append(f"{where}: no such file")
            elif parts.fragment and target.suffix == ".html" and unquote(parts.fragment) not in parse(
                    target, pages).ids:
                problems.append(f"{where}: no #{parts.fragment} on that page")
    return problems, count


def main() -> int:
    site = Path(sys.argv[1] if len(sys.argv) > 1 else "build/docs/html").resolve()
    if not (site / "index.html").is_file():
        print(f"{site}: no built site here", file=sys.stderr)
        return 1
    problems, count = check(site)
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"links: {len(problems)} broken of {count} in {site}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
