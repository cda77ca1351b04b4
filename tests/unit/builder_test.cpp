// 3MF model builder: objects, components, build items, sampling and the
// limits that keep hostile documents bounded.
#include "builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <thread>
#include <vector>

#include "guarded_text.h"
#include "input3mf.h"
#include "support/run.h"
#include "zip.h"

namespace {

struct Built {
  Model model{};
  ObjectInfo* infos = nullptr;
  int n = 0;
  std::string err;
  ~Built() {
    model_free(&model);
    free(infos);
  }
  int count_of(const std::string& line) const {
    int c = 0;
    for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1)) c++;
    return c;
  }
};

std::unique_ptr<Built> build_from(const char* xml, size_t length, int sampling, int budget) {
  auto b = std::make_unique<Built>();
  const BuildSettings settings = {sampling, budget};
  testing::internal::CaptureStderr();
  b->n = parse_3mf_xml_to_model(xml, length, &settings, stderr, &b->model, &b->infos);
  b->err = testing::internal::GetCapturedStderr();
  return b;
}

// Parse mode by default: sampling off.
std::unique_ptr<Built> build(const std::string& xml, int sampling = 0, int budget = 500000) {
  return build_from(xml.data(), xml.size(), sampling, budget);
}

// A mesh whose triangle k has the vertices (k + x0, 0, 0), (k + x0, 1, 0),
// (k + x0, 0, 1), so that the survivors of sampling can be told apart.
std::string mesh(int triangles, int x0 = 0) {
  std::string s = "<mesh><vertices>";
  for (int k = 0; k < triangles; k++) {
    const std::string x = std::to_string(k + x0);
    s += "<vertex x=\"" + x + "\" y=\"0\" z=\"0\"/>";
    s += "<vertex x=\"" + x + "\" y=\"1\" z=\"0\"/>";
    s += "<vertex x=\"" + x + "\" y=\"0\" z=\"1\"/>";
  }
  s += "</vertices><triangles>";
  for (int k = 0; k < triangles; k++) {
    s += "<triangle v1=\"" + std::to_string(3 * k) + "\" v2=\"" + std::to_string(3 * k + 1) +
         "\" v3=\"" + std::to_string(3 * k + 2) + "\"/>";
  }
  return s + "</triangles></mesh>";
}

std::string object(const std::string& attrs, const std::string& body) {
  return "<object " + attrs + ">" + body + "</object>\n";
}

std::string component(int id, const std::string& transform = "") {
  std::string s = "<component objectid=\"" + std::to_string(id) + "\"";
  if (!transform.empty()) s += " transform=\"" + transform + "\"";
  return s + "/>";
}

std::string item(int id, const std::string& transform = "") {
  std::string s = "<item objectid=\"" + std::to_string(id) + "\"";
  if (!transform.empty()) s += " transform=\"" + transform + "\"";
  return s + "/>";
}

std::string doc(const std::string& objects, const std::string& items = "", bool with_build = true) {
  std::string s = "<?xml version=\"1.0\"?>\n<model unit=\"millimeter\"><resources>\n" + objects +
                  "</resources>\n";
  if (with_build) s += "<build>" + items + "</build>\n";
  return s + "</model>\n";
}

// Builds a root part and the other parts it names, as a package would
// supply them: parts absent from the map stay empty. Sets *loaded to the
// number of other parts registered.
std::unique_ptr<Built> build_parts(const std::string& root,
                                   const std::map<std::string, std::string>& others,
                                   int* registered = nullptr) {
  auto b = std::make_unique<Built>();
  const BuildSettings settings = {0, 500000};
  ModelParts parts;
  EXPECT_EQ(model_parts_read_root(&parts, root.data(), root.size(), "3D/3dmodel.model"), 1);
  for (int k = 1; k < parts.count; k++) {
    const char* name = parts.parts[k].name;
    for (const auto& other : others) {
      if (part_names_equal(name, strlen(name), other.first.data(), other.first.size())) {
        EXPECT_EQ(model_parts_read_part(&parts, k, other.second.data(), other.second.size()), 1);
      }
    }
  }
  if (registered) *registered = parts.count - 1;
  testing::internal::CaptureStderr();
  b->n = model_parts_build(&parts, &settings, stderr, &b->model, &b->infos);
  b->err = testing::internal::GetCapturedStderr();
  model_parts_free(&parts);
  return b;
}

