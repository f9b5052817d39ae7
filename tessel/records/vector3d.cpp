#include "tessel/records/vector3d.h"

#include <cmath>

namespace {

// Sums of squares and products in double, rounded to float by the caller
// exactly once. Products of two floats are exact in double.
double sumOfSquares(double a, double b, double c) { return a * a + b * b + c * c; }

}  // namespace

template <typename T>
Vector3d<T>::Vector3d() : x_(0), y_(0), z_(0) {}

template <typename T>
Vector3d<T>::Vector3d(T x, T y, T z) : x_(x), y_(y), z_(z) {}

template <typename T>
T& Vector3d<T>::x() {
  return x_;
}

template <typename T>
T& Vector3d<T>::y() {
  return y_;
}

template <typename T>
T& Vector3d<T>::z() {
  return z_;
}

template <typename T>
const T& Vector3d<T>::x() const {
  return x_;
}

template <typename T>
const T& Vector3d<T>::y() const {
  return y_;
}

template <typename T>
const T& Vector3d<T>::z() const {
  return z_;
}

template <typename T>
T Vector3d<T>::getX() const {
  return x_;
}

template <typename T>
T Vector3d<T>::getY() const {
  return y_;
}

template <typename T>
T Vector3d<T>::getZ() const {
  return z_;
}

template <typename T>
void Vector3d<T>::setX(T value) {
  x_ = value;
}

template <typename T>
void Vector3d<T>::setY(T value) {
  y_ = value;
}

template <typename T>
void Vector3d<T>::setZ(T value) {
  z_ = value;
}

template <typename T>
void Vector3d<T>::set(const Vector3d& other) {
  *this = other;
}

template <typename T>
void Vector3d<T>::set(T x, T y, T z) {
  x_ = x;
  y_ = y;
  z_ = z;
}

template <typename T>
void Vector3d<T>::zero() {
  set(0, 0, 0);
}

template <typename T>
void Vector3d<T>::update(const Vector3d& delta) {
  *this += delta;
}

template <typename T>
void Vector3d<T>::update(T dx, T dy, T dz) {
  x_ += dx;
  y_ += dy;
  z_ += dz;
}

template <typename T>
bool Vector3d<T>::operator==(const Vector3d& other) const {
  return x_ == other.x_ && y_ == other.y_ && z_ == other.z_;
}

template <typename T>
bool Vector3d<T>::operator!=(const Vector3d& other) const {
  return !(*this == other);
}

template <typename T>
bool Vector3d<T>::operator<=(const Vector3d& other) const {
  return x_ <= other.x_ && y_ <= other.y_ && z_ <= other.z_;
}

template <typename T>
bool Vector3d<T>::operator>=(const Vector3d& other) const {
  return x_ >= other.x_ && y_ >= other.y_ && z_ >= other.z_;
}

template <typename T>
Vector3d<T> Vector3d<T>::operator+(const Vector3d& other) const {
  return Vector3d(x_ + other.x_, y_ + other.y_, z_ + other.z_);
}

template <typename T>
Vector3d<T> Vector3d<T>::operator-(const Vector3d& other) const {
  return Vector3d(x_ - other.x_, y_ - other.y_, z_ - other.z_);
}

template <typename T>
Vector3d<T> Vector3d<T>::operator-() const {
  return Vector3d(-x_, -y_, -z_);
}

template <typename T>
Vector3d<T> Vector3d<T>::operator*(T scale) const {
  return Vector3d(x_ * scale, y_ * scale, z_ * scale);
}

template <typename T>
Vector3d<T> Vector3d<T>::operator*(const Vector3d& other) const {
  return Vector3d(x_ * other.x_, y_ * other.y_, z_ * other.z_);
}

template <typename T>
Vector3d<T> Vector3d<T>::operator/(T divisor) const {
  Vector3d result(*this);
  result /= divisor;
  return result;
}

template <typename T>
Vector3d<T> Vector3d<T>::operator/(const Vector3d& other) const {
  return Vector3d(x_ / other.x_, y_ / other.y_, z_ / other.z_);
}

template <typename T>
Vector3d<T>& Vector3d<T>::operator+=(const Vector3d& other) {
  update(other.x_, other.y_, other.z_);
  return *this;
}

template <typename T>
Vector3d<T>& Vector3d<T>::operator-=(const Vector3d& other) {
  x_ -= other.x_;
  y_ -= other.y_;
  z_ -= other.z_;
  return *this;
}

template <typename T>
Vector3d<T>& Vector3d<T>::operator*=(T scale) {
  x_ *= scale;
  y_ *= scale;
  z_ *= scale;
  return *this;
}

template <typename T>
Vector3d<T>& Vector3d<T>::operator*=(const Vector3d& other) {
  x_ *= other.x_;
  y_ *= other.y_;
  z_ *= other.z_;
  return *this;
}

template <typename T>
Vector3d<T>& Vector3d<T>::operator/=(T divisor) {
  // One reciprocal, rounded to T, for all three components.
  const T reciprocal = T(1) / divisor;
  return *this *= reciprocal;
}

template <typename T>
Vector3d<T>& Vector3d<T>::operator/=(const Vector3d& other) {
  x_ /= other.x_;
  y_ /= other.y_;
  z_ /= other.z_;
  return *this;
}

template <typename T>
T Vector3d<T>::length() const {
  // The square root of the double sum is correctly rounded to T, as the
  // double carries more than twice T's precision.
  return static_cast<T>(std::sqrt(sumOfSquares(x_, y_, z_)));
}

template <typename T>
T Vector3d<T>::length2() const {
  return static_cast<T>(sumOfSquares(x_, y_, z_));
}

template <typename T>
T Vector3d<T>::distance(const Vector3d& other) const {
  const Vector3d difference = other - *this;
  return difference.length();
}

template <typename T>
T Vector3d<T>::distance2(const Vector3d& other) const {
  const Vector3d difference = other - *this;
  return difference.length2();
}

template <typename T>
T Vector3d<T>::distanceXY(const Vector3d& other) const {
  const T dx = other.x_ - x_;
  const T dy = other.y_ - y_;
  return static_cast<T>(std::sqrt(sumOfSquares(dx, dy, 0)));
}

template <typename T>
T Vector3d<T>::distance2XY(const Vector3d& other) const {
  const T dx = other.x_ - x_;
  const T dy = other.y_ - y_;
  return static_cast<T>(sumOfSquares(dx, dy, 0));
}

template <typename T>
T Vector3d<T>::dot(const Vector3d& other) const {
  const double sum = double(x_) * double(other.x_) + double(y_) * double(other.y_) + double(z_) * double(other.z_);
  return static_cast<T>(sum);
}

template <typename T>
T Vector3d<T>::normalize() {
  const T oldLength = length();
  if (oldLength == 0) {
    zero();
    return 0;
  }
  *this /= oldLength;
  return oldLength;
}

template class Vector3d<float>;
