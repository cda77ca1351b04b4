// 3MF input: a whole stream held in memory, and the model XML found in it.
#include "input3mf.h"

#include <cstdlib>

#include "platform.h"
#include "zip.h"

static const size_t kFirstBlock = 16777216;  // 16 MiB: most inputs in one read

int read_stream_all(FILE* stream, uint8_t** out, uint64_t* out_length) {
  *out = nullptr;
  *out_length = 0;
  size_t capacity = kFirstBlock;
  uint8_t* block = static_cast<uint8_t*>(malloc(capacity));
  if (!block) return 0;
  size_t held = 0;
  for (;;) {
    const size_t got = fread(block + held, 1, capacity - held, stream);
    held += got;
    if (got == 0) break;
    if (held == capacity) {
      if (capacity > SIZE_MAX / 2) {
        free(block);
        return 0;
      }
      void* grown = realloc(block, capacity * 2);
      if (!grown) {
        free(block);
        return 0;
      }
      block = static_cast<uint8_t*>(grown);
      capacity *= 2;
    }
  }
  // A read error is not the end of the input: refuse rather than parse half.
  if (ferror(stream)) {
    free(block);
    return 0;
  }
  block[held] = 0;  // the spare byte: readers that run to the end stop here
  *out = block;
  *out_length = held;
  return 1;
}

int read_stdin_all(uint8_t** out, uint64_t* out_length) {
  stream_set_binary(stdin);
  return read_stream_all(stdin, out, out_length);
}

int input_model_xml(const uint8_t* input, uint64_t length, const char** xml, uint64_t* xml_length,
                    uint8_t** entry) {
  *entry = nullptr;
  if (!looks_like_zip(input, length)) {
    *xml = reinterpret_cast<const char*>(input);
    *xml_length = length;
    return 1;
  }
  uint64_t entry_length = 0;
  if (!zip_extract_entry(input, length, "3D/3dmodel.model", entry, &entry_length) &&
      !zip_extract_entry(input, length, "/3D/3dmodel.model", entry, &entry_length)) {
    *xml = nullptr;
    *xml_length = 0;
    return 0;
  }
  *xml = reinterpret_cast<const char*>(*entry);
  *xml_length = entry_length;
  return 1;
}

int load_3mf_from_stdin(Model* model, ObjectInfo** infos, int* count, double* t_read) {
  *infos = nullptr;
  *count = 0;
  uint8_t* input = nullptr;
  uint64_t input_length = 0;
  if (!read_stdin_all(&input, &input_length)) {
    fputs("ERROR: malloc/read failed\n", stderr);
    return 2;
  }
  *t_read = get_time_ms();
  const char* xml = nullptr;
  uint64_t xml_length = 0;
  uint8_t* entry = nullptr;
  if (!input_model_xml(input, input_length, &xml, &xml_length, &entry)) {
    fputs("ERROR: 3MF ZIP does not contain 3D/3dmodel.model\n", stderr);
    free(input);
    return 3;
  }
  if (entry) {
    // The package is no longer needed once its model is out: dropping it
    // before the build keeps the peak to the XML and the mesh.
    free(input);
    input = nullptr;
  }
  *count = parse_3mf_xml_to_model(xml, xml_length, model, infos);
  free(entry);
  free(input);
  if (*count == 0 || model->count == 0) {
    fputs("ERROR: No mesh data in 3MF XML\n", stderr);
    free(*infos);
    *infos = nullptr;
    *count = 0;
    model_free(model);
    return 3;
  }
  return 0;
}