const char* kDepthWarning = "WARNING: 3MF component depth limit reached (cycle?)\n";
const char* kLimitWarning = "WARNING: 3MF instance limit reached\n";

}  // namespace

TEST(Builder, ComponentTransformAppliesBeforeTheItemTransform) {
  const std::string xml =
      doc(object("id=\"1\" name=\"part\"", mesh(1)) +
              object("id=\"2\" name=\"assembly\"",
                     "<components>" + component(1, "1 0 0 0 1 0 0 0 1 5 0 0") + "</components>"),
          item(2, "2 0 0 0 2 0 0 0 2 0 0 7"));
  auto b = build(xml);
  ASSERT_EQ(b->n, 1);
  EXPECT_STREQ(b->infos[0].name, "assembly");
  EXPECT_EQ(b->infos[0].first_triangle, 0);
  EXPECT_EQ(b->infos[0].triangle_count, 1);
  EXPECT_EQ(b->infos[0].vertex_count, 3);
  ASSERT_EQ(b->model.count, 1);
  const Triangle& t = b->model.triangles[0];
  // (p + (5, 0, 0)) * 2 + (0, 0, 7)
  const float expected[3][3] = {{10, 0, 7}, {10, 2, 7}, {10, 0, 9}};
  for (int v = 0; v < 3; v++) {
    for (int a = 0; a < 3; a++) EXPECT_EQ(t.vertices[v][a], expected[v][a]) << v << "," << a;
  }
  EXPECT_EQ(t.normal[0], 1.0f);
  EXPECT_EQ(t.normal[1], 0.0f);
  EXPECT_EQ(t.normal[2], 0.0f);
  EXPECT_EQ(b->model.source_count, 3);
  EXPECT_EQ(b->err, "");
}

TEST(Builder, SelfReferenceIsExpandedElevenTimesWithOneWarning) {
  auto b = build(
      doc(object("id=\"1\"", mesh(1) + "<components>" + component(1) + "</components>"), item(1)));
  ASSERT_EQ(b->n, 1);
  EXPECT_EQ(b->model.count, 11);
  EXPECT_EQ(b->infos[0].vertex_count, 33);
  EXPECT_EQ(b->err, kDepthWarning);
}

TEST(Builder, TwoObjectCycleStopsAtTheDepthLimit) {
  auto b = build(
      doc(object("id=\"1\"", mesh(1, 0) + "<components>" + component(2) + "</components>") +
              object("id=\"2\"", mesh(1, 100) + "<components>" + component(1) + "</components>"),
          item(1)));
  ASSERT_EQ(b->n, 1);
  ASSERT_EQ(b->model.count, 11);
  int from_first = 0;
  for (int i = 0; i < 11; i++) from_first += b->model.triangles[i].vertices[0][0] == 0.0f;
  EXPECT_EQ(from_first, 6);  // depths 0, 2, ..., 10
  EXPECT_EQ(b->count_of(kDepthWarning), 1);
}

TEST(Builder, UnknownReferencesWarnAndTheRestIsBuilt) {
  auto b = build(
      doc(object("id=\"1\"", mesh(2)) +
              object("id=\"2\"", "<components>" + component(77) + component(1) + "</components>"),
          item(99) + item(2)));
  ASSERT_EQ(b->n, 1);
  EXPECT_EQ(b->model.count, 2);
  EXPECT_EQ(b->err,
            "WARNING: <build> item references unknown object 99\n"
            "WARNING: 3MF component references unknown object 77\n");
}

TEST(Builder, ItemsWithoutObjectIdAreSkippedSilently) {
  auto b = build(doc(object("id=\"1\"", mesh(1)), "<item/><item transform=\"1\"/>" + item(1)));
  EXPECT_EQ(b->n, 1);
  EXPECT_EQ(b->err, "");
}

