#!/usr/bin/env python3
"""Keeps the C++ sources portable by construction.

- POSIX-only headers and calls appear only in POSIX files, Win32 headers and calls only in Windows
  files. A few shared files hold one section per platform (PLATFORM_SECTIONS); there, each
  platform's code must sit in a block conditioned on that platform (#ifdef _WIN32 / #ifndef _WIN32
  and their #else branches).
- Constructs MSVC rejects or that only GCC and Clang know stay out of every file: __attribute__,
  __builtin_*, ssize_t (a POSIX type), alloca, statement expressions, GCC pragmas. Variable-length
  arrays are refused by the compiler itself (-Wvla -Werror in the Windows build).

Prints each offence as path:line: reason and exits 1 when there is one.
Usage: check_portability.py [--root TREE] [FILE...]   (default: every C++ file of the tree)
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_DIRS = ["core", "binding", "tests/core", "fuzz", "tools", "examples", "cmake"]
SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp"}

POSIX_FILES = [r"(^|/)posix_[^/]*$", r"_posix(_test)?\.(cpp|hpp)$", r"^tests/core/serial_port_test\.cpp$"]
WINDOWS_FILES = [r"(^|/)win_[^/]*$", r"_win(_test)?\.(cpp|hpp)$"]
# Shared files with a section per platform.
PLATFORM_SECTIONS = {
    "core/src/serial/port.cpp",
    "core/src/serial/open_port.cpp",
    "core/src/serial/tcp_port.cpp",
}

POSIX_HEADERS = re.compile(
    r"#\s*include\s*<(unistd\.h|fcntl\.h|termios\.h|poll\.h|pty\.h|dirent\.h|netdb\.h|dlfcn\.h|pthread\.h|"
    r"sys/[\w/]+\.h|arpa/\w+\.h|netinet/\w+\.h|linux/[\w/]+\.h)>")
POSIX_CALLS = re.compile(
    r"(?<![\w.>])(?:::)?(tcgetattr|tcsetattr|tcflush|tcdrain|cfsetispeed|cfsetospeed|cfmakeraw|ioctl|fcntl|"
    r"flock|pipe2?|poll|isatty|ttyname|openpty|realpath|readlink|opendir|readdir|closedir|lstat|usleep|"
    r"nanosleep|pthread_\w+|dlopen|dlsym)\s*\(")
# Short names that are also method names here: only the global-qualified call is the OS one.
POSIX_QUALIFIED = re.compile(r"(?<![\w])::(open|close|read|write|stat)\s*\(")
WIN_HEADERS = re.compile(
    r"#\s*include\s*<(windows\.h|winsock2?\.h|ws2tcpip\.h|setupapi\.h|devguid\.h|winreg\.h|cfgmgr32\.h|"
    r"initguid\.h|winerror\.h|io\.h|tchar\.h)>", re.IGNORECASE)
WIN_CALLS = re.compile(
    r"(?<![\w.>])(?:::)?(Create(File|Event|Mutex|Thread)\w*|ReadFile|WriteFile|CloseHandle|WaitFor\w+|"
    r"(Get|Set)Comm\w+|ClearCommError|PurgeComm|SetupComm|CancelIo\w*|GetOverlappedResult|GetLastError|"
    r"FormatMessage\w*|LocalFree|SetEvent|ResetEvent|WSA\w+|closesocket|ioctlsocket|SetupDi\w+|Reg\w+|"
    r"QueryDosDevice\w*)\s*\(")
WIN_TYPES = re.compile(r"\b(HANDLE|DWORD|HKEY|SOCKET|OVERLAPPED|COMMTIMEOUTS|HDEVINFO|LPSTR|LPWSTR|BOOL)\b")

COMPILER_SPECIFIC = [
    (re.compile(r"__attribute__"), "__attribute__ (use a standard attribute)"),
    (re.compile(r"__builtin_\w+"), "compiler builtin"),
    (re.compile(r"(?<![\w])ssize_t\b"), "ssize_t is POSIX (std::ptrdiff_t is portable)"),
    (re.compile(r"\balloca\s*\("), "alloca"),
    (re.compile(r"#\s*pragma\s+GCC"), "GCC pragma"),
    (re.compile(r"\b__typeof__\b|\btypeof\s*\("), "typeof"),
]

CONDITION_WIN = re.compile(r"^#\s*(ifdef\s+_WIN32\b|if\s+defined\s*\(?\s*_WIN32\s*\)?\s*$)")
CONDITION_POSIX = re.compile(r"^#\s*(ifndef\s+_WIN32\b|if\s+!\s*defined\s*\(?\s*_WIN32\s*\)?\s*$)")


def strip_comments_and_strings(text: str) -> list[str]:
    """The file's lines with comments and string literals blanked, line numbers kept."""
    out = []
    in_block = False
    for line in text.splitlines():
        result = []
        i = 0
        while i < len(line):
            if in_block:
                end = line.find("*/", i)
                if end < 0:
                    i = len(line)
                else:
                    in_block = False
                    i = end + 2
                continue
            if line.startswith("//", i):
                break
            if line.startswith("/*", i):
                in_block = True
                i += 2
                continue
            c = line[i]
            if c in "\"'" and not line.lstrip().startswith("#"):
                j = i + 1
                while j < len(line) and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                result.append(c + c)
                i = j + 1
                continue
            result.append(c)
            i += 1
        out.append("".join(result))
    return out


