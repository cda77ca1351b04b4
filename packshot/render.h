// packshot --render-3mf: 3MF on standard input to thumbnails and a JSON line.
#pragma once

// Reads the 3MF package or model XML from standard input, renders the main
// thumbnail to output_path at size x size (and, with a prefix and more than
// one object instance, "<prefix>_obj<i>.png" per instance), prints the JSON
// line and the timing line. max_tris is at least 1000. Returns the exit
// status: 0, 2 (input unreadable or main PNG not written) or 3 (no model
// entry, no mesh).
int render_3mf_from_stdin(const char* output_path, int size, int max_tris,
                          const char* per_object_prefix);
