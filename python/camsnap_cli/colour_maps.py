"""The colour maps that show 16-bit infrared frames (snap's preview, the view's page and its
snapshots): 256-entry tables, the stretch of raw values onto them, and the colour bar."""
import collections

import numpy as np

# matplotlib's "inferno" (CC0): black through purple and orange to pale yellow, its
# lightness rising evenly. 256 RGB entries.
INFERNO = np.frombuffer(bytes.fromhex(
    "00000401000501010601010802010a02020c02020e03021004031204031405041706041907051b08051d09061f0a0722"
    "0b07240c08260d08290e092b10092d110a30120a32140b34150b37160b39180c3c190c3e1b0c411c0c431e0c451f0c48"
    "210c4a230c4c240c4f260c51280b53290b552b0b572d0b592f0a5b310a5c320a5e340a5f3609613809623909633b0964"
    "3d09653e0966400a67420a68440a68450a69470b6a490b6a4a0c6b4c0c6b4d0d6c4f0d6c510e6c520e6d540f6d550f6d"
    "57106e59106e5a116e5c126e5d126e5f136e61136e62146e64156e65156e67166e69166e6a176e6c186e6d186e6f196e"
    "71196e721a6e741a6e751b6e771c6d781c6d7a1d6d7c1d6d7d1e6d7f1e6c801f6c82206c84206b85216b87216b88226a"
    "8a226a8c23698d23698f24699025689225689326679526679727669827669a28659b29649d29649f2a63a02a63a22b62"
    "a32c61a52c60a62d60a82e5fa92e5eab2f5ead305dae305cb0315bb1325ab3325ab43359b63458b73557b93556ba3655"
    "bc3754bd3853bf3952c03a51c13a50c33b4fc43c4ec63d4dc73e4cc83f4bca404acb4149cc4248ce4347cf4446d04545"
    "d24644d34743d44842d54a41d74b3fd84c3ed94d3dda4e3cdb503bdd513ade5238df5337e05536e15635e25734e35933"
    "e45a31e55c30e65d2fe75e2ee8602de9612bea632aeb6429eb6628ec6726ed6925ee6a24ef6c23ef6e21f06f20f1711f"
    "f1731df2741cf3761bf37819f47918f57b17f57d15f67e14f68013f78212f78410f8850ff8870ef8890cf98b0bf98c0a"
    "f98e09fa9008fa9207fa9407fb9606fb9706fb9906fb9b06fb9d07fc9f07fca108fca309fca50afca60cfca80dfcaa0f"
    "fcac11fcae12fcb014fcb216fcb418fbb61afbb81dfbba1ffbbc21fbbe23fac026fac228fac42afac62df9c72ff9c932"
    "f9cb35f8cd37f8cf3af7d13df7d340f6d543f6d746f5d949f5db4cf4dd4ff4df53f4e156f3e35af3e55df2e661f2e865"
    "f2ea69f1ec6df1ed71f1ef75f1f179f2f27df2f482f3f586f3f68af4f88ef5f992f6fa96f8fb9af9fc9dfafda1fcffa4"
), dtype=np.uint8).reshape(256, 3)


def _ramp(points):
    """256 entries interpolated between evenly spaced RGB points."""
    points = np.array(points, dtype=np.float64)
    at = np.linspace(0.0, 1.0, len(points))
    x = np.linspace(0.0, 1.0, 256)
    return np.stack([np.interp(x, at, points[:, c]) for c in range(3)], axis=1).round().astype(np.uint8)


# The page draws with the same tables (it fetches them from settings.json).
COLOUR_MAPS = collections.OrderedDict([
    ("inferno", INFERNO),
    # The classic thermal palette: black through blue and magenta to orange and white.
    ("iron", _ramp([(0, 0, 0), (32, 0, 140), (150, 0, 160), (220, 60, 40), (250, 150, 0),
                    (255, 220, 60), (255, 255, 255)])),
    ("grey", np.repeat(np.arange(256, dtype=np.uint8)[:, np.newaxis], 3, axis=1)),
])


def map_index(frame, lo, hi):
    """Colour-map indices 0..255 of raw values for the range lo..hi: below lo 0, above hi 255."""
    index = np.asarray(frame).astype(np.int64)
    # In place, on the one copy: the view does this for every snapshot.
    index -= lo
    index *= 255
    index //= max(hi - lo, 1)
    return np.clip(index, 0, 255, out=index)


def colourise(frame, lut=INFERNO):
    """16-bit frame -> (HxWx3 uint8 picture, lo, hi): the colour map stretched between the
    frame's minimum (lo) and maximum (hi)."""
    lo, hi = int(np.min(frame)), int(np.max(frame))
    return lut[map_index(frame, lo, hi)], lo, hi


def colour_bar(lut, height, width=16):
    """A colour map as a vertical bar, the maximum at the top."""
    index = np.round(np.linspace(255, 0, height)).astype(np.int64)
    return np.repeat(lut[index][:, np.newaxis, :], width, axis=1)