TEST(Builder, NonModelObjectsArePassedOverSilently) {
  const std::string objects =
      object("id=\"1\"", mesh(1)) + object("id=\"2\" type=\"support\"", mesh(5)) +
      object("id=\"3\" type=\"other\"", mesh(5)) +
      object("id=\"4\"", "<components>" + component(2) + component(1) + "</components>");
  // A support item alone emits nothing, so the fallback places every model
  // object (the assembly and its part) but never the support.
  auto b = build(doc(objects, item(2)));
  ASSERT_EQ(b->n, 2);
  EXPECT_EQ(b->model.count, 2);
  EXPECT_EQ(b->err, "");
  auto c = build(doc(objects, item(4)));
  ASSERT_EQ(c->n, 1);
  EXPECT_EQ(c->model.count, 1);
  // type values beginning with "model" are model objects.
  auto d = build(doc(object("id=\"1\" type=\"modelling\"", mesh(3))));
  EXPECT_EQ(d->model.count, 3);
}

TEST(Builder, ElevenNumberTransformsAreIgnored) {
  const std::string eleven = "1 0 0 0 1 0 0 0 1 50 50";
  auto item_case = build(doc(object("id=\"1\"", mesh(1)), item(1, eleven)));
  ASSERT_EQ(item_case->model.count, 1);
  EXPECT_EQ(item_case->model.triangles[0].vertices[0][0], 0.0f);  // identity

  auto comp_case =
      build(doc(object("id=\"1\"", mesh(1)) +
                    object("id=\"2\"", "<components>" + component(1, eleven) + "</components>"),
                item(2, "1 0 0 0 1 0 0 0 1 0 0 9")));
  ASSERT_EQ(comp_case->model.count, 1);
  EXPECT_EQ(comp_case->model.triangles[0].vertices[0][0], 0.0f);
  EXPECT_EQ(comp_case->model.triangles[0].vertices[0][2], 9.0f);  // the parent's transform only
}

TEST(Builder, SamplingTakesEveryThirdOfTwoThousandFiveHundred) {
  auto b = build(doc(object("id=\"1\"", mesh(2500)), item(1)), 1, 1000);
  ASSERT_EQ(b->n, 1);
  ASSERT_EQ(b->model.count, 834);
  for (int i = 0; i < 834; i++) {
    ASSERT_EQ(b->model.triangles[i].vertices[0][0], static_cast<float>(3 * i)) << i;
  }
  EXPECT_EQ(b->model.source_count, 3 * 834);
  // Parse mode keeps every triangle whatever the budget.
  auto all = build(doc(object("id=\"1\"", mesh(2500)), item(1)), 0, 1000);
  EXPECT_EQ(all->model.count, 2500);
}

TEST(Builder, BudgetStopsTheItemsOnceReached) {
  auto b = build(doc(object("id=\"1\"", mesh(800)), item(1) + item(1) + item(1)), 1, 1000);
  ASSERT_EQ(b->n, 2);
  EXPECT_EQ(b->infos[0].triangle_count, 800);
  EXPECT_EQ(b->infos[1].first_triangle, 800);
  EXPECT_EQ(b->infos[1].triangle_count, 200);
  EXPECT_EQ(b->model.count, 1000);
}

TEST(Builder, NamesFallBackToObjektAndIdsToTheirPosition) {
  auto b = build(doc(object("id=\"5\"", mesh(1)) + object("", mesh(1)) +
                         object("id=\"7\" name=\"\"", mesh(1)) +
                         object("id=\"8\" name=\"Tab\there &amp; &quot;\"", mesh(1)),
                     item(5) + item(2) + item(7) + item(8)));
  ASSERT_EQ(b->n, 4);
  EXPECT_STREQ(b->infos[0].name, "Objekt 5");
  EXPECT_STREQ(b->infos[1].name, "Objekt 0");  // stored second, so its id became 2
  EXPECT_STREQ(b->infos[2].name, "Objekt 7");
  EXPECT_STREQ(b->infos[3].name, "Tab\there &amp; &quot;");
}

TEST(Builder, IncompleteVerticesTakeNoIndexAndBadIndicesAreSkipped) {
  const std::string body =
      "<mesh><vertices><vertex x=\"9\" y=\"9\"/><vertex x=\"0\" y=\"0\" z=\"0\"/>"
      "<vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices>"
      "<triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/><triangle v1=\"0\" v2=\"1\" v3=\"3\"/>"
      "<triangle v1=\"0\" v2=\"1\"/><triangle v1=\"4294967295\" v2=\"0\" v3=\"1\"/>"
      "<triangle v1=\"1\" v2=\"1\" v3=\"1\"/></triangles></mesh>";
  auto b = build(doc(object("id=\"1\"", body), item(1)));
  ASSERT_EQ(b->model.count, 2);  // index 3 equals the vertex count; the last is degenerate
  EXPECT_EQ(b->model.triangles[0].vertices[0][0], 0.0f);
  EXPECT_EQ(b->model.triangles[0].vertices[1][0], 1.0f);
  // The degenerate triangle keeps its zero normal.
  EXPECT_EQ(b->model.triangles[1].normal[0], 0.0f);
  EXPECT_EQ(b->model.triangles[1].normal[2], 0.0f);
  EXPECT_EQ(b->err, "");
}

