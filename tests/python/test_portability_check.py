"""scripts/check_portability.py: platform code stays in its platform's files and blocks."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "check_portability.py"


def check(tree):
    run = subprocess.run([sys.executable, str(SCRIPT), "--root", str(tree)], capture_output=True, text=True)
    return run.returncode, run.stdout


def lay_out(tmp_path, files):
    for rel, text in files.items():
        path = tmp_path / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return tmp_path


def test_this_tree_is_portable():
    code, out = check(ROOT)
    assert code == 0, out


@pytest.mark.parametrize("rel, text, offence", [
    ("core/src/codec/frame.cpp", "#include <unistd.h>\n", "POSIX header"),
    ("core/src/codec/frame.cpp", "int f() { return ::isatty(0); }\n", "POSIX call"),
    ("core/src/serial/pipe_port.cpp", "void f(int fd) { ::close(fd); }\n", "POSIX call"),
    ("binding/brix/x.cpp", "#include <windows.h>\n", "Win32 header"),
    ("binding/brix/x.cpp", "void f(void* h) { CloseHandle(h); }\n", "Win32 call"),
    ("core/src/serial/posix_tty.cpp", "#ifndef _WIN32\nDWORD d;\n#endif\n", "Win32 type"),
    ("core/src/serial/win_com_port.cpp", "#ifdef _WIN32\nint f() { return ::poll(0, 0, 0); }\n#endif\n",
     "POSIX call"),
    # A file with one section per platform: each call only in its own section.
    ("core/src/serial/tcp_port.cpp", "#ifdef _WIN32\nint f(int fd) { return ::fcntl(fd, 0); }\n#endif\n",
     "POSIX call"),
    ("core/src/serial/tcp_port.cpp", "#ifndef _WIN32\n#else\n#endif\nint e() { return WSAGetLastError(); }\n",
     "Win32 call"),
    ("core/src/codec/text.cpp", "int __attribute__((unused)) x;\n", "__attribute__"),
    ("core/src/codec/text.cpp", "ssize_t n = 0;\n", "ssize_t"),
])
def test_offences_are_reported_with_their_place(tmp_path, rel, text, offence):
    code, out = check(lay_out(tmp_path, {rel: text}))
    assert code == 1
    assert offence in out and rel in out, out


def test_platform_code_where_it_belongs_passes(tmp_path):
    tree = lay_out(tmp_path, {
        "core/src/serial/posix_tty.cpp": "#ifndef _WIN32\n#include <termios.h>\nssize_t r = ::read(0, 0, 0);\n#endif\n",
        "core/src/serial/win_com_port.cpp": "#ifdef _WIN32\n#include <windows.h>\nDWORD e = GetLastError();\n#endif\n",
        "core/src/serial/tcp_port.cpp": ("#ifdef _WIN32\n#include <winsock2.h>\nint e() { return WSAGetLastError(); }\n"
                                         "#else\n#include <unistd.h>\nvoid c(int fd) { ::close(fd); }\n#endif\n"),
        # Methods of the same names, comments and strings are not OS calls.
        "core/src/serial/port.cpp": ('void f(Port& p, Port* q) { p.read(0); q->close(); }\n'
                                     '// ::close(fd) and CloseHandle(h) in a comment\n'
                                     'const char* s = "ioctl(";\n'),
        "binding/runtime/x.cpp": "Py_ssize_t n = 0;\n",
    })
    code, out = check(tree)
    assert code == 0, out
