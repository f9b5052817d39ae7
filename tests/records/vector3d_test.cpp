#include "tessel/records/vector3d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using Vec = Vector3d<float>;

constexpr float Inf = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

// Exact component check; EXPECT_EQ on floats would hide -0 against +0 and
// cannot match NaN.
void expectComponents(const Vec& v, float x, float y, float z) {
  const float got[] = {v.getX(), v.getY(), v.getZ()};
  const float want[] = {x, y, z};
  for (int i = 0; i < 3; ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "component " << i << " is " << got[i];
    } else {
      EXPECT_EQ(got[i], want[i]) << "component " << i;
      EXPECT_EQ(std::signbit(got[i]), std::signbit(want[i])) << "sign of component " << i;
    }
  }
}

TEST(Vector3d, DivisionByAScalarMultipliesByOneRoundedReciprocal) {
  // 1/3 rounds to 0.333333343f; 5 times that is 1.66666675f, one ulp above
  // the true quotient 1.66666663f. The same holds for 7 and 10.
  expectComponents(Vec(5, 7, 10) / 3.0f, 1.66666675f, 2.33333349f, 3.33333349f);
  // Division by a vector is three true divisions.
  Vec w(5, 7, 10);
  w /= Vec(3, 3, 3);
  expectComponents(w, 1.66666663f, 2.33333325f, 3.33333325f);
  expectComponents(Vec(1, -1, 0) / 0.0f, Inf, -Inf, NaN);
  expectComponents(Vec(1, -1, 0) / Vec(0, 0, 0), Inf, -Inf, NaN);
}

TEST(Vector3d, SumsAreFormedInDoubleAndDifferencesRoundedToFloatFirst) {
  // In float, 4096² + 1 + 1 loses each 1 to rounding; in double it keeps both.
  const Vec a(4096, 1, 1);
  EXPECT_EQ(a.length2(), 16777218.0f);
  EXPECT_EQ(a.dot(a), 16777218.0f);
  // Squares that overflow or underflow a float still give the length.
  const float big = std::ldexp(1.0f, 100);
  const float tiny = std::ldexp(1.0f, -100);
  EXPECT_EQ(Vec(3 * big, 4 * big, 0).length(), 5 * big);
  EXPECT_EQ(Vec(3 * tiny, 4 * tiny, 0).length(), 5 * tiny);
  EXPECT_EQ(Vec(big, big, 0).dot(Vec(big, -big, 7)), 0.0f);  // float would give inf - inf
  EXPECT_EQ(Vec(1, 2, 3).dot(Vec(4, -5, 6)), 12.0f);

  // 2^24 - (-1) rounds to 2^24 in float, so the squared distance is 2^48.
  EXPECT_EQ(Vec(-1, 0, 0).distance2(Vec(16777216, 0, 0)), 281474976710656.0f);
  EXPECT_EQ(Vec(1, 1, 1).distance(Vec(4, 5, 13)), 13.0f);
  const Vec far(3, 4, 100);
  EXPECT_EQ(Vec(0, 0, -7).distanceXY(far), 5.0f);
  EXPECT_EQ(Vec(0, 0, -7).distance2XY(far), 25.0f);
}

TEST(Vector3d, NormalizeReturnsOldLengthAndHandlesZero) {
  Vec v(3, 4, 12);
  EXPECT_EQ(v.normalize(), 13.0f);
  EXPECT_FLOAT_EQ(v.getX(), 3.0f / 13.0f);
  EXPECT_FLOAT_EQ(v.getZ(), 12.0f / 13.0f);
  // -0 has length exactly 0 too, and comes back as +0.
  Vec negativeZero(-0.0f, -0.0f, -0.0f);
  EXPECT_EQ(negativeZero.normalize(), 0.0f);
  expectComponents(negativeZero, 0, 0, 0);
  // A length whose square underflows a float is not mistaken for zero.
  const float tiny = std::ldexp(1.0f, -100);
  Vec small(3 * tiny, 0, 4 * tiny);
  EXPECT_EQ(small.normalize(), 5 * tiny);
  EXPECT_FLOAT_EQ(small.getZ(), 0.8f);
}

TEST(Vector3d, ComparisonsAreComponentWiseAndNaNMakesThemFalse) {
  struct Case { Vec a, b; bool equal, lessEqual, greaterEqual; } cases[] = {
      {Vec(1, 2, 3), Vec(1, 2, 3), true, true, true},
      {Vec(1, 5, 3), Vec(2, 4, 3), false, false, false},  // neither way
      {Vec(1, 2, 3), Vec(1, 2, 4), false, true, false},
      {Vec(2, 2, 4), Vec(1, 2, 3), false, false, true},
      {Vec(-0.0f, 0, 0), Vec(0, 0, 0), true, true, true},  // -0 equals +0
      {Vec(NaN, 0, 0), Vec(NaN, 0, 0), false, false, false},
  };
  int row = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << row;
    EXPECT_EQ(c.a != c.b, !c.equal) << row;
    EXPECT_EQ(c.a <= c.b, c.lessEqual) << row;
    EXPECT_EQ(c.a >= c.b, c.greaterEqual) << row++;
  }
}

TEST(Vector3d, ArithmeticAndAccessorsWorkComponentWise) {
  const Vec a(1, 2, 3);
  const Vec b(0.5f, -4, 8);
  expectComponents(a + b, 1.5f, -2, 11);
  expectComponents(a - b, 0.5f, 6, -5);
  expectComponents(-Vec(), -0.0f, -0.0f, -0.0f);
  expectComponents(a * 2.0f, 2, 4, 6);
  expectComponents(a * b, 0.5f, -8, 24);
  Vec c = a;
  c += b;
  c -= Vec(1, 1, 1);
  c *= 2.0f;
  c *= Vec(1, 0.5f, -1);
  expectComponents(c, 1, -3, -20);
  c.update(Vec(1, 1, 1));
  c.x() = 7;
  c.setY(8);
  c.z() += 8;
  expectComponents(c, 7, 8, -11);
  c.set(Vec(4, 5, 6));
  c.setX(1), c.setZ(2);
  expectComponents(c, 1, 5, 2);
  c.zero();
  expectComponents(c, 0, 0, 0);
}

}  // namespace