TEST(Builder, DuplicateIdsResolveToTheFirst) {
  auto b = build(
      doc(object("id=\"3\" name=\"first\"", mesh(1)) + object("id=\"3\" name=\"second\"", mesh(2)),
          item(3)));
  ASSERT_EQ(b->n, 1);
  EXPECT_STREQ(b->infos[0].name, "first");
  EXPECT_EQ(b->model.count, 1);
}

TEST(Builder, EachItemGetsItsOwnRun) {
  auto b = build(
      doc(object("id=\"1\" name=\"peg\"", mesh(3)), item(1) + item(1, "1 0 0 0 1 0 0 0 1 0 0 10")));
  ASSERT_EQ(b->n, 2);
  EXPECT_STREQ(b->infos[1].name, "peg");
  EXPECT_EQ(b->infos[1].first_triangle, 3);
  EXPECT_EQ(b->infos[1].triangle_count, 3);
  EXPECT_EQ(b->model.triangles[3].vertices[0][2], 10.0f);
}

TEST(Builder, WithoutABuildEveryModelObjectIsPlacedOnce) {
  const std::string objects =
      object("id=\"1\"", mesh(1)) + object("id=\"2\"", mesh(2)) +
      object("id=\"3\"", "<components>" + component(1) + component(2) + "</components>");
  for (const std::string& xml :
       {doc(objects, "", false), doc(objects, "") + "",
        "<model><object id=\"1\">" + mesh(1) + "</object><object id=\"2\">" + mesh(2) +
            "</object><object id=\"3\"><components>" + component(1) + component(2) +
            "</components></object><build>" + item(3)}) {
    auto b = build(xml);
    ASSERT_EQ(b->n, 3) << xml;
    EXPECT_EQ(b->model.count, 1 + 2 + 3);
    EXPECT_EQ(b->model.source_count, 18);
  }
}

TEST(Builder, ObjectsWithoutMeshOrComponentsAreNotStored) {
  const std::string verts_only =
      "<mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/></vertices></mesh>";
  auto b = build(doc(object("id=\"1\"", verts_only) + object("id=\"2\"", mesh(1)), item(1)));
  EXPECT_EQ(b->err, "WARNING: <build> item references unknown object 1\n");
  EXPECT_EQ(b->n, 1);  // by the fallback
  auto none = build(doc(object("id=\"1\"", verts_only), item(1)));
  EXPECT_EQ(none->n, 0);
  EXPECT_EQ(none->infos, nullptr);
  // Objects found but nothing emitted: the (empty) list is still handed out.
  auto empty = build(doc(object("id=\"1\"", "<components>" + component(5) + "</components>")));
  EXPECT_EQ(empty->n, 0);
  EXPECT_NE(empty->infos, nullptr);
  EXPECT_EQ(empty->model.count, 0);
  auto nothing = build("");
  EXPECT_EQ(nothing->n, 0);
  EXPECT_EQ(nothing->model.count, 0);
}

TEST(Builder, TableAndComponentListsHaveFixedSizes) {
  std::string objects;
  for (int i = 1; i <= 130; i++) objects += object("id=\"" + std::to_string(i) + "\"", mesh(1));
  auto b = build(doc(objects, item(128) + item(129)));
  EXPECT_EQ(b->n, 1);
  EXPECT_EQ(b->err, "WARNING: <build> item references unknown object 129\n");

  std::string comps = "<components>";
  for (int i = 0; i < 40; i++) comps += component(1);
  auto c = build(
      doc(object("id=\"1\"", mesh(1)) + object("id=\"2\"", comps + "</components>"), item(2)));
  EXPECT_EQ(c->model.count, 32);
}

