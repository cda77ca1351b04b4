#!/usr/bin/env python3
"""Writes the fuzz seed corpora into <out>/<target>/: the real files of the
real files of tests/data/corpus (when present) and small inputs like the unit tests' own."""
import math
import os
import struct
import sys
import zipfile

out = sys.argv[1]
corpus = sys.argv[2] if len(sys.argv) > 2 else ""
examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
LIMIT = 256 * 1024  # larger seeds only slow the mutations down


def put(target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    if len(data) <= LIMIT:
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


def files(folder, exts):
    if not folder or not os.path.isdir(folder):
        return []
    return sorted(os.path.join(folder, n) for n in os.listdir(folder)
                  if n.lower().endswith(exts))


def tri_floats(n):
    vals = []
    for i in range(n):
        a = i * 0.7
        vals += [math.cos(a), math.sin(a), 0, math.cos(a + 1), math.sin(a + 1), 0.5, 0, 0, 1]
    return vals


SPECIALS = [float("nan"), float("inf"), -float("inf"), 3.4e38, -3.4e38, 1e-45, 0.0, -0.0]

# STL, OBJ, 3MF: the real files, then the examples.
for path in files(os.path.join(corpus, "stl"), (".stl",)) + files(examples, (".stl",)):
    put("stl", os.path.basename(path), open(path, "rb").read())
for path in files(os.path.join(corpus, "obj"), (".obj",)) + files(examples, (".obj",)):
    put("obj", os.path.basename(path), open(path, "rb").read())
for path in files(os.path.join(corpus, "3mf"), (".3mf",)) + files(examples, (".3mf",)):
    data = open(path, "rb").read()
    put("threemf", os.path.basename(path), data)
    put("zip", os.path.basename(path), data)
    try:
        with zipfile.ZipFile(path) as z:
            for name in z.namelist():
                if name.lower().endswith(".model"):
                    xml = z.read(name)
                    put("xml", os.path.basename(path) + "_r", b"\x03" + xml)
                    put("xml", os.path.basename(path) + "_p", b"\x00" + xml)
                    put("threemf", os.path.basename(path) + ".xml", xml)
                    break
    except (zipfile.BadZipFile, OSError, KeyError, NotImplementedError):
        pass

# Hand-made STL: both flavours, a huge declared count with a short body.
body = b"".join(struct.pack("<12fH", 0, 0, 1, *tri_floats(1)[:9], 0) for _ in range(2))
put("stl", "binary2", b"\0" * 80 + struct.pack("<I", 2) + body)
put("stl", "declares50M", b"\0" * 80 + struct.pack("<I", 50000000) + body)
put("stl", "ascii_special", "solid x\n facet normal 0 0 1\n  outer loop\n   vertex nan inf -inf\n"
    "   vertex 1e39 -0x1p-149 .5\n   vertex 0 1 0\n  endloop\n endfacet\nendsolid\n")

ascii_facet = ("  facet normal 0 0 1\n    outer loop\n      vertex 0 0 0\n      vertex 1 0 0\n"
               "      vertex 0 1 0\n    endloop\n  endfacet\n")
put("stl", "ascii_upper", ("solid block\n" + ascii_facet * 2 + "endsolid block\n").upper())
put("stl", "ascii_cr", ("solid cr\n" + ascii_facet * 2 + "endsolid cr\n").replace("\n", "\r"))
put("stl", "ascii_blank_crlf", (" solid x\n" + ascii_facet * 2 + "endsolid\n").replace("\n", "\r\n"))
put("stl", "ascii_ctrlz", "solid z\n" + ascii_facet + "\x1a" + ascii_facet + "endsolid\n")

# Hand-made OBJ: UTF-16 in both orders, CR line ends, a surrogate pair.
obj_text = "# box\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\nf -4 -3 -2\n"
put("obj", "utf16le", b"\xff\xfe" + obj_text.encode("utf-16-le"))
put("obj", "utf16be_crlf", b"\xfe\xff" + obj_text.replace("\n", "\r\n").encode("utf-16-be"))
put("obj", "utf16le_pair", b"\xff\xfe" + ("#\U0001F600\n" + obj_text).encode("utf-16-le") + b"\x00")
put("obj", "cr_only", obj_text.replace("\n", "\r"))

# Raw triangle streams.
put("rawstream", "two", struct.pack("<I", 2) + struct.pack("<18f", *tri_floats(2)))
put("rawstream", "partial", struct.pack("<I", 3) + struct.pack("<10f", *tri_floats(2)[:10]))
put("rawstream", "special", struct.pack("<I", 1) + struct.pack("<9f", *(SPECIALS + [1.0])))
put("rawstream", "zero", struct.pack("<I", 0))

# Batch lines: the scratch folder holds "a" (binary) and "b" (ASCII).
put("batch", "jobs", "a\tx.png\nb\ty.png\r\nmissing\tz.png\nno tab\n\nafter\tend.png\n")
put("batch", "tabs", "a\tout\twith\ttabs.png\nb\t\n\ta.png\n")
put("batch", "long", "a\t" + "p" * 5000 + ".png\nb\tq.png\n")

# Numbers, names and attributes.
for i, text in enumerate([
        "1.5e3", "-0.000001", "+12345678901234567890", "3.4028236e38", "1e-50", ".5", "-.e",
        "1 0 0 0 1 0 0 0 1 10 20 30", "1 0 0 0 1 0 0 0 1 10 20", "1e400 -1e400 nan",
        ' x="1" y=\'2\' z="3" v1="0" v2="1" v3="2" id="7" name="n&quot;" objectid="1"'
        ' transform="1 0 0 0 1 0 0 0 1 0 0 0" type="model"',
        ' x="1', "model", "4294967296", "99999999999",
        ' x="-39.999800" y="0" z="-0.125663" />', ' x="    1.089429E+02" y="1" z="12345678.9"/>',
        ' v1="499991" v2="499993" v3="499997" />', ' v1="0" v2="1" v3="2"/>']):
    put("number", "n%d" % i, text)

# Model XML by hand: the edge cases of the builder.
HEAD = '<?xml version="1.0"?><model unit="millimeter"><resources>'
MESH = ('<mesh><vertices><vertex x="0" y="0" z="0"/><vertex x="1" y="0" z="0"/>'
        '<vertex x="0" y="1" z="0"/></vertices><triangles><triangle v1="0" v2="1" v3="2"/>'
        '</triangles></mesh>')
xmls = {
    "plain": HEAD + '<object id="1" type="model">' + MESH + '</object></resources><build>'
             '<item objectid="1" transform="1 0 0 0 1 0 0 0 1 5 5 5"/></build></model>',
    "cycle": HEAD + '<object id="1"><components><component objectid="2"/></components></object>'
             '<object id="2"><components><component objectid="1"/></components></object>'
             '</resources><build><item objectid="1"/></build></model>',
    "fanout": HEAD + '<object id="1">' + MESH + '</object><object id="2"><components>' +
              '<component objectid="2"/>' * 32 + '<component objectid="1"/></components>'
              '</object></resources><build><item objectid="2"/></build></model>',
    "gt_in_quote": HEAD + '<object id="1" name="a>b">' + MESH + '</object></resources><build>'
                   '<item objectid="1"/></build></model>',
    "unterminated": HEAD + '<object id="1">' + MESH + '</object></resources><build><item objectid="1"',
    "bad_indices": HEAD + '<object id="1"><mesh><vertices><vertex x="0" y="0" z="0"/></vertices>'
                   '<triangles><triangle v1="0" v2="5" v3="-1"/><triangle v1="4294967295" v2="0" '
                   'v3="0"/></triangles></mesh></object></resources><build><item objectid="1"/>'
                   '</build></model>',
}
for name, xml in xmls.items():
    put("xml", name + "_p", "\x00" + xml)
    put("xml", name + "_r", "\x03" + xml)
    put("threemf", name, xml)
    for method, tag in ((zipfile.ZIP_STORED, "stored"), (zipfile.ZIP_DEFLATED, "deflated")):
        path = os.path.join(out, "zip", name + "_" + tag)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with zipfile.ZipFile(path, "w", method) as z:
            z.writestr("3D/3dmodel.model", xml)

# Packages as other tools write them: ZIP64 records and fields (lib3mf,
# Python's zipfile), the model part named by the package relationship
# (assimp, lib3mf), objects in model parts of their own (BambuStudio, the
# production extension), numbers padded with blanks (Fusion).
MODEL_REL = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel"
THUMB_REL = "http://schemas.openxmlformats.org/package/2006/relationships/metadata/thumbnail"


def rels(target, rel_type=MODEL_REL):
    return ('<?xml version="1.0" encoding="utf-8"?><Relationships xmlns="http://schemas.'
            'openxmlformats.org/package/2006/relationships"><Relationship Type="%s" '
            'Target="%s" Id="rel0"/></Relationships>' % (rel_type, target))


def zip64_package(entries, full=True):
    """Stored entries; central sizes and offsets in ZIP64 extra fields, and with
    full the ZIP64 end record and locator behind markers in the end record."""
    body, central = b"", b""
    for name, data in entries:
        name, data = name.encode(), data.encode("latin-1") if isinstance(data, str) else data
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0, 0, 0xFFFFFFFF,
                            0xFFFFFFFF, len(name), 20) + name
        body += struct.pack("<HHQQ", 1, 16, len(data), len(data)) + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0, 0, 0,
                               0xFFFFFFFF, 0xFFFFFFFF, len(name), 28, 0, 0, 0, 0, 0xFFFFFFFF)
        central += name + struct.pack("<HHQQQ", 1, 24, len(data), len(data), offset)
    out = body + central
    n = len(entries)
    if full:
        record = len(out)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, n, n, len(central),
                           len(body))
        out += struct.pack("<IIQI", 0x07064B50, 0, record, 1)
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                           0xFFFFFFFF, 0)
    else:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, len(central), len(body), 0)
    return out


