"""Calls between processes, from the receiving side and the folder: where members meet, who may
use the folder, stale names of dead processes, and messages that are malformed, truncated,
oversized or foreign. These run in this process with the live call on; a socket of the test
itself plays a member of the channel, speaking the engine's message layout."""
import itertools
import os
import socket
import stat
import struct
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _pyveltosdk as sdk
import velto_sim as sim

MAGIC, VERSION = 0x4D495356, 2
HELLO, BYE, AUDIO, VIDEO = 1, 2, 3, 4
HEADER = struct.Struct("<IBBHIIQ")
FIELDS = struct.Struct("<iiII")  # video: width, height, offset, length
PIECE = 64 * 1024
LARGEST = HEADER.size + FIELDS.size + PIECE


def channel_key(channel):
    value = 14695981039346656037
    for byte in channel.encode():
        value = ((value ^ byte) * 1099511628211) % 2 ** 64
    return "%016x" % value


def member_path(folder, channel, uid):
    return os.path.join(folder, "c%s-%d.sock" % (channel_key(channel), uid))


def hello(uid, channel, pid=4242):
    name = channel.encode()
    return HEADER.pack(MAGIC, VERSION, HELLO, 0, uid, 0, 0) + struct.pack("<II", pid,
                                                                          len(name)) + name


def video_pieces(uid, sequence, width, height, planes):
    whole = b"".join(planes)
    return [HEADER.pack(MAGIC, VERSION, VIDEO, 0, uid, sequence, 0) +
            FIELDS.pack(width, height, offset, len(whole[offset:offset + PIECE])) +
            whole[offset:offset + PIECE] for offset in range(0, len(whole), PIECE)]