TEST(Builder, ComponentFanOutStopsAtTheInstanceLimit) {
  // 32 components naming their own object ask for 32^10 instances.
  std::string comps = "<components>";
  for (int i = 0; i < 32; i++) comps += component(1);
  const std::string xml = doc(object("id=\"1\"", mesh(1) + comps + "</components>"), item(1));
  // Parse mode: no budget stops it before the cap.
  auto b = build(xml);
  ASSERT_EQ(b->n, 1);
  EXPECT_GT(b->model.count, 0);
  EXPECT_LE(b->model.count, 1000000);
  // The refused references count as expansions, so warnings stay bounded.
  EXPECT_LE(b->count_of(kDepthWarning), 1000000);
  EXPECT_EQ(b->count_of(kLimitWarning), 1);
  EXPECT_EQ(b->infos[0].triangle_count, b->model.count);
}

TEST(InstantiateObject, TriangleCapStopsTheModel) {
  std::string xml = doc(object("id=\"1\"", mesh(100)));
  auto b = build(xml);
  ASSERT_EQ(b->model.count, 100);
  // Rebuild the definition by hand from the built triangles.
  std::vector<float> vertices;
  std::vector<int32_t> indices;
  for (int k = 0; k < 100; k++) {
    for (int v = 0; v < 3; v++) {
      for (int a = 0; a < 3; a++) vertices.push_back(b->model.triangles[k].vertices[v][a]);
      indices.push_back(3 * k + v);
    }
  }
  auto def = std::make_unique<ObjectDef>();
  *def = ObjectDef{};
  def->id = 1;
  def->has_mesh = 1;
  def->vertices = vertices.data();
  def->vertex_count = 300;
  def->triangles = indices.data();
  def->triangle_count = 100;
  def->has_components = 1;
  def->component_count = 2;
  def->components[0].object_id = 1;
  def->components[1].object_id = 1;

  ModelParts parts = {};
  PartTable table = {nullptr, def.get(), 1, 1};
  parts.parts = &table;
  parts.count = 1;
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  InstanceState state = {{0, 0}, stderr, 0, 1000000, 250, 0, 0, nullptr};
  testing::internal::CaptureStderr();
  const int emitted =
      instantiate_object(&parts, 0, def.get(), &k_identity_transform, &m, 0, &state);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(emitted, 250);
  EXPECT_EQ(m.count, 250);
  EXPECT_EQ(state.limit_reached, 1);
  EXPECT_EQ(err, kLimitWarning);

  // The instance cap alone: three expansions allowed.
  m.count = 0;
  InstanceState few = {{0, 0}, stderr, 0, 3, 1000000, 0, 0, nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(instantiate_object(&parts, 0, def.get(), &k_identity_transform, &m, 0, &few), 300);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kLimitWarning);
  model_free(&m);
}

TEST(Builder, CutOffDocumentsNeverReadPastTheirEnd) {
  const std::string xml =
      doc(object("id=\"1\" name=\"cut\"", mesh(2)) +
              object("id=\"2\"",
                     "<components>" + component(1, "1 0 0 0 1 0 0 0 1 1 2 3") + "</components>"),
          item(2, "1 0 0 0 1 0 0 0 1 4 5 6"));
  for (size_t len = 0; len <= xml.size(); len++) {
    GuardedText g(xml.substr(0, len));
    ASSERT_TRUE(g.ok());
    auto b = build_from(g.begin(), g.size(), 0, 500000);
    if (len == xml.size()) {
      EXPECT_EQ(b->model.count, 2);
    }
  }
}

TEST(Builder, TagsWithoutClosingBracketCostLinearTime) {
  // Hundreds of thousands of start tags with no '>' anywhere after them: each
  // search for the end of a tag must not rescan the rest of the element.
  std::string many_items;
  for (int i = 0; i < 200000; i++) many_items += "<item objectid=\"1\" ";
  auto b = build(doc(object("id=\"1\"", mesh(1)), many_items));
  EXPECT_EQ(b->n, 1);

  std::string many_vertices = "<mesh>";
  for (int i = 0; i < 200000; i++) many_vertices += "<vertex x=\"1\" ";
  auto c = build("<model><object id=\"1\">" + many_vertices + "</object>\n</model>");
  EXPECT_EQ(c->n, 0);
}

