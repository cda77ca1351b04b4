#!/usr/bin/env python3
"""Writes orrery.obj, the model behind the launcher's icon: a sun on a short
post over a round base, two orbit rings and three planets.

Run it from anywhere; it writes next to itself. The icon is then rendered
from the OBJ by make_icon.sh. Groups ("g sun", ...) pick the tint per part.
"""
import math
import os

SEGMENTS = 32  # around every circle: smooth at 256 pixels, cheap at 16


class Mesh:
    def __init__(self):
        self.vertices = []
        self.groups = []  # (name, [(a, b, c), ...]) with 1-based indices

    def group(self, name):
        self.groups.append((name, []))

    def vertex(self, x, y, z):
        self.vertices.append((x, y, z))
        return len(self.vertices)

    def quad(self, a, b, c, d):
        faces = self.groups[-1][1]
        faces.append((a, b, c))
        faces.append((a, c, d))

    def tri(self, a, b, c):
        self.groups[-1][1].append((a, b, c))


def sphere(mesh, cx, cy, cz, r, rings=16):
    rows = []
    for i in range(1, rings):
        phi = math.pi * i / rings
        row = []
        for j in range(SEGMENTS):
            theta = 2 * math.pi * j / SEGMENTS
            row.append(mesh.vertex(cx + r * math.sin(phi) * math.cos(theta),
                                   cy + r * math.cos(phi),
                                   cz + r * math.sin(phi) * math.sin(theta)))
        rows.append(row)
    top = mesh.vertex(cx, cy + r, cz)
    bottom = mesh.vertex(cx, cy - r, cz)
    for j in range(SEGMENTS):
        k = (j + 1) % SEGMENTS
        mesh.tri(top, rows[0][k], rows[0][j])
        mesh.tri(bottom, rows[-1][j], rows[-1][k])
    for i in range(len(rows) - 1):
        for j in range(SEGMENTS):
            k = (j + 1) % SEGMENTS
            mesh.quad(rows[i][j], rows[i][k], rows[i + 1][k], rows[i + 1][j])


def torus(mesh, cy, major, minor, tilt_deg, sides=8):
    """A ring about the vertical axis, turned by tilt_deg about the x axis."""
    t = math.radians(tilt_deg)
    grid = []
    for j in range(SEGMENTS * 2):
        theta = 2 * math.pi * j / (SEGMENTS * 2)
        ring = []
        for i in range(sides):
            phi = 2 * math.pi * i / sides
            x = (major + minor * math.cos(phi)) * math.cos(theta)
            y = minor * math.sin(phi)
            z = (major + minor * math.cos(phi)) * math.sin(theta)
            ring.append(mesh.vertex(x, cy + y * math.cos(t) - z * math.sin(t),
                                    y * math.sin(t) + z * math.cos(t)))
        grid.append(ring)
    n = len(grid)
    for j in range(n):
        for i in range(sides):
            a = grid[j][i]
            b = grid[(j + 1) % n][i]
            c = grid[(j + 1) % n][(i + 1) % sides]
            d = grid[j][(i + 1) % sides]
            mesh.quad(a, b, c, d)


def cylinder(mesh, cx, cz, y0, y1, r):
    bottom = [mesh.vertex(cx + r * math.cos(2 * math.pi * j / SEGMENTS), y0,
                          cz + r * math.sin(2 * math.pi * j / SEGMENTS)) for j in range(SEGMENTS)]
    top = [mesh.vertex(cx + r * math.cos(2 * math.pi * j / SEGMENTS), y1,
                       cz + r * math.sin(2 * math.pi * j / SEGMENTS)) for j in range(SEGMENTS)]
    c0 = mesh.vertex(cx, y0, cz)
    c1 = mesh.vertex(cx, y1, cz)
    for j in range(SEGMENTS):
        k = (j + 1) % SEGMENTS
        mesh.quad(bottom[j], bottom[k], top[k], top[j])
        mesh.tri(c0, bottom[k], bottom[j])
        mesh.tri(c1, top[j], top[k])


def on_orbit(major, tilt_deg, angle_deg, cy):
    t = math.radians(tilt_deg)
    a = math.radians(angle_deg)
    x = major * math.cos(a)
    z = major * math.sin(a)
    return x, cy - z * math.sin(t), z * math.cos(t)


def main():
    mesh = Mesh()
    sun_y = 0.0
    mesh.group("stand")
    cylinder(mesh, 0.0, 0.0, -2.1, -1.8, 1.3)
    cylinder(mesh, 0.0, 0.0, -1.8, -0.9, 0.12)
    mesh.group("sun")
    sphere(mesh, 0.0, sun_y, 0.0, 1.0)
    mesh.group("orbit")
    torus(mesh, sun_y, 1.75, 0.05, 12.0)
    torus(mesh, sun_y, 2.55, 0.05, -8.0)
    mesh.group("planet_blue")
    sphere(mesh, *on_orbit(1.75, 12.0, 200.0, sun_y), 0.32, rings=12)
    mesh.group("planet_red")
    sphere(mesh, *on_orbit(2.55, -8.0, 35.0, sun_y), 0.26, rings=12)
    mesh.group("planet_green")
    sphere(mesh, *on_orbit(2.55, -8.0, 250.0, sun_y), 0.2, rings=10)

    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "orrery.obj")
    with open(path, "w", newline="\n") as out:
        out.write("# Orrery icon model, written by make_orrery_obj.py\n")
        for v in mesh.vertices:
            out.write("v %.5f %.5f %.5f\n" % v)
        for name, faces in mesh.groups:
            out.write("g %s\n" % name)
            for f in faces:
                out.write("f %d %d %d\n" % f)


if __name__ == "__main__":
    main()
