"""The DER pieces the block-making scripts share."""


def items(der):
    """The (tag, content) items of a DER string, one level deep."""
    out, i = [], 0
    while i < len(der):
        tag, n = der[i], der[i + 1]
        i += 2
        if n & 0x80:
            count = n & 0x7F
            n = int.from_bytes(der[i:i + count], "big")
            i += count
        out.append((tag, der[i:i + n]))
        i += n
    return out


def tlv(tag, content):
    assert len(content) < 0x80
    return bytes([tag, len(content)]) + content