TEST(Builder, ObjectsOfOtherPartsAreFoundByPartAndId) {
  // Two parts each define object 1 (one and two triangles): p:path tells them
  // apart, names and runs follow the root part's rules.
  const std::map<std::string, std::string> parts = {
      {"/3D/Objects/a.model", doc(object("id=\"1\" name=\"a\"", mesh(1)))},
      {"/3D/Objects/b.model", doc(object("id=\"1\"", mesh(2, 10)) +
                                  // Outside the root p:path does not count: object 1 of this part.
                                  object("id=\"2\"",
                                         "<components><component objectid=\"1\" "
                                         "p:path=\"/3D/Objects/a.model\"/></components>"))},
  };
  const std::string assembly =
      "<components><component objectid=\"1\" p:path=\"/3D/Objects/a.model\"/>"
      "<component objectid=\"1\" p:path=\"3d/objects/B.MODEL\" "
      "transform=\"1 0 0 0 1 0 0 0 1 0 0 5\"/><component objectid=\"1\"/></components>";
  struct Case {
    const char* what;
    std::string root;
    int objects;
    int triangles;
    std::string first_name;
    std::string err;
  } cases[] = {
      {"components",
       doc(object("id=\"1\" name=\"root\"", mesh(4)) + object("id=\"7\"", assembly), item(7)), 1,
       1 + 2 + 4, "Objekt 7", ""},
      {"build items",
       doc("",
           "<item objectid=\"1\" p:path=\"/3D/Objects/b.model\"/>"
           "<item objectid=\"2\" p:path=\"/3D/Objects/b.model\"/>"
           "<item objectid=\"1\" p:path=\"/3D/Objects/a.model\"/>"),
       3, 2 + 2 + 1, "Objekt 1", ""},
      {"the root part by name",
       doc(object("id=\"3\"", mesh(3)), "<item objectid=\"3\" p:path=\"/3D/3DModel.model\"/>"), 1,
       3, "Objekt 3", ""},
      {"missing parts and ids",
       doc(object("id=\"7\"",
                  "<components><component objectid=\"1\" "
                  "p:path=\"/3D/none.model\"/>" +
                      component(1) + "</components>"),
           "<item objectid=\"9\" p:path=\"/3D/Objects/a.model\"/>"
           "<item objectid=\"1\" p:path=\"/3D/none.model\"/>" +
               item(7) + item(7)),
       // Nothing placed: the fallback finds part a's object.
       1, 1, "a",
       "WARNING: <build> item references unknown object 9\n"
       "WARNING: <build> item references unknown object 1\n"
       "WARNING: 3MF component references unknown object 1\n"
       "WARNING: 3MF component references unknown object 1\n"},
      {"no build: every object of every part", doc(object("id=\"7\"", assembly), "", false), 4,
       (1 + 2) + 1 + 2 + 2, "Objekt 7", "WARNING: 3MF component references unknown object 1\n"},
  };
  for (const Case& c : cases) {
    auto b = build_parts(c.root, parts);
    EXPECT_EQ(b->n, c.objects) << c.what;
    EXPECT_EQ(b->model.count, c.triangles) << c.what;
    if (b->n > 0) {
      EXPECT_EQ(b->infos[0].name, c.first_name) << c.what;
    }
    EXPECT_EQ(b->err, c.err) << c.what;
  }
}

