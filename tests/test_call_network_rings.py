"""Calls between processes through shared memory: frames cross in the sender's ring unchanged,
also when a larger frame makes the sender pass a new ring; and what a member passes as a ring or
names as a slot is checked before one byte is read. A socket of the test plays the member,
passing memfds as the engine's members do (test_call_network_input has the message layout)."""
import array
import json
import mmap
import os
import socket
import struct
import subprocess
import sys

if sys.platform != "win32":  # the file's tests are skipped there
    import fcntl

import pytest

import velto_sim as sim
from test_call_network_input import (HEADER, MAGIC, VERSION, connect, frame_planes, live_member,
                                     member_path, wait_for)

RING, AUDIO_SLOT, VIDEO_SLOT, RELEASED = 5, 6, 7, 8
AUDIO, VIDEO = 1, 2
RING_FIELDS = struct.Struct("<IIQ")  # stream, slots, slot bytes
SLOT_FIELDS = struct.Struct("<iiII")  # video: width, height, slot, length; audio: rate, ch, n, slot
CONTROL = 64 * 1024  # the ring's control area: `waiting`, then one busy word per slot
F_ADD_SEALS, SEALED = 1033, 1 | 2 | 4  # seal, shrink, grow


def memfd(size, seal=True):
    fd = os.memfd_create("test-ring", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
    os.ftruncate(fd, size)
    if seal:
        fcntl.fcntl(fd, F_ADD_SEALS, SEALED)
    return fd


def pass_ring(link, stream, slots, slot_bytes, fds, uid=9):
    message = HEADER.pack(MAGIC, VERSION, RING, 0, uid, 0, 0) + RING_FIELDS.pack(stream, slots,
                                                                               slot_bytes)
    rights = [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", fds))] if fds else []
    link.sendmsg([message], rights)


def video_slot(sequence, width, height, slot, length=None):
    length = width * height * 3 // 2 if length is None else length
    return (HEADER.pack(MAGIC, VERSION, VIDEO_SLOT, 0, 9, sequence, 0) +
            SLOT_FIELDS.pack(width, height, slot, length))


def audio_slot(slot):
    return HEADER.pack(MAGIC, VERSION, AUDIO_SLOT, 0, 9, 1, 0) + SLOT_FIELDS.pack(48000, 1, 480,
                                                                                 slot)


class Ring:
    """A video ring of the test's: 3 slots of 5 pages, mapped here as the member's."""
    SLOTS, SLOT_BYTES = 3, 5 * 4096

    def __init__(self, link):
        fd = memfd(CONTROL + self.SLOTS * self.SLOT_BYTES)
        self.map = mmap.mmap(fd, CONTROL + self.SLOTS * self.SLOT_BYTES)
        pass_ring(link, VIDEO, self.SLOTS, self.SLOT_BYTES, [fd])
        os.close(fd)

    def put(self, slot, planes):
        whole = b"".join(planes)
        start = CONTROL + slot * self.SLOT_BYTES
        self.map[start:start + len(whole)] = whole
        struct.pack_into("<I", self.map, 4 + 4 * slot, 1)

    def word(self, index):  # 0: waiting, 1 + slot: busy
        return struct.unpack_from("<I", self.map, 4 * index)[0]


@pytest.fixture
def link(live_member, network_folder):
    connection = connect(network_folder)
    yield connection
    connection.close()


def rendered(live_member, link, message):
    """The frames rendered once `message` is: sent again until one is, since the program sees
    a member's frames only once it heard of its joining."""
    def arrived():
        if not live_member:
            link.send(message)
        return live_member
    wait_for(arrived)
    return set(live_member)


def read_kinds(link, kind):
    """The fields of the messages of `kind` the member receives until one comes (it also
    receives the engine's own hello and media, which are passed over)."""
    link.settimeout(5)
    while True:
        message = link.recv(1 << 17)
        if message[5] == kind:
            return message[HEADER.size:]


def test_a_frame_in_a_ring_is_rendered_exactly_and_its_slot_freed(live_member, link):
    ring = Ring(link)
    planes = frame_planes(128, 96, 3)
    ring.put(1, planes)
    struct.pack_into("<I", ring.map, 0, 1)  # the member waits for a free slot
    assert rendered(live_member, link, video_slot(3, 128, 96, 1)) == {(9, 128, 96, *planes)}
    # Copied out, the slot is free again and the waiting member hears so.
    assert read_kinds(link, RELEASED) == struct.pack("<II", VIDEO, 0)
    assert (ring.word(0), ring.word(2)) == (0, 0)
    assert sim.network()["ringsIn"] == 1 and sim.network()["refused"] == 0


@pytest.mark.parametrize("case", ["slot past the ring", "frame larger than a slot",
                                  "length not the frame's", "audio without a ring"])
def test_a_bad_slot_is_refused_and_the_next_frame_still_arrives(live_member, link, case):
    ring = Ring(link)
    message = {"slot past the ring": video_slot(1, 128, 96, 3),
               "frame larger than a slot": video_slot(1, 160, 128, 0),
               "length not the frame's": video_slot(1, 128, 96, 0, 128 * 96),
               "audio without a ring": audio_slot(0)}[case]
    link.send(message)
    planes = frame_planes(128, 96, 2)
    ring.put(0, planes)
    assert rendered(live_member, link, video_slot(2, 128, 96, 0)) == {(9, 128, 96, *planes)}
    assert sim.network()["refused"] == 1 and sim.network()["members"] == [9]


def offline_events():
    return [(e["uid"], e["arg"]) for e in sim.calls("live") if e["event"] == "onRemoteUserOffline"]


def bad_ring(link, case):
    """Passes what `case` names; returns the descriptors to close."""
    size = CONTROL + 3 * 8192
    if case in ("second audio ring", "smaller video ring"):
        stream, second = (AUDIO, 8192) if "audio" in case else (VIDEO, 4096)
        fds = [memfd(size), memfd(CONTROL + 3 * second)]
        pass_ring(link, stream, 3, 8192, fds[:1])
        pass_ring(link, stream, 3, second, fds[1:])
        return fds
    if case == "a descriptor with a slot":
        fds = [memfd(size)]
        link.sendmsg([video_slot(1, 64, 64, 0)],
                     [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", fds))])
        return fds
    fds = {"not sealed": lambda: [memfd(size, seal=False)],
           "another size": lambda: [memfd(size + 4096)],
           "over 64 MiB": lambda: [memfd(CONTROL + 64 * (2 << 20))],
           "a pipe": lambda: list(os.pipe()),
           "two descriptors": lambda: [memfd(size), memfd(size)],
           "no descriptor": lambda: []}[case]()
    slots, slot_bytes = (64, 2 << 20) if case == "over 64 MiB" else (3, 8192)
    pass_ring(link, VIDEO, slots, slot_bytes, fds[:1] if case == "a pipe" else fds)
    return fds


@pytest.mark.parametrize("case", ["not sealed", "another size", "over 64 MiB", "a pipe",
                                  "two descriptors", "a descriptor with a slot",
                                  "second audio ring", "smaller video ring", "no descriptor"])
def test_a_bad_ring_is_refused_and_its_member_dropped(live_member, link, case):
    for fd in bad_ring(link, case):
        os.close(fd)
    wait_for(lambda: sim.network()["refused"] == 1)
    if case == "no descriptor":
        # Only malformed: dropped as a message, like any other.
        assert offline_events() == [] and sim.network()["members"] == [9]
    else:
        wait_for(lambda: offline_events() == [(9, 1)])
        assert sim.network()["members"] == []
    rings = 1 if case in ("second audio ring", "smaller video ring") else 0
    assert sim.network()["ringsIn"] == rings


def test_a_ring_before_the_hello_is_hung_up_on(live_member, network_folder):
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as stranger:
        stranger.connect(member_path(network_folder, "room", 5))
        fd = memfd(CONTROL + 3 * 8192)
        pass_ring(stranger, VIDEO, 3, 8192, [fd])
        os.close(fd)
        wait_for(lambda: sim.network()["refused"] == 1)
        stranger.settimeout(5)
        while stranger.recv(1 << 17):  # hung up on, after the member's hello
            pass
        assert sim.network()["ringsIn"] == 0


# Each participant sends frames whose every byte follows from their number (written at the start
# of the luma plane), at one size and then, after 1.5 s, at a larger one, so that its rings for
# the other are made again; it checks every frame it renders byte for byte.
PEER = r"""
import json, os, struct, sys, time
import _pyveltosdk as sdk, velto_sim as sim

uid, seconds = int(sys.argv[1]), float(sys.argv[2])
sent = [0]
seen = {"frames": 0, "bad": 0, "sizes": []}

def planes(number, w, h):
    base = bytes(range(251)) * (w * h // 251 + 2)
    y = struct.pack("<I", number) + base[number % 251:][:w * h - 4]
    return y, bytes([number % 256]) * (w * h // 4), base[(number * 7) % 251:][:w * h // 4]

def video(t, uid, w, h, y, u, v):
    if t == sdk.StreamVideoCap:
        sent[0] += 1
        return planes(sent[0], w, h)
    if t == sdk.StreamVideoRender:
        seen["frames"] += 1
        seen["bad"] += (y, u, v) != planes(struct.unpack("<I", y[:4])[0], w, h)
        if [w, h] not in seen["sizes"]:
            seen["sizes"].append([w, h])
    return (None, None, None)

sdk.initialize(json.dumps({"sim": {"users": [], "stats": {"intervalMs": 0},
                                   "video": {"width": 160, "height": 120, "fps": 15}}}))
sdk.registerVideoObserver(video)
sdk.enableVideo(True)
print("JOINED", sdk.joinChannel("", "rings", uid), flush=True)
time.sleep(seconds / 2)
sdk.setParameters('{"sim.video.width": 320, "sim.video.height": 240}')
time.sleep(seconds / 2)
network = sim.network()
sdk.leaveChannel()
print("REPORT", json.dumps({"seen": seen, "network": network}), flush=True)
"""


def test_frames_cross_the_rings_unchanged_and_a_larger_frame_gets_a_larger_ring():
    env = dict(os.environ, VELTO_SIM_LIVE="1")
    procs = [subprocess.Popen([sys.executable, "-c", PEER, str(uid), "3"], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for uid in (21, 22)]
    reports = []
    for proc in procs:
        try:
            out, err = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise AssertionError("participant hung:\n" + "".join(proc.communicate()))
        assert proc.returncode == 0, out + err
        reports.append(json.loads(out.split("REPORT ", 1)[1]))
    for report in reports:
        seen, network = report["seen"], report["network"]
        assert seen["bad"] == 0 and seen["frames"] >= 10, seen
        assert seen["sizes"] == [[160, 120], [320, 240]]
        # Audio, video and the larger video ring, each way.
        assert (network["ringsIn"], network["ringsOut"], network["refused"]) == (3, 3, 0)
