// Test-only reference: counts the triangles of a 3MF package the way
// packshot places them (build items, components expanded, objects whose type
// is not "model" left out), read with lib3mf instead of packshot's reader.
// Prints the count, or exits 1 when lib3mf cannot read the package.
#include <Model/COM/NMR_DLLInterfaces.h>

#include <cstdio>

using namespace NMR;

static long long count_object(PLib3MFModelObjectResource* object, int depth) {
  DWORD type = 0;
  if (depth > 10 || lib3mf_object_gettype(object, &type) != LIB3MF_OK ||
      type != MODELOBJECTTYPE_MODEL) {
    return 0;
  }
  BOOL is_mesh = false, is_components = false;
  lib3mf_object_ismeshobject(object, &is_mesh);
  lib3mf_object_iscomponentsobject(object, &is_components);
  long long total = 0;
  if (is_mesh) {
    DWORD triangles = 0;
    lib3mf_meshobject_gettrianglecount(object, &triangles);
    total += triangles;
  }
  if (is_components) {
    DWORD n = 0;
    lib3mf_componentsobject_getcomponentcount(object, &n);
    for (DWORD i = 0; i < n; i++) {
      PLib3MFModelComponent* component = nullptr;
      PLib3MFModelObjectResource* child = nullptr;
      if (lib3mf_componentsobject_getcomponent(object, i, &component) != LIB3MF_OK) continue;
      if (lib3mf_component_getobjectresource(component, &child) == LIB3MF_OK) {
        total += count_object(child, depth + 1);
        lib3mf_release(child);
      }
      lib3mf_release(component);
    }
  }
  return total;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s package.3mf\n", argv[0]);
    return 2;
  }
  PLib3MFModel* model = nullptr;
  PLib3MFModelReader* reader = nullptr;
  if (lib3mf_createmodel(&model) != LIB3MF_OK) return 1;
  if (lib3mf_model_queryreader(model, "3mf", &reader) != LIB3MF_OK ||
      lib3mf_reader_readfromfileutf8(reader, argv[1]) != LIB3MF_OK) {
    return 1;
  }
  PLib3MFModelBuildItemIterator* items = nullptr;
  if (lib3mf_model_getbuilditems(model, &items) != LIB3MF_OK) return 1;
  long long total = 0;
  BOOL has_next = false;
  while (lib3mf_builditemiterator_movenext(items, &has_next) == LIB3MF_OK && has_next) {
    PLib3MFModelBuildItem* item = nullptr;
    PLib3MFModelObjectResource* object = nullptr;
    if (lib3mf_builditemiterator_getcurrent(items, &item) != LIB3MF_OK) break;
    if (lib3mf_builditem_getobjectresource(item, &object) == LIB3MF_OK) {
      total += count_object(object, 0);
      lib3mf_release(object);
    }
    lib3mf_release(item);
  }
  lib3mf_release(items);
  lib3mf_release(reader);
  lib3mf_release(model);
  printf("%lld\n", total);
  return 0;
}