TEST(Builder, PartLimitsHoldPerPartAndCapsOverAll) {
  // 130 objects in one part: the first 128 count there, and the root keeps
  // its own 128.
  std::string many;
  for (int i = 1; i <= 130; i++) many += object("id=\"" + std::to_string(i) + "\"", mesh(1));
  std::string items;
  for (int id : {1, 128, 129}) {
    items += "<item objectid=\"" + std::to_string(id) + "\" p:path=\"/3D/many.model\"/>";
  }
  auto b = build_parts(doc(many, items + item(128)), {{"3D/many.model", doc(many)}});
  EXPECT_EQ(b->n, 3);
  EXPECT_EQ(b->err, "WARNING: <build> item references unknown object 129\n");

  // Names that differ only by case or a leading '/' are one part; beyond
  // 1024 other parts, references name unknown objects.
  std::string refs;
  for (int i = 0; i < 1100; i++) {
    refs += "<item objectid=\"1\" p:path=\"" + std::string(i % 2 ? "/" : "") + "3D/P" +
            std::to_string(i / 2) + ".model\"/>";
    refs += "<item objectid=\"1\" p:path=\"3d/p" + std::to_string(i / 2) + ".MODEL\"/>";
  }
  int registered = 0;
  auto c =
      build_parts(doc("", refs), {{"3D/P0.model", doc(object("id=\"1\"", mesh(1)))}}, &registered);
  EXPECT_EQ(registered, 550);
  EXPECT_EQ(c->n, 4);  // four references to P0
  std::string more;
  for (int i = 0; i < 1030; i++) {
    more += "<item objectid=\"1\" p:path=\"/p" + std::to_string(i) + "\"/>";
  }
  more += "<item objectid=\"1\" p:path=\"/p1029\"/><item objectid=\"1\" p:path=\"/p5\"/>";
  auto d = build_parts(
      doc("", more),
      {{"p1029", doc(object("id=\"1\"", mesh(1)))}, {"p5", doc(object("id=\"1\"", mesh(2)))}},
      &registered);
  EXPECT_EQ(registered, 1024);
  EXPECT_EQ(d->n, 2);  // p5 twice; p1029 was never registered
  EXPECT_EQ(d->model.count, 4);
}

