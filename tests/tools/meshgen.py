#!/usr/bin/env python3
"""Writes generated meshes for the benchmarks and the before/after comparison.

usage: meshgen.py KIND TRIS FORMAT OUT [SEED]

KIND    sphere      noisy sphere of radius 50 about (120, 35, -80): every triangle a
                    little off its neighbours' planes, the hardest case for the
                    orientation's plane clustering (OBJ: quads, so TRIS/2 faces)
        soup        random triangles of random size in a 100 mm cube
        heightfield wavy terrain, two triangles per grid cell
        special     a small box whose corners carry NaN, infinite, huge, tiny and
                    negative-zero coordinates between ordinary ones
FORMAT  binstl | asciistl | obj | 3mf (deflated package) | xml (bare model XML)
        | raw (facetshot --stdin stream)
SEED    random seed (default 1; the benchmark sphere uses 1)
"""
import math
import random
import struct
import sys
import zipfile


def sphere(tris, rng):
    # A grid of n x m quads on the sphere, two triangles each.
    m = max(4, int(math.sqrt(tris / 4)))
    n = max(2, tris // (2 * m))
    radius = 50.0
    cx, cy, cz = 120.0, 35.0, -80.0

    def point(i, j):
        th = math.pi * i / n
        ph = 2 * math.pi * j / m
        r = radius * (1 + 0.02 * math.sin(7 * th) * math.cos(5 * ph) + 0.003 * rng.random())
        return (cx + r * math.sin(th) * math.cos(ph), cy + r * math.cos(th),
                cz + r * math.sin(th) * math.sin(ph))

    vertices = [point(i, j) for i in range(n + 1) for j in range(m)]
    quads = []
    for i in range(n):
        for j in range(m):
            a = i * m + j
            b = i * m + (j + 1) % m
            c = (i + 1) * m + j
            d = (i + 1) * m + (j + 1) % m
            quads.append((a, c, d, b))
    return vertices, quads


def soup(tris, rng):
    vertices, faces = [], []
    for _ in range(tris):
        base = [rng.uniform(0, 100) for _ in range(3)]
        size = 10 ** rng.uniform(-2, 1.3)
        for _ in range(3):
            vertices.append(tuple(b + rng.uniform(-size, size) for b in base))
        faces.append((len(vertices) - 3, len(vertices) - 2, len(vertices) - 1))
    return vertices, faces


def heightfield(tris, rng):
    cells = max(1, int(math.sqrt(tris / 2)))
    vertices = []
    for y in range(cells + 1):
        for x in range(cells + 1):
            h = 3 * math.sin(x * 0.21) * math.cos(y * 0.17) + 0.05 * rng.random()
            vertices.append((x * 0.5, h, y * 0.5))
    faces = []
    for y in range(cells):
        for x in range(cells):
            a = y * (cells + 1) + x
            faces.append((a, a + 1, a + cells + 2))
            faces.append((a, a + cells + 2, a + cells + 1))
    return vertices, faces


def special(tris, rng):
    values = [0.0, -0.0, 1.5, -2.25, 1e38, -3e38, 1e-40, float("nan"), float("inf"),
              float("-inf"), 12345.678, 3.4028234e38]
    vertices, faces = [], []
    box = [(x, y, z) for x in (0.0, 10.0) for y in (0.0, 10.0) for z in (0.0, 10.0)]
    box_faces = [(0, 1, 3), (0, 3, 2), (4, 6, 7), (4, 7, 5), (0, 4, 5), (0, 5, 1),
                 (2, 3, 7), (2, 7, 6), (0, 2, 6), (0, 6, 4), (1, 5, 7), (1, 7, 3)]
    for k in range(max(1, tris // 24)):
        base = len(vertices)
        for p in box:
            q = [c + 20.0 * k for c in p]
            if rng.random() < 0.3:
                q[rng.randrange(3)] = rng.choice(values)
            vertices.append(tuple(q))
        faces += [(base + a, base + b, base + c) for a, b, c in box_faces]
    return vertices, faces


def triangles(faces):
    for f in faces:
        for k in range(1, len(f) - 1):
            yield f[0], f[k], f[k + 1]


def write_binstl(path, vertices, faces):
    tris = list(triangles(faces))
    with open(path, "wb") as out:
        out.write(b"generated".ljust(80, b" "))
        out.write(struct.pack("<I", len(tris)))
        record = struct.Struct("<12fH")
        for a, b, c in tris:
            out.write(record.pack(0, 0, 0, *vertices[a], *vertices[b], *vertices[c], 0))


def write_raw(path, vertices, faces):
    tris = list(triangles(faces))
    with open(path, "wb") as out:
        out.write(struct.pack("<I", len(tris)))
        for a, b, c in tris:
            out.write(struct.pack("<9f", *vertices[a], *vertices[b], *vertices[c]))


NUMBER_FORMAT = ["%.6f"]  # special meshes use %.9g, for exponents and tiny values


def number(v):
    return NUMBER_FORMAT[0] % v if math.isfinite(v) else ("nan" if v != v else ("inf" if v > 0 else "-inf"))


def write_asciistl(path, vertices, faces):
    with open(path, "w") as out:
        out.write("solid gen\n")
        for tri in triangles(faces):
            out.write("  facet normal 0 0 0\n    outer loop\n")
            for v in tri:
                out.write("      vertex %s %s %s\n" % tuple(number(c) for c in vertices[v]))
            out.write("    endloop\n  endfacet\n")
        out.write("endsolid gen\n")


def write_obj(path, vertices, faces):
    with open(path, "w") as out:
        for v in vertices:
            out.write("v %s %s %s\n" % tuple(number(c) for c in v))
        for f in faces:
            out.write("f " + " ".join(str(i + 1) for i in f) + "\n")


def model_xml(vertices, faces):
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n'
             '<model unit="millimeter" xmlns="http://schemas.microsoft.com/3dmanufacturing/core/2015/02">\n'
             ' <resources>\n  <object id="1" name="generated" type="model">\n   <mesh>\n    <vertices>\n']
    for v in vertices:
        parts.append('     <vertex x="%s" y="%s" z="%s"/>\n' % tuple(number(c) for c in v))
    parts.append("    </vertices>\n    <triangles>\n")
    for a, b, c in triangles(faces):
        parts.append('     <triangle v1="%d" v2="%d" v3="%d"/>\n' % (a, b, c))
    parts.append('    </triangles>\n   </mesh>\n  </object>\n </resources>\n'
                 ' <build>\n  <item objectid="1"/>\n </build>\n</model>\n')
    return "".join(parts)


def write_xml(path, vertices, faces):
    with open(path, "w") as out:
        out.write(model_xml(vertices, faces))


def write_3mf(path, vertices, faces):
    content_types = ('<?xml version="1.0" encoding="UTF-8"?>\n'
                     '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                     '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                     '<Default Extension="model" ContentType="application/vnd.ms-package.3dmanufacturing-3dmodel+xml"/>'
                     '</Types>\n')
    rels = ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Target="/3D/3dmodel.model" Id="rel0" '
            'Type="http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel"/></Relationships>\n')
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", content_types)
        z.writestr("_rels/.rels", rels)
        z.writestr("3D/3dmodel.model", model_xml(vertices, faces))


KINDS = {"sphere": sphere, "soup": soup, "heightfield": heightfield, "special": special}
FORMATS = {"binstl": write_binstl, "asciistl": write_asciistl, "obj": write_obj,
           "3mf": write_3mf, "xml": write_xml, "raw": write_raw}


def main():
    if len(sys.argv) not in (5, 6) or sys.argv[1] not in KINDS or sys.argv[3] not in FORMATS:
        sys.exit(__doc__)
    kind, tris, fmt, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    rng = random.Random(int(sys.argv[5]) if len(sys.argv) == 6 else 1)
    vertices, faces = KINDS[kind](tris, rng)
    if kind == "special":
        NUMBER_FORMAT[0] = "%.9g"
    if kind == "sphere" and fmt != "obj":
        faces = list(triangles(faces))
        # The benchmark sphere lists each quad as (a, c, b), (b, c, d).
        faces = [t for q in zip(faces[0::2], faces[1::2])
                 for t in ((q[0][0], q[0][1], q[1][2]), (q[1][2], q[0][1], q[0][2]))]
    FORMATS[fmt](out, vertices, faces)
    print("%d faces -> %s" % (len(faces), out))


if __name__ == "__main__":
    main()
