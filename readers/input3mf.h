// 3MF input: a whole stream held in memory, and the model XML found in it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "builder.h"
#include "model.h"

// Reads all of stream into a malloc'd block the caller frees: at least
// 16 MiB, doubling when full, so at least one spare byte always follows the
// data; a zero byte is written there. Returns 1, or 0 with *out null and
// *out_length 0 when memory runs out or the stream reports a read error.
int read_stream_all(FILE* stream, uint8_t** out, uint64_t* out_length);

// read_stream_all on standard input switched to binary mode.
int read_stdin_all(uint8_t** out, uint64_t* out_length);

// The model XML of the input: for a ZIP package the entry "3D/3dmodel.model"
// (else "/3D/3dmodel.model"), extracted into *entry (malloc'd, the caller
// frees it); otherwise the input itself (*entry null). Either way a zero
// byte follows the XML. Returns 0, with *entry null, when a package has no
// readable model entry.
int input_model_xml(const uint8_t* input, uint64_t length, const char** xml, uint64_t* xml_length,
                    uint8_t** entry);

// Reads standard input, finds its model XML and builds the model with the
// sampling settings as they stand. Returns 0 with a model holding at least
// one triangle and its n >= 1 instances (both the caller's to free), and
// *t_read set right after the input was read. Otherwise writes the error
// line and returns the exit code (2 or 3), holding nothing.
int load_3mf_from_stdin(Model* model, ObjectInfo** infos, int* count, double* t_read);
