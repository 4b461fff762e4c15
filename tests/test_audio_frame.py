"""The velto.AudioFrame type, readied at import but bound to no module attribute."""
import pytest

import _pyveltosdk  # noqa: F401  (readies the type)

AudioFrame = next(t for t in object.__subclasses__() if t.__name__ == "AudioFrame")
INT_FIELDS = ["type", "samples", "bytesPerSample", "channels", "samplesPerSec", "renderTimeMs"]


def test_type_identity_and_a_new_frame_is_zero():
    assert AudioFrame.__module__ == "velto" and AudioFrame.__qualname__ == "AudioFrame"
    assert AudioFrame.__doc__ == "Velto Audio Frame"
    frame = AudioFrame(1, 2, x=3)  # no initialiser: arguments are ignored
    assert [getattr(frame, f) for f in INT_FIELDS] == [0] * 6
    assert frame.buffer == b""
    assert AudioFrame.channels.__doc__ == "channels"


def test_buffer_reads_the_product_of_the_fields_and_never_past_what_it_holds():
    frame = AudioFrame()
    frame.samples, frame.bytesPerSample, frame.channels = 480, 2, 2
    assert frame.buffer == b""  # nothing held yet
    frame.buffer = "x" * 2000
    assert frame.buffer == b"x" * 1920
    frame.buffer = "short"
    assert frame.buffer == b"short"
    frame.buffer = "é"  # stored as its UTF-8 form
    assert frame.buffer == "é".encode()
    frame.samples = -1
    with pytest.raises(SystemError):
        frame.buffer


def test_rejected_buffer_keeps_the_old_one():
    frame = AudioFrame()
    frame.samples, frame.bytesPerSample, frame.channels = 4, 1, 1
    frame.buffer = "abcd"
    for bad, error in [(b"ab", TypeError), ("a\0b", ValueError), (None, TypeError)]:
        with pytest.raises(error):
            frame.buffer = bad
        assert frame.buffer == b"abcd"


@pytest.mark.parametrize("field", INT_FIELDS)
def test_integer_fields_store_32_bit_values_and_refuse_others(field):
    frame = AudioFrame()
    setattr(frame, field, -5)
    assert getattr(frame, field) == -5
    setattr(frame, field, 2**31 - 1)
    for bad, error in [(2**31, OverflowError), (-(2**31) - 1, OverflowError),
                       (1.5, TypeError), ("3", TypeError)]:
        with pytest.raises(error):
            setattr(frame, field, bad)
        assert getattr(frame, field) == 2**31 - 1


@pytest.mark.parametrize("field", INT_FIELDS + ["buffer"])
def test_attributes_cannot_be_deleted(field):
    frame = AudioFrame()
    frame.channels = 2
    with pytest.raises(TypeError, match="^Cannot delete the last attribute$"):
        delattr(frame, field)
    assert frame.channels == 2


def test_type_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (AudioFrame,), {})


def test_many_frames_with_buffers_do_not_leak():
    import sys
    import gc

    def churn(n):
        for _ in range(n):
            frame = AudioFrame()
            frame.buffer = "x" * 64
            frame.buffer = "y" * 64

    churn(1000)
    gc.collect()
    before = sys.getallocatedblocks()
    churn(20000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 100
