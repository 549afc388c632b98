"""The Windows step's boot of its Wine prefix (scripts/windows.sh), run with a
stand-in loader and wineserver that record what they are asked."""

import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Each call to the loader takes the next outcome: ok, fail (the loader's error
# and exit 53) or bare (success that leaves no system DLLs).
LOADER = """#!/bin/bash
n=$(($(cat "$STATE/boots" 2>/dev/null || echo 0) + 1)); echo $n >"$STATE/boots"
echo "$WINEARCH $WINELOADER $*" >>"$STATE/calls"
case $(cut -d' ' -f$n <<<"$OUTCOMES") in
    fail) touch "$WINEPREFIX/failed"; echo 'wine: could not load kernel32.dll, status c0000135'; exit 53 ;;
    ok) mkdir -p "$WINEPREFIX/drive_c/windows/system32"; touch "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ;;
esac
touch "$WINEPREFIX/system.reg"
"""
WINESERVER = '#!/bin/bash\necho "wineserver $* $(ls "$WINEPREFIX" | tr "\\n" " ")" >>"$STATE/calls"\n'


def boot(tmp_path, outcomes):
    for name, text in (("wine64", LOADER), ("wineserver", WINESERVER)):
        (tmp_path / name).write_text(text)
        (tmp_path / name).chmod(0o755)
    (tmp_path / "prefix").mkdir()
    (tmp_path / "prefix" / "stale").touch()
    script = (
        f"ROOT={tmp_path}; source {ROOT}/scripts/windows.sh; WIN_LOADER={tmp_path}/wine64; PATH={tmp_path}:$PATH\n"
        f'boot_wine_prefix {tmp_path}/prefix {tmp_path}/boot.log; echo "rc=$? attempts=$WINE_BOOT_ATTEMPTS"'
    )
    env = {"PATH": "/usr/bin:/bin", "STATE": str(tmp_path), "OUTCOMES": outcomes}
    result = subprocess.run(["bash", "-c", script], capture_output=True, text=True, env=env, check=True)
    return result, (tmp_path / "calls").read_text().splitlines()


def test_a_failed_first_boot_is_shown_kept_and_tried_again(tmp_path):
    result, calls = boot(tmp_path, "fail ok")
    assert result.stdout == "rc=0 attempts=2\n"
    # A prefix's wineserver is waited for before the prefix is removed; a failed boot's is killed.
    assert calls[0] == "wineserver -w stale "
    assert calls[1] == calls[5] == f"win64 {tmp_path}/wine64 wineboot --init"
    assert calls[2:5] == ["wineserver -k failed ", "wineserver -w failed ", "wineserver -w failed "]
    assert calls[6:] == ["wineserver -w drive_c system.reg "]
    assert (
        "    wine: could not load kernel32.dll, status c0000135\n    wineboot --init exited with 53\n" in result.stderr
    )
    assert "booting it once more" in result.stderr
    assert "exited with 53" in (tmp_path / "boot.log.first").read_text()
    assert (tmp_path / "boot.log").read_text().startswith("(second boot: the first failed")
    assert sorted(p.name for p in (tmp_path / "prefix").iterdir()) == [".orv-booted", "drive_c", "system.reg"]


def test_a_boot_without_system_dlls_fails_and_two_failures_give_up(tmp_path):
    result, calls = boot(tmp_path, "bare fail")
    assert result.stdout == "rc=1 attempts=2\n"
    assert "the prefix lacks its registry or its system DLLs after wineboot" in result.stderr
    assert "the second boot failed too" in result.stderr
    assert not (tmp_path / "prefix" / ".orv-booted").exists()
    assert len([c for c in calls if "wineboot" in c]) == 2
