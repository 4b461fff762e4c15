"""Smoke test of an installed pyveltosdk wheel, run in a fresh environment (a virtual environment
made by tools/build_wheels.sh on Linux, a copy of the interpreter by tools/windows.sh wheel under
Wine), from a folder outside the source tree, as `python -I wheel_smoke.py`.

Checks that the extension, the simulated engine and velto_sim come from the environment's
site-packages, that velto_sim steers the very library instance the extension loaded (one copy
mapped, one shared journal), that frames edited in a callback come back edited, and that the
type stubs are installed. Exits non-zero with a message on the first failure.
"""
import os
import sys
import sysconfig
import threading

# The smoke test drives every frame itself: the simulated engine's live call stays off.
os.environ["VELTO_SIM_LIVE"] = "0"

LIBRARY = "velto_rtc_sdk.dll" if sys.platform == "win32" else "libvelto_rtc_sdk.so"


def fail(message):
    sys.exit("wheel smoke test FAILED: " + message)


def check(condition, message):
    if not condition:
        fail(message)


def loaded_files():
    """Paths of every file mapped into this process."""
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        kernel32.K32EnumProcessModules.argtypes = [
            wintypes.HANDLE, ctypes.POINTER(wintypes.HMODULE), wintypes.DWORD,
            ctypes.POINTER(wintypes.DWORD)]
        kernel32.GetModuleFileNameW.argtypes = [wintypes.HMODULE, wintypes.LPWSTR, wintypes.DWORD]
        modules = (wintypes.HMODULE * 4096)()
        needed = wintypes.DWORD()
        if not kernel32.K32EnumProcessModules(kernel32.GetCurrentProcess(), modules,
                                              ctypes.sizeof(modules), ctypes.byref(needed)):
            fail("EnumProcessModules failed: %d" % ctypes.get_last_error())
        name = ctypes.create_unicode_buffer(32768)
        for module in modules[:needed.value // ctypes.sizeof(wintypes.HMODULE)]:
            if kernel32.GetModuleFileNameW(module, name, len(name)):
                yield name.value
        return
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6:
                yield fields[5].strip()


def mapped_engine_libraries():
    """Paths of every mapped file whose name starts like the engine library's."""
    stem = os.path.splitext(LIBRARY)[0]
    return {os.path.normcase(os.path.realpath(path)) for path in loaded_files()
            if os.path.basename(path).lower().startswith(stem)}


def main():
    site = os.path.normcase(os.path.realpath(sysconfig.get_paths()["platlib"]))
    purelib = os.path.normcase(os.path.realpath(sysconfig.get_paths()["purelib"]))

    import _pyveltosdk as sdk  # noqa: E402 (imports are part of what is tested)

    check(os.path.dirname(os.path.normcase(os.path.realpath(sdk.__file__))) == site,
          "_pyveltosdk imported from %s, not from %s" % (sdk.__file__, site))
    engines = mapped_engine_libraries()
    check(engines == {os.path.join(site, LIBRARY)},
          "the extension mapped %s, expected only %s" % (sorted(engines), LIBRARY))

    import velto_sim as sim  # noqa: E402

    # A package: its folder sits in site-packages.
    package_folder = os.path.dirname(os.path.normcase(os.path.realpath(sim.__file__)))
    check(os.path.dirname(package_folder) in (site, purelib),
          "velto_sim imported from %s" % sim.__file__)
    # velto_sim must have found the already loaded library, not mapped a second copy.
    after = mapped_engine_libraries()
    check(after == engines, "importing velto_sim mapped another engine library: %s" % sorted(after))

    version = sdk.getVersion()
    check(isinstance(version, bytes) and version, "getVersion() gave %r" % (version,))
    check(version == sim.VERSION, "getVersion() %r differs from velto_sim's %r"
          % (version, sim.VERSION))

    sdk.initialize("{}")
    sim.reset()
    result = sdk.joinChannel("", "smoke", 7)
    check(result == 0, "joinChannel gave %r" % (result,))
    # The journal velto_sim reads is the one the extension's calls were written to.
    joined = sim.calls("joinChannel")
    check(joined == [{"key": "", "channel": "smoke", "info": "", "uid": 7}],
          "velto_sim saw joinChannel calls %r" % (joined,))

    seen = []

    def reverse_audio(stream_type, uid, samples, channels, rate, data):
        seen.append((threading.get_ident(), stream_type, samples, channels, rate, data))
        return (data[::-1],)

    sdk.registerAudioObserver(reverse_audio)
    answer, after = sim.deliver_audio(sdk.StreamAudioRecord, b"\x01\x02\x03\x04", samples=2,
                                      samples_per_sec=16000)
    check(answer == 1 and after == b"\x04\x03\x02\x01",
          "audio edit did not come back: answer %r, buffer %r" % (answer, after))
    check(len(seen) == 1 and seen[0][1:] == (sdk.StreamAudioRecord, 2, 1, 16000,
                                             b"\x01\x02\x03\x04"),
          "audio callback saw %r" % (seen,))
    check(seen[0][0] != threading.get_ident(), "audio callback ran on the calling thread")

    def edit_video(stream_type, uid, width, height, y, u, v):
        return (y.upper(), None, b"\x09" * len(v))

    sdk.registerVideoObserver(edit_video)
    answer, planes = sim.deliver_video(sdk.StreamVideoCap, 4, 2, b"abcdefgh", b"uu", b"vv")
    check(answer == 1 and planes == (b"ABCDEFGH", b"uu", b"\x09\x09"),
          "video edit did not come back: answer %r, planes %r" % (answer, planes))

    sdk.leaveChannel()
    sdk.terminate()
    check(sim.counts()["alive"] == 0, "engine still alive after terminate: %r" % sim.counts())

    stubs = os.path.join(purelib, "_pyveltosdk-stubs")
    if not os.path.isdir(stubs):
        stubs = os.path.join(site, "_pyveltosdk-stubs")
    for name in ("__init__.pyi", "py.typed"):
        check(os.path.isfile(os.path.join(stubs, name)), "%s missing from %s" % (name, stubs))

    print("wheel smoke test passed: CPython %s, engine %s, library %s"
          % (sys.version.split()[0], version.decode(), sorted(engines)[0]))


if __name__ == "__main__":
    main()
