// Path: how the control values are read, where the spline goes at and
// beyond its ends, and which error a broken declaration ends in.
#include "testutil.h"

namespace {

struct Paths : ScriptFixture {
  // The path's value at each time, from a declaration "p = path PARAMS;".
  std::vector<float> at(const std::string& params, std::initializer_list<float> times) {
    load("s.plg\np = path " + params + ";\n");
    auto* path = dynamic_cast<Path*>(get("p"));
    Constant clock(0.0f, nullptr);
    path->time = &clock;
    std::vector<float> out;
    for (float v : times) {
      clock.k = v;
      out.push_back(path->value());
    }
    return out;
  }
};

TEST_F(Paths, ValuesAtTheKnotsAndBeyondTheEnds) {
  struct Case {
    const char* params;
    std::initializer_list<float> times;
    std::vector<float> expect;
  } cases[] = {
      {"num=3,type=0,y=0,1,0", {0, 1, 2, 5, -1, 1e30f}, {0, 1, 0, 0, 0, 0}},
      {"num=4,type=1,y=1,2,3,4", {0, 1, 2, 3, 4, -1, 1e30f, -1e30f}, {4, 1, 2, 3, 4, 3, 4, 4}},
      {"num=3,y=0,3,0,org=10,scale=2", {1, 0}, {16, 10}},
      // Items are read in turn and wrap around the values.
      {"num=3,y=1,2,3,4,5", {0, 1, 2}, {4, 5, 3}},
      // An empty item (two blanks) reads the number after it again.
      {"num=5,y=1,,2,,3", {0, 1, 2, 3, 4}, {1, 2, 2, 3, 3}},
      // A key after the values takes a place without storing: 9 lands on 0.
      {"num=3,y=7,8,org=0,9", {0, 1, 2}, {9, 8, 0}},
      // Closed, the seam is built from the item count: the trailing key
      // leaves a zero where the loop starts.
      {"num=4,type=1,y=1,2,3,4,org=0", {0, 1, 2, 4}, {0, 1, 2, 0}},
  };
  for (const Case& c : cases) {
    const std::vector<float> got = at(c.params, c.times);
    ASSERT_EQ(got.size(), c.expect.size());
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_NEAR(got[i], c.expect[i], 1e-5) << c.params << " at " << c.times.begin()[i];
  }
  // Between knots: y=0,1,0 with m = 0, -3, 0 gives 0.6875 at 0.5 and 1.5.
  EXPECT_EQ(at("num=3,y=0,1,0", {0.5f, 1.5f}), (std::vector<float>{0.6875f, 0.6875f}));
}

TEST_F(Paths, BrokenDeclarationsEndInTheirErrorInOrder) {
  const struct {
    const char* params;
    const char* error;
  } cases[] = {
      {"num=2,type=2", "unknown spline type"},  // checked before num
      {"num=5,type=-1,y=1", "unknown spline type"},
      {"num=2,y=1,2", "minimum for num= of control points is 3"},
      {"y=1,2,3", "minimum for num= of control points is 3"},
      {"num=3,type=1", "lst_Parse(): parameter y= is compulsory"},
      {"num=3,y=1e39,0,0", "incorrect spline"},
      {"num=100000000,y=1", "incorrect spline"},
      {"num=3,type=1,y=1,2", ""},
  };
  for (const auto& c : cases) {
    load(std::string("s.plg\np = path ") + c.params + ";\n");
    EXPECT_EQ(errorOf([&] { get("p"); }), c.error) << c.params;
  }
}

}  // namespace
