"""Rewrites an edition-3 message as edition 4 for the edition-4 entry points.

Only section 1 differs between the editions; sections 2 to 5 are copied.
"""


def as_edition4(message: bytes) -> bytes:
    assert message[:4] == b"BUFR" and message[7] == 3
    l1 = int.from_bytes(message[8:11], "big")
    s1 = message[8 : 8 + l1]
    yy = s1[12]
    year = 1900 + yy if yy > 50 else 2000 + yy
    new1 = (
        (22).to_bytes(3, "big")
        + bytes([s1[3], 0, s1[5], 0, s1[4], s1[6], s1[7], s1[8], 255, s1[9], s1[10], s1[11]])
        + year.to_bytes(2, "big")
        + bytes([s1[13], s1[14], s1[15], s1[16], 0])
    )
    rest = message[8 + l1 :]
    total = 8 + len(new1) + len(rest)
    return b"BUFR" + total.to_bytes(3, "big") + b"\x04" + new1 + rest
