#!/usr/bin/env python3
"""Generates the demo meshes in this folder (run it again after changing it)."""
import math
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def normal(a, b, c):
    e1 = [b[i] - a[i] for i in range(3)]
    e2 = [c[i] - a[i] for i in range(3)]
    n = [e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]]
    length = math.sqrt(sum(v * v for v in n)) or 1.0
    return [v / length for v in n]


def write_binary_stl(path, tris):
    with open(path, "wb") as f:
        f.write(b"demo mesh".ljust(80, b" "))
        f.write(struct.pack("<I", len(tris)))
        for a, b, c in tris:
            f.write(struct.pack("<12fH", *normal(a, b, c), *a, *b, *c, 0))


def write_ascii_stl(path, name, tris):
    with open(path, "w") as f:
        f.write("solid %s\n" % name)
        for a, b, c in tris:
            f.write("  facet normal %g %g %g\n    outer loop\n" % tuple(normal(a, b, c)))
            for v in (a, b, c):
                f.write("      vertex %.5f %.5f %.5f\n" % tuple(v))
            f.write("    endloop\n  endfacet\n")
        f.write("endsolid %s\n" % name)


def prism(outline, z0, z1):
    """Closed extrusion of a convex-ish outline (counter-clockwise) between z0 and z1."""
    tris = []
    n = len(outline)
    cx = sum(p[0] for p in outline) / n
    cy = sum(p[1] for p in outline) / n
    for i in range(n):
        p, q = outline[i], outline[(i + 1) % n]
        tris.append(((cx, cy, z0), (q[0], q[1], z0), (p[0], p[1], z0)))
        tris.append(((cx, cy, z1), (p[0], p[1], z1), (q[0], q[1], z1)))
        tris.append(((p[0], p[1], z0), (q[0], q[1], z0), (q[0], q[1], z1)))
        tris.append(((p[0], p[1], z0), (q[0], q[1], z1), (p[0], p[1], z1)))
    return tris


def gear(teeth=18, r_in=20.0, r_out=24.0, thickness=6.0):
    outline = []
    for t in range(teeth):
        for k, r in enumerate((r_in, r_out, r_out, r_in)):
            a = 2 * math.pi * (t + k / 4.0) / teeth
            outline.append((r * math.cos(a), r * math.sin(a)))
    return prism(outline, 0.0, thickness)


def tray(w=40.0, d=30.0, h=8.0, wall=2.0):
    """An open box: floor and four walls with thickness, standing on its floor (z up)."""
    def box(x0, y0, z0, x1, y1, z1):
        return prism([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], z0, z1)
    tris = box(0, 0, 0, w, d, wall)
    tris += box(0, 0, wall, wall, d, h)
    tris += box(w - wall, 0, wall, w, d, h)
    tris += box(wall, 0, wall, w - wall, wall, h)
    tris += box(wall, d - wall, wall, w - wall, d, h)
    return tris


def torus_knot_obj(path, p=2, q=3, segments=240, sides=16, radius=1.6):
    def centre(t):
        r = math.cos(q * t) + 3.0
        return (r * math.cos(p * t) * 3, r * math.sin(p * t) * 3, -math.sin(q * t) * 3)
    verts = []
    for i in range(segments):
        t = 2 * math.pi * i / segments
        c = centre(t)
        c2 = centre(t + 0.01)
        tangent = [c2[k] - c[k] for k in range(3)]
        tl = math.sqrt(sum(v * v for v in tangent))
        tangent = [v / tl for v in tangent]
        up = (0.0, 0.0, 1.0)
        side = [tangent[1] * up[2] - tangent[2] * up[1], tangent[2] * up[0] - tangent[0] * up[2],
                tangent[0] * up[1] - tangent[1] * up[0]]
        sl = math.sqrt(sum(v * v for v in side))
        side = [v / sl for v in side]
        binormal = [tangent[1] * side[2] - tangent[2] * side[1],
                    tangent[2] * side[0] - tangent[0] * side[2],
                    tangent[0] * side[1] - tangent[1] * side[0]]
        for j in range(sides):
            a = 2 * math.pi * j / sides
            verts.append([c[k] + radius * (math.cos(a) * side[k] + math.sin(a) * binormal[k])
                          for k in range(3)])
    with open(path, "w") as f:
        f.write("# torus knot, quads with v/vt/vn-style tokens\no knot\n")
        for v in verts:
            f.write("v %.5f %.5f %.5f\n" % tuple(v))
        f.write("vt 0 0\nvn 0 0 1\n")
        for i in range(segments):
            for j in range(sides):
                a = i * sides + j + 1
                b = ((i + 1) % segments) * sides + j + 1
                c = ((i + 1) % segments) * sides + (j + 1) % sides + 1
                d = i * sides + (j + 1) % sides + 1
                f.write("f %d/1/1 %d/1/1 %d/1/1 %d/1/1\n" % (a, b, c, d))


def model_xml(objects, items):
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<model unit="millimeter" xmlns="http://schemas.microsoft.com/3dmanufacturing/core/2015/02">',
           ' <resources>']
    for oid, name, tris in objects:
        index = {}
        verts = []
        faces = []
        for t in tris:
            face = []
            for v in t:
                key = tuple(round(c, 5) for c in v)
                if key not in index:
                    index[key] = len(verts)
                    verts.append(key)
                face.append(index[key])
            faces.append(face)
        out.append('  <object id="%d" name="%s" type="model"><mesh><vertices>' % (oid, name))
        out += ['   <vertex x="%g" y="%g" z="%g"/>' % v for v in verts]
        out.append('  </vertices><triangles>')
        out += ['   <triangle v1="%d" v2="%d" v3="%d"/>' % tuple(f) for f in faces]
        out.append('  </triangles></mesh></object>')
    out.append(' </resources>')
    out.append(' <build>')
    for oid, transform in items:
        out.append('  <item objectid="%d" transform="%s"/>' % (oid, transform))
    out.append(' </build>')
    out.append('</model>')
    return "\n".join(out) + "\n"


def write_3mf(path, xml):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml",
                   '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                   '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                   '<Default Extension="model" ContentType="application/vnd.ms-package.3dmanufacturing-3dmodel+xml"/></Types>')
        z.writestr("_rels/.rels",
                   '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   '<Relationship Target="/3D/3dmodel.model" Id="rel0" Type="http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel"/></Relationships>')
        z.writestr("3D/3dmodel.model", xml)


def main():
    write_binary_stl(os.path.join(HERE, "gear.stl"), gear())
    write_ascii_stl(os.path.join(HERE, "tray_ascii.stl"), "tray", tray())
    torus_knot_obj(os.path.join(HERE, "torus_knot.obj"))
    xml = model_xml([(1, "Gear", gear()), (2, "Tray", tray())],
                    [(1, "1 0 0 0 1 0 0 0 1 0 0 0"), (2, "1 0 0 0 1 0 0 0 1 60 0 0")])
    write_3mf(os.path.join(HERE, "gear_and_tray.3mf"), xml)


if __name__ == "__main__":
    main()