def zip_package(entries, method=zipfile.ZIP_DEFLATED):
    import io
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, data in entries:
            z.writestr(name, data)
    return buf.getvalue()


PROD = 'xmlns:p="http://schemas.microsoft.com/3dmanufacturing/production/2015/06"'
plain = xmls["plain"]
part_a = HEAD + '<object id="1" name="a">' + MESH + '</object></resources><build/></model>'
part_b = (HEAD + '<object id="1">' + MESH + '</object><object id="2"><components>'
          '<component objectid="1" p:path="/3D/Objects/a.model"/></components></object>'
          '</resources><build/></model>')
by_components = ('<model ' + PROD + '><resources><object id="5"><components>'
                 '<component p:path="/3D/Objects/a.model" objectid="1"/>'
                 '<component p:path="3d/objects/B.MODEL" objectid="2" '
                 'transform="1 0 0 0 1 0 0 0 1 2 0 0"/><component objectid="5"/></components>'
                 '</object></resources><build><item objectid="5"/></build></model>')
by_items = ('<model ' + PROD + '><resources/><build>'
            '<item objectid="1" p:path="/3D/Objects/a.model"/>'
            '<item objectid="2" p:path="/3D/Objects/b.model" transform="1 0 0 0 1 0 0 0 1 0 3 0"/>'
            '<item objectid="1" p:path="/3D/3dmodel.model"/></build></model>')
