// Vector3d is the library's three-component vector: avatar positions in the
// server records, and a small arithmetic type offered to the host. It holds
// three floats x, y, z (12 bytes, no other state) and is built for float
// only; the members are compiled once inside the library, so every program
// gets the same rounding whatever its own floating-point flags are.
//
// The arithmetic is exact about its rounding:
//   - division by a scalar takes one reciprocal rounded to float and
//     multiplies each component by it;
//   - sums of squares and of products (length2, distance2, dot and the
//     measures built on them) are formed in double precision and rounded to
//     float once, so they neither overflow nor underflow where the float
//     result is representable;
//   - nothing guards against zero or NaN: the floating-point rules give
//     infinities and NaN.
//
// A plain value; any thread may use its own vectors.

#ifndef TESSEL_RECORDS_VECTOR3D_H_
#define TESSEL_RECORDS_VECTOR3D_H_

#include <type_traits>

#include "tessel/tessel_export.h"

template <typename T>
class TESSEL_EXPORT Vector3d {
  static_assert(std::is_same_v<T, float>, "Vector3d is built for float only");

 public:
  // (0, 0, 0).
  Vector3d();
  Vector3d(T x, T y, T z);
  Vector3d(const Vector3d& other) = default;
  Vector3d& operator=(const Vector3d& other) = default;
  ~Vector3d() = default;

  T& x();
  T& y();
  T& z();
  const T& x() const;
  const T& y() const;
  const T& z() const;
  T getX() const;
  T getY() const;
  T getZ() const;
  void setX(T value);
  void setY(T value);
  void setZ(T value);

  // Replace all three components.
  void set(const Vector3d& other);
  void set(T x, T y, T z);
  void zero();

  // Adds the argument component by component, like +=.
  void update(const Vector3d& delta);
  void update(T dx, T dy, T dz);

  // Exact equality of all three components; a NaN component makes two
  // vectors unequal, so != is true.
  bool operator==(const Vector3d& other) const;
  bool operator!=(const Vector3d& other) const;
  // Component-wise tests, not an ordering: <= holds when every component is
  // less than or equal to the other's, >= when every one is greater or
  // equal. Any NaN makes both false, and two vectors may be neither.
  bool operator<=(const Vector3d& other) const;
  bool operator>=(const Vector3d& other) const;

  Vector3d operator+(const Vector3d& other) const;
  Vector3d operator-(const Vector3d& other) const;
  Vector3d operator-() const;
  Vector3d operator*(T scale) const;
  // Component by component.
  Vector3d operator*(const Vector3d& other) const;
  // Multiplies by the reciprocal of divisor rounded to float.
  Vector3d operator/(T divisor) const;
  // Component by component.
  Vector3d operator/(const Vector3d& other) const;

  Vector3d& operator+=(const Vector3d& other);
  Vector3d& operator-=(const Vector3d& other);
  Vector3d& operator*=(T scale);
  Vector3d& operator*=(const Vector3d& other);
  Vector3d& operator/=(T divisor);
  Vector3d& operator/=(const Vector3d& other);

  // x² + y² + z² and its square root.
  T length() const;
  T length2() const;
  // Distance to other, from the differences other − this, each rounded to
  // float before it is squared.
  T distance(const Vector3d& other) const;
  T distance2(const Vector3d& other) const;
  // The same in the x-y plane; z is ignored.
  T distanceXY(const Vector3d& other) const;
  T distance2XY(const Vector3d& other) const;
  T dot(const Vector3d& other) const;

  // Scales the vector to length 1 and returns the length it had. A vector
  // of length exactly 0 becomes (0, 0, 0) and 0 is returned.
  T normalize();

 private:
  T x_;
  T y_;
  T z_;
};

extern template class Vector3d<float>;

static_assert(sizeof(Vector3d<float>) == 12);
static_assert(std::is_trivially_copyable_v<Vector3d<float>>);

#endif  // TESSEL_RECORDS_VECTOR3D_H_