def frame_planes(width, height, number):
    y = bytes((number + i) % 251 for i in range(width * height))
    return [y, bytes([number % 256]) * (width * height // 4), b"\x80" * (width * height // 4)]


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out")


@pytest.fixture
def live_member(network_folder):
    """This process in channel "room" as uid 5, with video on and no simulated users; yields
    the frames its render callback saw, as (uid, width, height, y, u, v)."""
    rendered = []

    def video(kind, uid, width, height, y, u, v):
        if kind == sdk.StreamVideoRender:
            rendered.append((uid, width, height, y, u, v))
        return (None, None, None)

    sdk.terminate()
    sim.reset()
    sim.set_live(True)
    sdk.initialize('{"sim": {"users": [], "stats": {"intervalMs": 0}}}')
    sdk.registerVideoObserver(video)
    sdk.enableVideo(True)
    assert sdk.joinChannel("", "room", 5) == 0
    yield rendered
    sdk.leaveChannel()
    sdk.terminate()
    sim.set_live(None)


NAMES = []


@pytest.fixture(autouse=True)
def member_names():
    """The member names the test holds, given up after it."""
    yield NAMES
    while NAMES:
        NAMES.pop().close()


TEMPORARY = itertools.count()


def listening_name(path):
    """A listening socket whose name appears at `path` only once it listens, as a member's
    does (a name that refuses connections is stale and may be removed by a join)."""
    name = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    temporary = os.path.join(os.path.dirname(path), "t-test-%d.sock" % next(TEMPORARY))
    name.bind(temporary)
    name.listen(16)
    os.link(temporary, path)
    os.unlink(temporary)
    return name


def claim(folder, uid, channel="room"):
    """Holds uid's name in the folder, as a member's process does: only a member whose name is
    there may greet as its uid."""
    NAMES.append(listening_name(member_path(folder, channel, uid)))
    return NAMES[-1]


def connect(folder, uid=9, channel="room"):
    """A member socket of the test's, greeted by the engine's member."""
    claim(folder, uid)
    member = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    member.connect(member_path(folder, "room", 5))
    member.send(hello(uid, channel))
    wait_for(lambda: uid in sim.network()["members"])
    return member


def test_member_folder_and_socket_are_private(network_folder):
    folder = os.path.join(network_folder, "made-here")
    sim.set_live(True)
    try:
        sdk.initialize('{"sim": {"users": [], "network": {"dir": "%s"}}}' % folder)
        assert sdk.joinChannel("", "room", 5) == 0
        assert sim.network()["dir"] == folder and sim.network()["uid"] == 5
        assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700
        assert stat.S_IMODE(os.stat(member_path(folder, "room", 5)).st_mode) == 0o600
        sdk.leaveChannel()
        assert not os.path.exists(member_path(folder, "room", 5))
    finally:
        sdk.terminate()
        sim.set_live(None)


@pytest.mark.parametrize("problem", ["open to others", "not a folder", "a link", "another owner"])
def test_unsafe_folder_is_refused_and_the_call_stays_in_this_process(
        network_folder, capfd, problem):
    folder = os.path.join(network_folder, "meet")
    if problem == "open to others":
        os.mkdir(folder, 0o700)
        os.chmod(folder, 0o755)
        why = "open to other users (mode 0755, needs 0700)"
    elif problem == "not a folder":
        open(folder, "w").close()
        why = "not a folder"
    elif problem == "a link":
        os.mkdir(folder + "-real", 0o700)
        os.symlink(folder + "-real", folder)
        why = "not a folder"
    else:
        if os.geteuid() != 0:
            pytest.skip("only root can give a folder to another user")
        os.mkdir(folder, 0o700)
        os.chown(folder, 65534, 65534)
        why = "owned by uid 65534, not by this user"
    sim.set_live(True)
    try:
        sdk.initialize("{}")
        sdk.setParameters('{"sim.network.dir": "%s"}' % folder)
        capfd.readouterr()
        assert sdk.joinChannel("", "room", 5) == 0
        assert sim.network() is None and sim.settings()["inCall"]
        err = capfd.readouterr().err.splitlines()
        assert err == ["velto-sim: network: %s: %s; the call stays in this process"
                       % (folder, why)]
    finally:
        sdk.terminate()
        sim.set_live(None)


@pytest.mark.parametrize("environment,setting,expected", [
    ({"VELTO_SIM_NETWORK": "0"}, None, False),
    ({"VELTO_SIM_NETWORK": "off"}, True, True),   # the setting wins
    ({}, False, False),
    ({"VELTO_SIM_NETWORK": "1"}, None, True),
])
def test_network_switch_by_setting_or_environment(monkeypatch, environment, setting, expected):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    sim.set_live(True)
    try:
        sdk.initialize("{}")
        if setting is not None:
            sdk.setParameters('{"sim.network.enabled": %s}' % ("true" if setting else "false"))
        assert sdk.joinChannel("", "room", 5) == 0
        assert (sim.network() is not None) == expected
    finally:
        sdk.terminate()
        sim.set_live(None)


@pytest.mark.parametrize("variables,expected", [
    ({"XDG_RUNTIME_DIR": "{tmp}"}, "{tmp}/velto-sim"),
    ({"TMPDIR": "{tmp}"}, "{tmp}/velto-sim-{uid}"),
])
def test_default_folder(monkeypatch, network_folder, variables, expected):
    monkeypatch.delenv("VELTO_SIM_NETWORK_DIR")
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    for name, value in variables.items():
        monkeypatch.setenv(name, value.format(tmp=network_folder))
    sim.set_live(True)
    try:
        sdk.initialize("{}")
        assert sdk.joinChannel("", "room", 5) == 0
        folder = expected.format(tmp=network_folder, uid=os.geteuid())
        assert sim.network()["dir"] == folder
        assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700
    finally:
        sdk.terminate()
        sim.set_live(None)


@pytest.mark.parametrize("text,error", [
    ('{"sim.network.dir": "relative/path"}',
     'sim.network.dir: expected an absolute folder path or null, got "relative/path"'),
    ('{"sim.network": {"enabled": 1}}', "sim.network.enabled: expected true or false, got 1"),
])
def test_malformed_network_settings_are_refused(engine, capfd, text, error):
    before = sim.settings()["settings"]["network"]
    sdk.setParameters(text)
    assert capfd.readouterr().err.splitlines() == [
        "velto-sim: EngineParameters.setParameters: " + error]
    assert sim.settings()["settings"]["network"] == before == {"enabled": None, "dir": None}


def test_stale_names_of_dead_processes_are_cleaned(network_folder):
    def stale(path):
        dead = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        dead.bind(path)
        dead.close()  # the name stays, nobody listens: what a killed process leaves
    mine = member_path(network_folder, "room", 5)
    other_channel = member_path(network_folder, "elsewhere", 77)
    stale(mine)
    stale(other_channel)
    sim.set_live(True)
    try:
        sdk.initialize('{"sim": {"users": []}}')
        assert sdk.joinChannel("", "room", 5) == 0  # the dead holder of uid 5 is no clash
        assert sim.network()["uid"] == 5
        # Other channels' names go in the background, once the join lock is taken.
        wait_for(lambda: not os.path.exists(other_channel))
        assert os.path.exists(mine)
        # Our name is ours now: a member can connect to it.
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        probe.connect(mine)
        probe.close()
    finally:
        sdk.terminate()
        sim.set_live(None)


def test_member_of_another_channel_with_the_same_name_hash_is_refused(live_member,
                                                                      network_folder):
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as intruder:
        intruder.connect(member_path(network_folder, "room", 5))
        intruder.send(hello(9, "not the room"))
        wait_for(lambda: sim.network()["refused"] == 1)
        assert sim.network()["members"] == []
        intruder.settimeout(5)
        while intruder.recv(LARGEST):  # hung up on, after our hello and perhaps media
            pass


# Messages that must be refused, each built from a valid video piece of uid 9 (64x64, one piece).
def broken(kind, planes):
    valid = video_pieces(9, 1, 64, 64, planes)[0]
    head = bytearray(valid)
    if kind == "magic":
        head[0] ^= 0xFF
    elif kind == "version":
        head[4] = 1  # the version before payloads moved to shared memory
    elif kind == "unknown kind":
        head[5] = 9
    elif kind == "reserved":
        head[6] = 1
    elif kind == "another uid":
        head[8] = 10
    elif kind == "odd width":
        head[HEADER.size] = 63
    elif kind == "huge height":
        head[HEADER.size + 4:HEADER.size + 8] = struct.pack("<i", 100000)
    elif kind == "past the end":
        head[HEADER.size + 8:HEADER.size + 12] = struct.pack("<I", 64 * 64 * 3 // 2)
    elif kind == "truncated":
        return bytes(head[:-1])
    elif kind == "header only":
        return bytes(head[:HEADER.size])
    elif kind == "oversized":
        return bytes(head) + b"\x00" * (LARGEST + 100 - len(head))
    elif kind == "second hello":
        return hello(9, "room")
    elif kind == "audio of the wrong length":
        return (HEADER.pack(MAGIC, VERSION, AUDIO, 0, 9, 1, 0) +
                struct.pack("<iiii", 48000, 1, 480, 0) + b"\x00" * 958)
    elif kind == "bye with a body":
        return HEADER.pack(MAGIC, VERSION, BYE, 0, 9, 0, 0) + b"x"
    return bytes(head)


BROKEN_KINDS = ["magic", "version", "unknown kind", "reserved", "another uid", "odd width",
                "huge height", "past the end", "truncated", "header only", "oversized",
                "second hello", "audio of the wrong length", "bye with a body"]


@pytest.fixture
def member(live_member, network_folder):
    """A member of the test's (uid 9) greeted in the channel, and a frame counter."""
    connection = connect(network_folder)
    yield connection, itertools.count(1)
    connection.close()


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(garbage=st.lists(st.one_of(st.sampled_from(BROKEN_KINDS),
                                  st.binary(min_size=0, max_size=200)), max_size=6),
       split=st.integers(min_value=0, max_value=6))
def test_fuzzed_messages_are_refused_and_never_touch_a_frame(live_member, member, garbage,
                                                            split):
    """A member sends whole frames with broken or random messages between them, and between
    the pieces of a frame: each broken one is counted and dropped, every frame the program
    sees is exactly one that was sent, and the member stays in the channel."""
    connection, numbers = member
    number = next(numbers)
    # A frame of two pieces (128x384: 73,728 bytes), broken messages between its pieces.
    planes = frame_planes(128, 384, number)
    pieces = video_pieces(9, number, 128, 384, planes)
    messages = [broken(g, planes) if isinstance(g, str) else g for g in garbage]
    refused = sim.network()["refused"]
    for message in messages[:split] + [pieces[0]] + messages[split:] + [pieces[1]]:
        connection.send(message)
    wait_for(lambda: any(f[3] == planes[0] for f in live_member))
    for uid, width, height, y, u, v in live_member:
        assert uid == 9 and (width, height) == (128, 384)
        assert [y, u, v] in [frame_planes(128, 384, n) for n in range(1, number + 1)]
    # One link is read in order: all the messages were read before the frame's last piece.
    assert sim.network()["refused"] - refused == len(messages)
    assert sim.network()["members"] == [9]
    del live_member[:]


def test_member_that_says_bye_quits_and_one_that_vanishes_is_dropped(live_member,
                                                                     network_folder):
    quitter = connect(network_folder, uid=9)
    vanisher = connect(network_folder, uid=10)
    quitter.send(HEADER.pack(MAGIC, VERSION, BYE, 0, 9, 0, 0))
    vanisher.close()

    def offline():
        return sorted((e["uid"], e["arg"]) for e in sim.calls("live")
                      if e["event"] == "onRemoteUserOffline")
    wait_for(lambda: len(offline()) == 2)
    assert offline() == [(9, 0), (10, 1)]
    assert sim.network()["members"] == []
    quitter.close()