padded = (HEAD + '<object id=" 1 "><mesh><vertices>'
          '<vertex x="    0.000000E+00" y="\t0.0E+00" z="\r\n0 "/>'
          '<vertex x="    1.089429E+02" y="  0" z="  0"/><vertex x=" 0" y="  1.0E+01" z="0"/>'
          '</vertices><triangles><triangle v1="   0" v2=" 1 " v3="\n2"/></triangles></mesh>'
          '</object></resources><build><item objectid="  1" transform="\n 1 0 0\r\n 0 1 0\t'
          '0 0 1\n 0 0 0 "/></build></model>')
packages = {
    "zip64_full": zip64_package([("_rels/.rels", rels("/3D/3dmodel.model")),
                                 ("3D/3dmodel.model", plain)]),
    "zip64_fields": zip64_package([("3D/3dmodel.model", plain)], full=False),
    "rel_target": zip_package([("_rels/.rels", rels("/3D/3DModel.model")),
                               ("3D/3DModel.model", plain)]),
    "rel_relative": zip_package([("_rels/.rels", rels("3d/model.CUSTOM") + rels("/t.png", THUMB_REL)),
                                 ("3D/model.custom", plain), ("t.png", "PNG")]),
    "prod_components": zip_package([("3D/3dmodel.model", by_components),
                                    ("3D/Objects/a.model", part_a),
                                    ("3D/Objects/b.model", part_b)]),
    "prod_items_zip64": zip64_package([("_rels/.rels", rels("/3D/3dmodel.model")),
                                       ("3D/3dmodel.model", by_items),
                                       ("3D/Objects/a.model", part_a),
                                       ("3D/Objects/b.model", part_b)]),
    "padded": zip_package([("3D/3dmodel.model", padded)]),
}
for name, data in packages.items():
    put("zip", name, data)
    put("threemf", name, data)
