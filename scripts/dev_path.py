"""Points the virtual environment at a build folder, so that `import ozu_mew` finds the fresh build."""
import pathlib
import sys
import sysconfig

target = pathlib.Path(sys.argv[1]).resolve()
site = pathlib.Path(sysconfig.get_paths()["purelib"])
pth = site / "ozu_dev_build.pth"
text = f"{target}\n"
if not pth.exists() or pth.read_text() != text:
    pth.write_text(text)
