"""Integer conversions at the edges of the platform's size type, with the limits written out
for each width rather than derived from the running interpreter, so a module whose size type
does not match the interpreter's pointer width (or that truncates ids somewhere) is caught.
The same file runs in the 64-bit lanes and in the 32-bit lane."""

import struct
import sys

import pytest

import pairloom

POINTER_BYTES = struct.calcsize("P")

# Per width: the largest value that converts, and how the next one up is refused.
LIMITS = {
    4: (4294967295, "out of range integral type conversion attempted"),
    8: (18446744073709551615, "int too big to convert"),
}
LARGEST, ABOVE_MESSAGE = LIMITS[POINTER_BYTES]


def built():
    tok = pairloom.BasicTokenizer()
    tok.build_vocab()
    return tok


def test_interpreter_is_a_plain_32_or_64_bit_build():
    assert POINTER_BYTES in LIMITS
    assert sys.maxsize == 2 ** (8 * POINTER_BYTES - 1) - 1


@pytest.mark.parametrize("value", [LARGEST, 2**32 - 1, 2**31])
def test_num_threads_up_to_the_largest_value_converts(value):
    if value > LARGEST:
        pytest.skip("beyond this platform's size type")
    pairloom.BasicTokenizer(num_threads=value)
    pairloom.BasicTokenizer(value)


@pytest.mark.parametrize("value", [LARGEST, 2**32 - 1, 2**32, 2**40 + 104])
def test_large_ids_reach_decode_without_truncation(value):
    # An id that converts must arrive unchanged: 2**40 + 104 truncated to 32 bits would be
    # 104 ('h'), which has an entry and would decode instead of failing.
    if value > LARGEST:
        pytest.skip("beyond this platform's size type")
    with pytest.raises(OSError) as caught:
        built().decode([104, value])
    assert type(caught.value) is OSError
    assert caught.value.args == (f"invalid token ID: {value}",)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda v: pairloom.BasicTokenizer(num_threads=v), id="num_threads"),
        pytest.param(lambda v: pairloom.BasicTokenizer().train("ab", v), id="vocab_size"),
        pytest.param(lambda v: built().decode([104, v]), id="ids"),
    ],
)
@pytest.mark.parametrize(
    "value, message",
    [
        pytest.param(LARGEST + 1, ABOVE_MESSAGE, id="largest+1"),
        pytest.param(2**64, "int too big to convert", id="2**64"),
    ],
)
def test_values_beyond_the_size_type_overflow(call, value, message):
    with pytest.raises(OverflowError) as caught:
        call(value)
    assert type(caught.value) is OverflowError
    assert str(caught.value) == message