# The xml target reads the root part, then one more part after each zero byte.
for name, (root, others) in {"prod_components": (by_components, [part_a, part_b]),
                             "prod_items": (by_items, [part_a, part_b])}.items():
    joined = "\0".join([root] + others)
    put("xml", name + "_p", "\x00" + joined)
    put("xml", name + "_r", "\x83" + joined)
put("xml", "padded_p", "\x80" + padded)

# Geometry: a plain mesh, and every special value in every slot.
put("geometry", "plain", bytes([63, 0]) + struct.pack("<36f", *tri_floats(4)))
put("geometry", "special", bytes([0x80 | 20, 3]) + struct.pack("<24f", *(SPECIALS * 3)))
put("geometry", "degenerate", bytes([7, 1]) + struct.pack("<18f", *([1.0] * 9 + [0, 0, 0, 1, 1, 1, 2, 2, 2])))

# Thumbs: the corpus packages and the PNG pictures inside them, then small PNGs
# of every colour type, depth and interlace, and a package naming one as its
# thumbnail.
import zlib


def png(width, height, colour_type, depth, rows, interlace=0, extra=b""):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    head = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + extra +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


for path in files(os.path.join(corpus, "3mf"), (".3mf",)):
    data = open(path, "rb").read()
    put("thumbs", os.path.basename(path), data)
    try:
        with zipfile.ZipFile(path) as z:
            for name in z.namelist():
                if name.lower().endswith(".png"):
                    put("thumbs", os.path.basename(path) + ".png", z.read(name))
    except (zipfile.BadZipFile, OSError, KeyError, NotImplementedError):
        pass
# Filter types 0 to 4 on the rows, so every unfilter runs.
put("thumbs", "rgba8", png(4, 5, 6, 8, b"".join(bytes([y]) + bytes(range(y, y + 16)) for y in range(5))))
put("thumbs", "rgb16", png(3, 2, 2, 16, b"".join(bytes([y + 1]) + bytes(range(18)) for y in range(2))))
put("thumbs", "grey1", png(9, 3, 0, 1, b"".join(bytes([0, 0xA5, 0x80]) for _ in range(3))))
put("thumbs", "greyalpha8", png(2, 2, 4, 8, bytes([2, 1, 2, 3, 4, 3, 5, 6, 7, 8])))
put("thumbs", "palette_trns", png(2, 2, 3, 8, bytes([0, 0, 1, 0, 1, 0]),
                                   extra=(struct.pack(">I", 6) + b"PLTE" + bytes(range(6)) +
                                          struct.pack(">I", zlib.crc32(b"PLTE" + bytes(range(6))) & 0xFFFFFFFF) +
                                          struct.pack(">I", 1) + b"tRNS" + b"\x80" +
                                          struct.pack(">I", zlib.crc32(b"tRNS\x80") & 0xFFFFFFFF))))
put("thumbs", "interlaced", png(8, 8, 0, 8, bytes(8 * 9 + 16), interlace=1))
put("thumbs", "beam_with_thumbnail",
    zip_package([("_rels/.rels", rels("/Metadata/thumbnail.png", THUMB_REL)),
                 ("3D/3dmodel.model", "<model><resources/><build/></model>"),
                 ("Metadata/thumbnail.png", png(4, 5, 6, 8, bytes(5 * 17)))]))