TEST(Build3mfModel, ReentrantWithSettingsAndWarningsOfItsOwn) {
  // The same package built at once on several threads, each with its own
  // budget: no build may see another's settings. Warnings go where asked.
  const std::string xml = doc(object("id=\"1\"", mesh(5000)), item(1) + item(9));
  const std::string zip = zip_archive({{"3D/3dmodel.model", xml}}, Zip64::kFull);
  const std::vector<uint8_t> input(zip.begin(), zip.end());
  std::vector<int> counts(4, -1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; round++) {
        const BuildSettings settings = {1, 1000 * (t + 1)};
        Model model;
        ObjectInfo* infos = nullptr;
        int n = 0;
        const int status =
            build_3mf_model(input.data(), input.size(), &settings, nullptr, &model, &infos, &n);
        const int count = status == kInput3mfOk && n == 1 ? model.count : -1;
        if (round == 0 || counts[t] == count)
          counts[t] = count;
        else
          counts[t] = -2;
        if (status == kInput3mfOk) {
          model_free(&model);
          free(infos);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  // 5000 triangles thinned to fit each budget by a whole stride.
  EXPECT_EQ(counts, (std::vector<int>{1000, 1667, 2500, 2500}));

  FILE* warnings = tmpfile();
  ASSERT_NE(warnings, nullptr);
  const BuildSettings all = {0, 0};
  Model model;
  ObjectInfo* infos = nullptr;
  int n = 0;
  ASSERT_EQ(build_3mf_model(input.data(), input.size(), &all, warnings, &model, &infos, &n),
            kInput3mfOk);
  EXPECT_EQ(model.count, 5000);
  model_free(&model);
  free(infos);
  rewind(warnings);
  char line[128] = {};
  EXPECT_NE(fgets(line, sizeof line, warnings), nullptr);
  EXPECT_STREQ(line, "WARNING: <build> item references unknown object 9\n");
  fclose(warnings);
}

namespace {

// The root part read from a package, deflated and inflated in pieces of
// piece bytes (0: the default), then built.
std::unique_ptr<Built> build_in_pieces(const std::string& xml, size_t piece) {
  const std::string zip =
      zip_archive({{"3D/3dmodel.model", raw_deflate(xml, 6), 8, static_cast<int64_t>(xml.size())}});
  const std::vector<uint8_t> input(zip.begin(), zip.end());
  const uint64_t header = zip_find_entry(input.data(), input.size(), "3D/3dmodel.model");
  auto b = std::make_unique<Built>();
  const BuildSettings settings = {0, 500000};
  ModelParts parts;
  EXPECT_EQ(model_parts_read_root_entry(&parts, input.data(), input.size(), header,
                                        "3D/3dmodel.model", piece),
            kPartRead);
  testing::internal::CaptureStderr();
  b->n = model_parts_build(&parts, &settings, stderr, &b->model, &b->infos);
  b->err = testing::internal::GetCapturedStderr();
  model_parts_free(&parts);
  return b;
}

void expect_same_build(const Built& a, const Built& b, const std::string& what) {
  ASSERT_EQ(a.n, b.n) << what;
  ASSERT_EQ(a.model.count, b.model.count) << what;
  EXPECT_EQ(a.err, b.err) << what;
  EXPECT_EQ(a.model.source_count, b.model.source_count) << what;
  for (int i = 0; i < a.n; i++) {
    EXPECT_STREQ(a.infos[i].name, b.infos[i].name) << what;
    EXPECT_EQ(a.infos[i].triangle_count, b.infos[i].triangle_count) << what;
  }
  EXPECT_EQ(memcmp(a.model.triangles, b.model.triangles,
                   sizeof(Triangle) * static_cast<size_t>(a.model.count)),
            0)
      << what;
}

}  // namespace

TEST(Builder, PartsReadInPiecesReadAsWholeDocuments) {
  // Documents whose elements are found only by the exact search rules, each
  // read whole and in pieces that cut them everywhere: tags of every shape,
  // "</object>" and "<build>" inside tags and values, an object that never
  // closes or whose "</object>" ends the document.
  const std::string odd_vertices =
      "<mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/><vertex\tx=\"1\" y=\"0\" z=\"0\"/>"
      "<vertex x='0' y='1' z='0'/><vertex x=\"    1.0E+00\" y=\"1\" z=\"0\" />"
      "<vertex x=\"2\" y=\"2\" z=\"2\" x=\"0\"/><vertex x=\"3\"y=\"3\"z=\"3\"/>"
      "<vertex x=\"1 \" y=\"-1.25e-1\" z=\"1\"></vertex><vertex x=\"1\" y=\"2\"/>"
      "</vertices><triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/>"
      "<triangle v1=\"0\" v2=\"1\" v3=\"3\" pid=\"1\"/><triangle v1=\" 4\" v2=\"5\" v3=\"6\" />"
      "<triangle\nv1=\"0\" v2=\"2\" v3=\"3\"/><triangle v1=\"6\" v2=\"5\" v3=\"7\"/>"
      "<triangles v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh>";
  const struct {
    const char* what;
    std::string xml;
    int objects;
    int triangles;
  } cases[] = {
      {"tag shapes", doc(object("id=\"1\"", odd_vertices), item(1)), 1, 4},
      {"close inside a value",
       doc(object("id=\"1\"", mesh(1) + "<vertex x=\"1\" y=\"1\" z=\"1</object>") + "\"/>" +
               object("id=\"2\"", mesh(2)),
           item(1) + item(2)),
       2, 3},
      {"vertex right before the close",
       "<model>" + object("id=\"1\"", mesh(2) + "<vertex") + object("id=\"2\"", mesh(1)) +
           "<build>" + item(2) + item(1) + "</build></model>",
       2, 3},
      {"tags in a name",
       doc(object("id=\"1\" name=\"<vertex x='5' y='5' z='5'/><build>\"", mesh(1)),
           item(1, "1 0 0 0 1 0 0 0 1 0 0 5</build>")),
       1, 1},
      {"unclosed object",
       "<model>" + object("id=\"1\"", mesh(3)) +
           "<object id=\"2\"><components><component objectid=\"1\" p:path=\"/3D/x.model\"/>" +
           "<build>" + item(2) + "</build>",
       1, 3},
      {"close at the very end", "<model><object id=\"1\">" + mesh(2) + "</object>", 0, 0},
      {"no '>' after a tag", "<model>" + object("id=\"1\"", mesh(2)) + "<object id=\"2\"><vertex",
       1, 2},
      {"many objects", doc([] {
         std::string s;
         for (int i = 1; i <= 140; i++) s += object("id=\"" + std::to_string(i) + "\"", mesh(1));
         return s;
       }()),
       128, 128},
  };
  for (const auto& c : cases) {
    auto whole = build(c.xml);
    EXPECT_EQ(whole->n, c.objects) << c.what;
    EXPECT_EQ(whole->model.count, c.triangles) << c.what;
    for (size_t piece : {1, 2, 5, 16, 61, 1000, 0}) {
      auto pieces = build_in_pieces(c.xml, piece);
      expect_same_build(*whole, *pieces,
                        std::string(c.what) + ", pieces of " + std::to_string(piece));
    }
  }
}