def platform_of_lines(lines: list[str]) -> list[str | None]:
    """For each line, 'win', 'posix' or None: the platform its enclosing #if blocks select."""
    stack: list[str | None] = []
    result = []
    for line in lines:
        stripped = line.strip()
        if stripped.startswith("#"):
            directive = re.sub(r"^#\s*", "#", stripped)
            if CONDITION_WIN.match(directive):
                stack.append("win")
            elif CONDITION_POSIX.match(directive):
                stack.append("posix")
            elif directive.startswith(("#if", "#ifdef", "#ifndef")):
                stack.append(None)
            elif directive.startswith("#elif"):
                if stack:
                    stack[-1] = None
            elif directive.startswith("#else"):
                if stack and stack[-1] is not None:
                    stack[-1] = "posix" if stack[-1] == "win" else "win"
            elif directive.startswith("#endif"):
                if stack:
                    stack.pop()
        current = next((p for p in reversed(stack) if p is not None), None)
        result.append(current)
    return result


def file_kind(rel: str) -> str:
    if any(re.search(p, rel) for p in POSIX_FILES):
        return "posix"
    if any(re.search(p, rel) for p in WINDOWS_FILES):
        return "win"
    if rel in PLATFORM_SECTIONS:
        return "sections"
    return "shared"


def check_file(path: Path) -> list[str]:
    rel = path.relative_to(ROOT).as_posix()
    raw = path.read_text(encoding="utf-8", errors="replace")
    lines = strip_comments_and_strings(raw)
    kind = file_kind(rel)
    platforms = platform_of_lines(lines)
    problems = []

    def allowed(platform: str, line_platform: str | None) -> bool:
        if kind in ("posix", "win"):
            return kind == platform and line_platform in (None, platform)
        if kind == "sections":
            return line_platform == platform
        return False

    for number, (line, line_platform) in enumerate(zip(lines, platforms), start=1):
        where = f"{rel}:{number}"
        for pattern, platform, what in (
            (POSIX_HEADERS, "posix", "POSIX header"),
            (POSIX_CALLS, "posix", "POSIX call"),
            (POSIX_QUALIFIED, "posix", "POSIX call"),
            (WIN_HEADERS, "win", "Win32 header"),
            (WIN_CALLS, "win", "Win32 call"),
            (WIN_TYPES, "win", "Win32 type"),
        ):
            for match in pattern.finditer(line):
                if not allowed(platform, line_platform):
                    problems.append(f"{where}: {what} {match.group(0).strip()!r} outside "
                                    f"{'POSIX' if platform == 'posix' else 'Windows'} code")
        for pattern, reason in COMPILER_SPECIFIC:
            if kind == "posix" and "ssize_t" in reason:
                continue  # POSIX calls return it
            for match in pattern.finditer(line):
                problems.append(f"{where}: {reason}: {match.group(0)!r}")
    return problems


def main(argv: list[str]) -> int:
    global ROOT
    if argv[:1] == ["--root"]:  # another tree laid out like this one
        ROOT = Path(argv[1]).resolve()
        argv = argv[2:]
    files = [Path(a).resolve() for a in argv] if argv else sorted(
        p for d in SOURCE_DIRS if (ROOT / d).is_dir() for p in (ROOT / d).rglob("*") if p.suffix in SUFFIXES)
    problems = [p for f in files for p in check_file(f)]
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} portability problem(s) in {len(files)} files")
        return 1
    print(f"portability check passed ({len(files)} C++ files)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
